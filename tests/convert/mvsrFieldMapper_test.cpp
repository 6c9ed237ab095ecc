// Tests of the BLOB mappers over the test cursors' in-memory BLOBs: copies
// and translations between BLOB kinds, strings into new BLOBs, BLOB texts
// into strings through the string mappers (never written past the target),
// no value, and a failed BLOB write that leaves no BLOB behind (or says
// in the log why it could not).
#include "convert/mvsrFieldMapper.h"

#include <gtest/gtest.h>

#include "convert/mvsdConvertLog.h"
#include "convert/mvsrFieldMapperEngine.h"
#include "foundation/types/mvllWideString.h"
#include "mvcvTestCursor.h"
#include "mvcvTestSupport.h"
#include "support/mvTestLog.h"

using namespace mvtest;

namespace {

constexpr uint32_t kNoFit = 10002;

Bytes BlobNrBytes(TmvBlobNr aBlobNr) { return ValueBytes<int64_t>(aBlobNr); }

Bytes Utf16Bytes(std::u16string_view aText) {
  Bytes b;
  for (char16_t c : aText) {
    b.push_back(uint8_t(c));
    b.push_back(uint8_t(c >> 8));
  }
  return b;
}

class BlobMappers : public ConvertTest {
 protected:
  void SetUp() override { TTestCursor::Install(); }
  void TearDown() override { TTestCursor::Uninstall(); }

  // A field of the cursor's table; code page 0: no locale.
  static TmvFieldDescriptor* AddField(TTestCursor& aCursor, TmvFieldType aType, int32_t aUnits, uint16_t aCodePage) {
    TmvFieldDescriptor* field = aCursor.Add(aCursor.Fields().FieldCount() ? u"G" : u"F", aType, aUnits);
    if (aCodePage) {
      field->AddLocaleDescriptor()->SetLocale(0x0409);
      field->GetLocaleDescriptor()->SetOverrideStorageCodepage(aCodePage);
    }
    return field;
  }

  // One conversion from the registry between a field of the source table
  // and one of the target table, run on a target between guard bytes.
  struct Run {
    uint32_t result;
    Bytes target;  // the target field's bytes after
  };
  Run Map(TmvFieldType aSource, int32_t aSourceUnits, uint16_t aSourceCp, TmvFieldType aTarget, int32_t aTargetUnits,
          uint16_t aTargetCp, TmvDataLossAction aAction, const Bytes& aValue) {
    TTestCursor source, target;
    TmvFieldDescriptor* sf = AddField(source, aSource, aSourceUnits, aSourceCp);
    TmvFieldDescriptor* tf = AddField(target, aTarget, aTargetUnits, aTargetCp);
    // The cursors the test made BLOBs in stand for these tables.
    source.Blobs = fSource.Blobs;
    target.NextBlobNr = fTarget.NextBlobNr;
    target.FailBlobWrites = fTarget.FailBlobWrites;
    target.FailBlobDeletes = fTarget.FailBlobDeletes;
    TmvFieldMapperDescriptor desc(u"F", u"F", aAction);
    TmvMappingMethod method;
    std::unique_ptr<TmvBaseFieldMapper> made(
        TmvBaseFieldMapper::CreateMapper(sf, source.AsCursor(), tf, target.AsCursor(), &desc, method));
    EXPECT_TRUE(method.Assigned());
    if (!method.Assigned()) return {0, {}};
    Bytes value = aValue;
    value.resize(std::max(value.size(), size_t(sf->Length())));
    const size_t length = size_t(tf->Length()), guard = 8;
    Bytes buffer(length + 2 * guard, 0x5A);
    std::fill_n(buffer.begin() + long(guard), length, 0xA5);
    const uint32_t result = method(value.data(), buffer.data() + guard);
    for (size_t i = 0; i < guard; ++i) {
      EXPECT_EQ(buffer[i], 0x5A) << "before the target";
      EXPECT_EQ(buffer[guard + length + i], 0x5A) << "past the target";
    }
    fTarget.Blobs = target.Blobs;
    fTarget.BlobWrites = target.BlobWrites;
    fTarget.BlobDeletes = target.BlobDeletes;
    return {result, Bytes(buffer.begin() + long(guard), buffer.begin() + long(guard + length))};
  }

