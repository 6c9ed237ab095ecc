// Tests of what field conversion installs into the server engine at its
// start-up: the referential-integrity engine's conversion of a field pair,
// and the cursor calls through which BLOB mappers reach real table cursors.
#include "convert/mvsdFieldMapperCursor.h"

#include "convert/mvsdFieldMapperBase.h"
#include "convert/mvsdFieldMapperUnits.h"
#include "dictionary/mvsdStorageDescriptors.h"
#include "foundation/mvllStreams.h"
#include "mvcvTestSupport.h"
#include "server/cursors/TableCursorTestSupport.h"
#include "server/mvseRefIntEngine.h"

namespace {

TEST(FieldMapperCursor, TheReferentialIntegrityHookLivesFromStartToStop) {
  ASSERT_EQ(mvGetRefIntMapperHook().CreateMapper, nullptr);
  mvConvertInit();
  const TmvRefIntMapperHook& hook = mvGetRefIntMapperHook();
  ASSERT_NE(hook.CreateMapper, nullptr);
  // Int32 into a String field: a conversion with an object behind it, which
  // writes the value's text.
  auto source = mvtest::MakeField(mvtInt32);
  auto target = mvtest::MakeField(mvtShortString, 10);
  TmvRefIntMapping mapping;
  void* instance = hook.CreateMapper(source.get(), nullptr, target.get(), nullptr, mapping);
  ASSERT_TRUE(mapping.Assigned());
  const int32_t value = -42;
  mvtest::Bytes out(11, 0);
  EXPECT_EQ(mapping.Code(mapping.Data, &value, out.data()), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()) + 1, out[0]), "-42");
  if (instance) hook.FreeMapper(instance);
  // No conversion for the pair: unassigned, nothing to free.
  auto guid = mvtest::MakeField(mvtGuid);
  TmvRefIntMapping none;
  EXPECT_EQ(hook.CreateMapper(guid.get(), nullptr, source.get(), nullptr, none), nullptr);
  EXPECT_FALSE(none.Assigned());
  mvConvertFini();
  EXPECT_EQ(mvGetRefIntMapperHook().CreateMapper, nullptr);
}

// A table with a name and a BLOB memo of its own heap.
std::unique_ptr<TmvDataDictionary> NoteTable() {
  std::unique_ptr<TmvDataDictionary> dd = table_test::People();
  dd->GetFieldsDescriptor()->AddField(u"NOTE", u"", mvtBlobMemo, 0, 0, false);
  dd->AddBlobDescriptor(&TmvHeapBlobDescriptor::StaticClass);
  static_cast<TmvHeapBlobDescriptor*>(dd->GetBlobDescriptor())->AddHeapDescriptor()->AddBlockHeapDescriptor();
  return dd;
}

class ServerBlobMappers : public cursor_test::CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    mvConvertInit();
  }
  void TearDown() override {
    CursorTest::TearDown();
    mvConvertFini();
  }
};

TEST_F(ServerBlobMappers, CopyAndWriteThroughRealTableCursors) {
  TmvServerDatabase* db = Database();
  ASSERT_EQ(Build(DiskFolder(), u"S", NoteTable().get()), 0u);
  ASSERT_EQ(Build(DiskFolder(), u"T", NoteTable().get()), 0u);
  TmvServerTableCursor* source = Open(db, u"S");
  TmvServerTableCursor* target = Open(db, u"T");
  TmvFieldsDescriptor* sf = source->Table()->FieldsDescriptor();
  TmvFieldsDescriptor* tf = target->Table()->FieldsDescriptor();
  const std::string text(200000, 'q');
  TmvBlobNr note = 0;
  ASSERT_EQ(source->BlobReplace({}, 4, note, uint32_t(text.size()), text.data()), 0u);
  EXPECT_EQ(mvCursorAsServerCursor(source), source);
  EXPECT_EQ(mvCursorTableDescriptor(target), target->GetTableDescriptor());

  ASSERT_EQ(target->_Trans()->TransactionStart(false, false), 0u);
  ASSERT_EQ(target->sbcBeginContentLock(true, false, false), 0u);
  ASSERT_EQ(source->sbcBeginContentLock(false, false, false), 0u);
  uint8_t name[41] = {5, 'h', 'e', 'l', 'l', 'o'};
  struct Case {
    int32_t SourceField;
    const void* Value;
    std::string Expected;
  } cases[] = {{4, &note, text}, {1, name, "hello"}};
  std::vector<TmvBlobNr> made;
  for (const Case& c : cases) {
    TmvMappingMethod method;
    std::unique_ptr<TmvBaseFieldMapper> mapper(TmvBaseFieldMapper::CreateMapper(
        sf->FieldDescriptor(c.SourceField), source, tf->FieldDescriptor(4), target, nullptr, method));
    ASSERT_TRUE(method.Assigned());
    TmvBlobNr out = 0;
    ASSERT_EQ(method(c.Value, &out), 0u);
    EXPECT_NE(out, 0);
    made.push_back(out);
  }
  ASSERT_EQ(target->_Trans()->TransactionCommit(), 0u);
  for (size_t i = 0; i < made.size(); ++i) {
    TmvMemoryStream stream;
    ASSERT_EQ(target->BlobRead({}, 4, made[i], 0, 0xFFFFFFFF, &stream, false, nullptr), 0u);
    EXPECT_EQ(std::string(static_cast<const char*>(stream.Memory()), size_t(stream.GetSize())), cases[i].Expected);
  }
}

}  // namespace
