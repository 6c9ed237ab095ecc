// Benchmark: 1,000,000 records through a record mapper engine beside a
// hand-written loop that does the same conversions with the standard
// library and ICU.
//
// Each source record holds an Int16, a NullString(20) in code page 932 with
// Japanese text and a Double of at most 4 decimals; the target record an
// Int32, a WideString(20) and a FmtBCD(20,4), all under dlaFail. The engine
// runs over the test cursors' in-memory tables, the owner's calling order
// included (the target initialised before each record). The reference reads
// the same values from plain structs and writes plain structs: one ICU
// converter for the text, std::to_chars for the 15 significant digits of the
// Double and its own packing of the digits. Prints engine time / reference
// time (the median of 5 runs).
#include <benchmark/benchmark.h>
#include <unicode/ucnv.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "RatioReporter.h"
#include "convert/mvcvTestCursor.h"
#include "convert/mvsdFieldMapperUnits.h"
#include "convert/mvsrRecordMapperEngine.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mappers/mvsdRecordMapperDescriptor.h"
#include "foundation/types/mvllWideString.h"

namespace {

constexpr size_t kRecords = 1000000;

struct PlainSource {
  int16_t a;
  char b[21];
  double c;
};
struct PlainTarget {
  int32_t a;
  char16_t b[21];
  uint8_t c[12];
};

struct Data {
  mvtest::TTestCursor source, target;
  std::vector<uint8_t> records;  // the source table's record buffers
  int32_t recordLength = 0;
  std::vector<PlainSource> plain;

  Data() {
    mvtest::TTestCursor::Install();
    source.Add(u"A", mvtInt16);
    TmvFieldDescriptor* b = source.Add(u"B", mvtNullString, 20);
    b->AddLocaleDescriptor()->SetLocale(0x0411);
    b->GetLocaleDescriptor()->SetOverrideStorageCodepage(932);
    source.Add(u"C", mvtDouble);
    target.Add(u"A", mvtInt32);
    target.Add(u"B", mvtWideString, 20);
    target.Add(u"C", mvtFmtBCD, 20, 4);

    static const char16_t kKana[] = u"日本語東京大阪漢字変換記録表値あいうえおカキクケコ";
    std::mt19937 random(51);
    recordLength = source.Fields().RecordLength();
    records.resize(kRecords * size_t(recordLength));
    plain.resize(kRecords);
    for (size_t i = 0; i < kRecords; ++i) {
      PlainSource& p = plain[i];
      p.a = int16_t(random());
      std::u16string text;
      for (size_t n = 1 + random() % 9; n > 0; --n) text += kKana[random() % (std::size(kKana) - 1)];
      const AnsiString bytes = mvWideStringToString(text, 932);
      std::memset(p.b, 0, sizeof p.b);
      std::memcpy(p.b, bytes.data(), std::min<size_t>(bytes.size(), 20));
      p.c = double(int64_t(random() % 2000000001) - 1000000000) / 10000.0;
      uint8_t* record = records.data() + i * size_t(recordLength);
      source.Fields().InitRecord(record);
      source.Fields().SetRecordField(0, record, &p.a);
      source.Fields().SetRecordField(1, record, p.b);
      source.Fields().SetRecordField(2, record, &p.c);
    }
  }
};

std::unique_ptr<Data> gData;  // made after start-up, freed before shutdown

Data& TheData() {
  if (!gData) gData = std::make_unique<Data>();
  return *gData;
}

// ---------------------------------------------------------------------------
// The reference

// The Double's 15 significant digits into FmtBCD(20,4): 16 digits before
// the point, 4 after, packed two to a byte; false when it does not fit.
bool PackBcd(double aValue, uint8_t* aOut) {
  char text[32];
  const auto made = std::to_chars(text, text + sizeof text, aValue, std::chars_format::scientific, 14);
  const char* p = text;
  const bool negative = *p == '-';
  if (negative) ++p;
  char digits[15];
  int n = 0;
  for (; p < made.ptr && *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), made.ptr, exponent);
  while (n > 0 && digits[n - 1] == '0') --n;
  // digits[0] stands at 10^exponent: place of digit k is 4 + exponent - k
  // counted from the right end of the 20 digits.
  char laid[20];
  std::memset(laid, 0, sizeof laid);
  for (int k = 0; k < n; ++k) {
    const int at = 15 - exponent + k;  // index in the 20 digits
    if (at < 0 || at >= 20) return false;
    laid[at] = char(digits[k] - '0');
  }
  aOut[0] = 20;
  aOut[1] = uint8_t((negative && n > 0 ? 0x80 : 0) | 4);
  for (int k = 0; k < 10; ++k) aOut[2 + k] = uint8_t(laid[2 * k] << 4 | laid[2 * k + 1]);
  return true;
}