  // The target BLOB a run made.
  Bytes TargetBlob(const Run& aRun) {
    const auto found = fTarget.Blobs.find(LoadLE<int64_t>(aRun.target.data()));
    return found == fTarget.Blobs.end() ? Bytes{0xEE} : found->second;
  }

  TTestCursor fSource, fTarget;
};

TEST_F(BlobMappers, NoValue) {
  // BLOB number 0, an empty BLOB read for its text, an empty string: 10002
  // unless forcing, which answers "no value"; the target's BLOB number is 0.
  // (The plain copy copies an empty BLOB as it is.)
  const TmvBlobNr empty = fSource.AddBlob(std::string_view());
  const struct {
    TmvFieldType source, target;
    Bytes value;
  } cases[] = {
      {mvtBlob, mvtBlob, BlobNrBytes(0)},
      {mvtBlobMemo, mvtBlobWideMemo, BlobNrBytes(empty)},
      {mvtBlob, mvtNullString, BlobNrBytes(0)},
      {mvtBlobWideMemo, mvtWideString, BlobNrBytes(empty)},
      {mvtShortString, mvtBlob, ShortStr(10, "")},
      {mvtNullString, mvtBlobWideMemo, NullStr(10, "")},
      {mvtWideString, mvtBlobMemo, WideStr(10, u"")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.source) << " -> " << int(c.target));
    for (auto [action, answer] : {std::pair{dlaFail, kNoFit}, {dlaNull, kNoFit}, {dlaBestFit, 1u}}) {
      const Run run = Map(c.source, 10, 0, c.target, 10, 0, action, c.value);
      EXPECT_EQ(run.result, answer);
      if (mvIsBlobFieldType(c.target)) {
        EXPECT_EQ(LoadLE<int64_t>(run.target.data()), 0);
      }
    }
  }
  EXPECT_EQ(fTarget.BlobWrites, 0);
}

TEST_F(BlobMappers, NoValueThroughTheEngine) {
  // A non-null Blob with BLOB number 0: an error under dlaFail, a null
  // target without error under dlaBestFit.
  fSource.Add(u"B", mvtBlob);
  fTarget.Add(u"B", mvtBlob);
  for (auto [action, answer] : {std::pair{dlaFail, kNoFit}, {dlaBestFit, 0u}}) {
    TmvFieldMapperDescriptor d(u"B", u"B", action);
    std::unique_ptr<TmvBaseFieldMapperEngine> engine(
        TmvBaseFieldMapperEngine::CreateFor(&d, fSource.AsCursor(), fTarget.AsCursor()));
    auto source = fSource.NewRecord(), target = fTarget.NewRecord();
    fSource.Fields().SetRecordField(0, source.data(), BlobNrBytes(0).data());
    EXPECT_EQ(engine->MapField(source.data(), target.data()), answer);
    EXPECT_TRUE(fTarget.Fields().IsRecordFieldNull(0, target.data()));
  }
}