struct Reference {
  UConverter* conv;
  Reference() {
    UErrorCode err = U_ZERO_ERROR;
    conv = ucnv_open("ibm-943_P15A-2003", &err);
  }
  ~Reference() { ucnv_close(conv); }

  bool Map(const PlainSource& aSource, PlainTarget& aTarget) {
    aTarget.a = aSource.a;
    UErrorCode err = U_ZERO_ERROR;
    const int32_t len = int32_t(strnlen(aSource.b, 20));
    ucnv_resetToUnicode(conv);
    const int32_t units = ucnv_toUChars(conv, reinterpret_cast<UChar*>(aTarget.b), 21, aSource.b, len, &err);
    if (U_FAILURE(err) || units > 20) return false;
    aTarget.b[units] = 0;
    return PackBcd(aSource.c, aTarget.c);
  }
};

// ---------------------------------------------------------------------------
// The runs

void Engine(benchmark::State& aState) {
  Data& data = TheData();
  TmvRecordMapperDescriptor descriptor;
  descriptor.MapAllFieldsByName(&data.source.Fields(), &data.target.Fields(), dlaFail);
  std::vector<uint8_t> target(size_t(data.target.Fields().RecordLength()));
  for (auto _ : aState) {
    std::unique_ptr<TmvBaseRecordMapperEngine> engine(
        TmvBaseRecordMapperEngine::CreateFor(&descriptor, data.source.AsCursor(), data.target.AsCursor()));
    engine->BeforeFirstRecord();
    uint64_t failed = 0;
    for (size_t i = 0; i < kRecords; ++i) {
      data.target.Fields().InitRecord(target.data());
      failed += engine->MapRecord(data.records.data() + i * size_t(data.recordLength), target.data()) != 0;
      benchmark::DoNotOptimize(target.data());
    }
    engine->BeforeCommit();
    if (failed) aState.SkipWithError("records failed");
  }
}

void StdAndIcu(benchmark::State& aState) {
  Data& data = TheData();
  Reference reference;
  PlainTarget target;
  for (auto _ : aState) {
    uint64_t failed = 0;
    for (size_t i = 0; i < kRecords; ++i) {
      failed += !reference.Map(data.plain[i], target);
      benchmark::DoNotOptimize(&target);
    }
    if (failed) aState.SkipWithError("records failed");
  }
}

// Both sides must give the same values: the first records compared.
bool SameResults() {
  Data& data = TheData();
  TmvRecordMapperDescriptor descriptor;
  descriptor.MapAllFieldsByName(&data.source.Fields(), &data.target.Fields(), dlaFail);
  std::unique_ptr<TmvBaseRecordMapperEngine> engine(
      TmvBaseRecordMapperEngine::CreateFor(&descriptor, data.source.AsCursor(), data.target.AsCursor()));
  Reference reference;
  TmvFieldsDescriptor& fields = data.target.Fields();
  std::vector<uint8_t> target(size_t(fields.RecordLength()));
  for (size_t i = 0; i < 10000; ++i) {
    fields.InitRecord(target.data());
    if (engine->MapRecord(data.records.data() + i * size_t(data.recordLength), target.data())) return false;
    PlainTarget plain;
    if (!reference.Map(data.plain[i], plain)) return false;
    const uint8_t* a = target.data() + fields.FieldDescriptor(0)->Offset();
    const uint8_t* b = target.data() + fields.FieldDescriptor(1)->Offset();
    const uint8_t* c = target.data() + fields.FieldDescriptor(2)->Offset();
    const size_t units = std::char_traits<char16_t>::length(plain.b) + 1;
    if (std::memcmp(a, &plain.a, 4) || std::memcmp(b, plain.b, 2 * units) || std::memcmp(c, plain.c, 12)) {
      std::printf("record %zu differs\n", i);
      return false;
    }
  }
  return true;
}

BENCHMARK(Engine)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);
BENCHMARK(StdAndIcu)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvConvertInit();
  if (!SameResults()) {
    std::printf("the engine and the reference disagree\n");
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("Engine/iterations:1/repeats:5/real_time", "StdAndIcu/iterations:1/repeats:5/real_time",
                      "standard library and ICU (median of 5)");
  benchmark::Shutdown();
  gData.reset();
  mvtest::TTestCursor::Uninstall();
  mvConvertFini();
  return 0;
}