TEST_F(BlobMappers, BlobIntoBlob) {
  Bytes big(100000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  const TmvBlobNr bigNr = fSource.AddBlob(big);
  // a, MULTIPLICATION SIGN, b in code page 1252.
  const TmvBlobNr textNr = fSource.AddBlob(std::string_view("a\xD7" "b"));
  // Copies byte for byte, however long: Blob into every kind, BlobMemo
  // between equal code pages or with a side without locale.
  for (auto [source, sourceCp, target, targetCp] :
       {std::tuple{mvtBlob, 0, mvtBlobWideMemo, 0}, {mvtBlobGraphic, 0, mvtBlob, 0}, {mvtBlobMemo, 1252, mvtBlob, 0},
        {mvtBlobMemo, 1252, mvtBlobMemo, 1252}, {mvtBlobMemo, 0, mvtBlobMemo, 932},
        {mvtBlobMemo, 1252, mvtBlobMemo, 0}, {mvtBlobWideMemo, 0, mvtBlobWideMemo, 0}}) {
    SCOPED_TRACE(testing::Message() << int(source) << " -> " << int(target) << ", " << sourceCp << " -> " << targetCp);
    const Run run = Map(source, 0, uint16_t(sourceCp), target, 0, uint16_t(targetCp), dlaFail, BlobNrBytes(bigNr));
    EXPECT_EQ(run.result, 0u);
    EXPECT_EQ(TargetBlob(run), big);
  }
  // Translated between two code pages that differ.
  const Run translated = Map(mvtBlobMemo, 0, 1252, mvtBlobMemo, 0, 932, dlaFail, BlobNrBytes(textNr));
  EXPECT_EQ(translated.result, 0u);
  const Bytes memo = TargetBlob(translated);
  EXPECT_EQ(mvBytesToWideString(memo.data(), int32_t(memo.size()), 932), u"a\u00D7b");
  EXPECT_NE(memo, Bytes({'a', 0xD7, 'b'}));
  // Into and out of UTF-16.
  const Run widened = Map(mvtBlobMemo, 0, 1252, mvtBlobWideMemo, 0, 0, dlaFail, BlobNrBytes(textNr));
  EXPECT_EQ(TargetBlob(widened), Utf16Bytes(u"a\u00D7b"));
  const TmvBlobNr wideNr = fSource.AddBlob(Utf16Bytes(u"\u65E5\u672Cx"));
  const Run narrowed = Map(mvtBlobWideMemo, 0, 0, mvtBlobMemo, 0, 932, dlaFail, BlobNrBytes(wideNr));
  const Bytes narrow = TargetBlob(narrowed);
  EXPECT_EQ(mvBytesToWideString(narrow.data(), int32_t(narrow.size()), 932), u"\u65E5\u672Cx");
}

TEST_F(BlobMappers, StringsIntoBlobs) {
  // abc into a BlobWideMemo: 6 bytes.
  EXPECT_EQ(TargetBlob(Map(mvtShortString, 10, 0, mvtBlobWideMemo, 0, 0, dlaFail, ShortStr(10, "abc"))),
            Utf16Bytes(u"abc"));
  EXPECT_EQ(TargetBlob(Map(mvtNullString, 10, 0, mvtBlob, 0, 0, dlaFail, NullStr(10, "abc"))), Bytes({'a', 'b', 'c'}));
  // A damaged length byte reads no further than the field.
  Bytes damaged = ShortStr(4, "wxyz");
  damaged[0] = 200;
  EXPECT_EQ(TargetBlob(Map(mvtShortString, 4, 0, mvtBlob, 0, 0, dlaFail, damaged)), Bytes({'w', 'x', 'y', 'z'}));
  // Into a BlobMemo of another code page, through UTF-16.
  const Run memo = Map(mvtNullString, 10, 1252, mvtBlobMemo, 0, 932, dlaFail, NullStr(10, "a\xD7"));
  const Bytes bytes = TargetBlob(memo);
  EXPECT_EQ(mvBytesToWideString(bytes.data(), int32_t(bytes.size()), 932), u"a\u00D7");
  // A WideString into a BlobMemo in its code page, into other kinds as units.
  const Run wideMemo = Map(mvtWideString, 10, 0, mvtBlobMemo, 0, 932, dlaFail, WideStr(10, u"\u65E5x"));
  const Bytes encoded = TargetBlob(wideMemo);
  EXPECT_EQ(mvBytesToWideString(encoded.data(), int32_t(encoded.size()), 932), u"\u65E5x");
  EXPECT_EQ(TargetBlob(Map(mvtWideString, 10, 0, mvtBlobGraphic, 0, 0, dlaFail, WideStr(10, u"\u65E5x"))),
            Utf16Bytes(u"\u65E5x"));
  // Japanese text of a NullString in code page 932 into a BlobWideMemo.
  TBytes sjis;
  mvWideStringToString(u"\u65E5\u672C", 932, sjis);
  EXPECT_EQ(TargetBlob(Map(mvtNullString, 10, 932, mvtBlobWideMemo, 0, 0, dlaFail,
                           NullStr(10, std::string(sjis.begin(), sjis.end())))),
            Utf16Bytes(u"\u65E5\u672C"));
}

TEST_F(BlobMappers, BlobsIntoStrings) {
  const TmvBlobNr long300 = fSource.AddBlob(std::string(300, 'q'));
  const TmvBlobNr five = fSource.AddBlob(Utf16Bytes(u"12345"));
  const TmvBlobNr abc = fSource.AddBlob(std::string_view("abc"));
  const struct {
    const char* name;
    TmvFieldType source, target;
    int32_t units;
    TmvBlobNr blob;
    TmvDataLossAction action;
    uint32_t result;
    std::u16string text;  // when the result is 0
  } cases[] = {
      // A 300-byte BLOB into a ShortString: 255 bytes are read, then cut
      // or refused; a ShortString of 8 units or more takes no whole copy.
      {"300 into ShortString(20), forcing", mvtBlob, mvtShortString, 20, long300, dlaBestFit, 0, std::u16string(20, 'q')},
      {"300 into ShortString(20), checking", mvtBlob, mvtShortString, 20, long300, dlaFail, kNoFit, u""},
      {"300 into ShortString(10), forcing", mvtBlobGraphic, mvtShortString, 10, long300, dlaBestFit, 0,
       std::u16string(10, 'q')},
      {"300 into ShortString(255), forcing", mvtBlob, mvtShortString, 255, long300, dlaBestFit, 0,
       std::u16string(255, 'q')},
      {"300 into ShortString(255), checking", mvtBlob, mvtShortString, 255, long300, dlaFail, kNoFit, u""},
      {"abc into ShortString(3)", mvtBlobMemo, mvtShortString, 3, abc, dlaFail, 0, u"abc"},
      {"300 into NullString(12), forcing", mvtBlob, mvtNullString, 12, long300, dlaBestFit, 0, std::u16string(12, 'q')},
      {"300 into NullString(12), checking", mvtBlob, mvtNullString, 12, long300, dlaFail, kNoFit, u""},
      {"300 into NullString(300)", mvtBlobMemo, mvtNullString, 300, long300, dlaFail, 0, std::u16string(300, 'q')},
      {"300 into WideString(9), forcing", mvtBlob, mvtWideString, 9, long300, dlaBestFit, 0, std::u16string(9, 'q')},
      {"300 into WideString(9), checking", mvtBlobGraphic, mvtWideString, 9, long300, dlaFail, kNoFit, u""},
      {"abc into WideString(3)", mvtBlobMemo, mvtWideString, 3, abc, dlaFail, 0, u"abc"},
      // A BlobWideMemo of 5 units fits a WideString of 5; its added 0 unit
      // never reaches the target.
      {"5 units into WideString(5)", mvtBlobWideMemo, mvtWideString, 5, five, dlaFail, 0, u"12345"},
      {"5 units into WideString(4), checking", mvtBlobWideMemo, mvtWideString, 4, five, dlaFail, kNoFit, u""},
      {"5 units into WideString(4), forcing", mvtBlobWideMemo, mvtWideString, 4, five, dlaBestFit, 0, u"1234"},
      {"5 units into ShortString(5)", mvtBlobWideMemo, mvtShortString, 5, five, dlaFail, 0, u"12345"},
      {"5 units into NullString(3), forcing", mvtBlobWideMemo, mvtNullString, 3, five, dlaBestFit, 0, u"123"},
      {"5 units into NullString(3), checking", mvtBlobWideMemo, mvtNullString, 3, five, dlaFail, kNoFit, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Run run = Map(c.source, 0, 0, c.target, c.units, 0, c.action, BlobNrBytes(c.blob));
    EXPECT_EQ(run.result, c.result);
    if (c.result) continue;
    Conversion reader(MakeField(c.target, c.units), MakeField(c.target, c.units), Act::Fail);
    reader.Output = run.target;
    EXPECT_EQ(reader.Text(), c.text);
  }
}

TEST_F(BlobMappers, JapaneseBlobMemoIntoWideString) {
  TBytes sjis;
  mvWideStringToString(u"\u65E5\u672C\u8A9E", 932, sjis);
  const TmvBlobNr nr = fSource.AddBlob(sjis);
  const Run run = Map(mvtBlobMemo, 0, 932, mvtWideString, 20, 0, dlaFail, BlobNrBytes(nr));
  EXPECT_EQ(run.result, 0u);
  Conversion reader(mvtWideString, mvtWideString, Act::Fail, 20);
  reader.Output = run.target;
  EXPECT_EQ(reader.Text(), u"\u65E5\u672C\u8A9E");
}

TEST_F(BlobMappers, AFailedWriteLeavesNoBlob) {
  fTarget.FailBlobWrites = true;
  const TmvBlobNr nr = fSource.AddBlob(std::string_view("abc"));
  for (auto [source, target, value] :
       {std::tuple{mvtShortString, mvtBlob, ShortStr(10, "abc")}, {mvtBlobMemo, mvtBlobWideMemo, BlobNrBytes(nr)},
        {mvtWideString, mvtBlobMemo, WideStr(10, u"abc")}}) {
    const Run run = Map(source, 10, 0, target, 0, 0, dlaBestFit, value);
    EXPECT_EQ(run.result, uint32_t(MVERR_WRITEERR));
    EXPECT_EQ(LoadLE<int64_t>(run.target.data()), 0);
    EXPECT_TRUE(fTarget.Blobs.empty());
    EXPECT_EQ(fTarget.BlobDeletes, 1);
  }
}

TEST_F(BlobMappers, ABlobThatCannotBeDeletedIsLogged) {
  fTarget.FailBlobWrites = fTarget.FailBlobDeletes = true;
  TmvInstalledTestLog<mvSetConvertLog> log;
  const Run run = Map(mvtShortString, 10, 0, mvtBlob, 0, 0, dlaFail, ShortStr(10, "abc"));
  EXPECT_EQ(run.result, uint32_t(MVERR_WRITEERR));
  EXPECT_EQ(LoadLE<int64_t>(run.target.data()), 0);
  ASSERT_EQ(log.Messages().size(), 1u);
  EXPECT_EQ(log.Messages()[0],
            u"TmvShortStringToBlobMapper: a BLOB whose write failed with 9218 could not be deleted (error 9218)");
}

TEST_F(BlobMappers, ReadErrorsPassOn) {
  // A BLOB number the table does not have: the engine's error unchanged.
  for (TmvFieldType target : {mvtBlob, mvtBlobWideMemo, mvtNullString, mvtWideString}) {
    const Run run = Map(mvtBlobMemo, 0, 0, target, 10, 0, dlaBestFit, BlobNrBytes(77));
    EXPECT_EQ(run.result, TTestCursor::kNoBlob);
  }
}

TEST_F(BlobMappers, WithoutCursorsThereIsNoConversion) {
  auto blob = MakeField(mvtBlob), text = MakeField(mvtNullString, 10);
  TmvMappingMethod method;
  EXPECT_EQ(TmvBaseFieldMapper::CreateMapper(blob.get(), nullptr, text.get(), nullptr, nullptr, method), nullptr);
  EXPECT_FALSE(method.Assigned());
  fTarget.Server = false;
  EXPECT_EQ(TmvBaseFieldMapper::CreateMapper(text.get(), nullptr, blob.get(), fTarget.AsCursor(), nullptr, method),
            nullptr);
  EXPECT_FALSE(method.Assigned());
}

}  // namespace
