// Benchmark (engine foundation): the engine's code-page conversions of 1 MB
// of Shift-JIS text (code page 932) to UTF-16 and back, against one pass of
// ICU's converter over the same text into a buffer of the worst-case size.
// Both sides return a fresh string per iteration, as a caller needs it. The
// run ends with the ratios to ICU.
#include <benchmark/benchmark.h>

#include <unicode/ucnv.h>

#include <cstdint>
#include <string>

#include "bench/RatioReporter.h"
#include "foundation/types/mvllWideString.h"

namespace {

constexpr size_t kTextBytes = 1 << 20;
const char* const kIcuShiftJis = "ibm-943_P15A-2003";  // the table the engine uses for 932

// Question-bank-like text: kana, kanji, full-width punctuation, ASCII and
// line breaks, from a deterministic generator.
String sampleText() {
  static const char16_t kPieces[][12] = {
      u"次のうち", u"正しいものを", u"一つ選びなさい。", u"（ア）", u"（イ）", u"データベース",
      u"トランザクション", u"の整合性", u"を保つため", u"、", u"SQL文", u"INDEX 1024",
      u"\r\n", u"午前問題", u"ﾃｽﾄ", u"○×", u"〜", u"平成28年度"};
  uint64_t state = 0x2545F4914F6CDD1Dull;
  String text;
  while (text.size() < kTextBytes / 2) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    text += kPieces[(state >> 33) % (sizeof kPieces / sizeof kPieces[0])];
  }
  return text;
}

struct Fixture {
  UConverter* conv = nullptr;
  AnsiString sjis;  // about 1 MB (most characters take two bytes)
  String wide;      // the same text in UTF-16
  Fixture() {
    UErrorCode err = U_ZERO_ERROR;
    conv = ucnv_open(kIcuShiftJis, &err);
    const String text = sampleText();
    sjis.resize(text.size() * 2);
    int32_t n = ucnv_fromUChars(conv, sjis.data(), static_cast<int32_t>(sjis.size()),
                                reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), &err);
    sjis.resize(U_SUCCESS(err) ? n : 0);
    wide = mvStringToWideString(sjis, 932);
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

void EngineShiftJisToWide(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(mvStringToWideString(f.sjis, 932));
  state.SetBytesProcessed(state.iterations() * f.sjis.size());
}

void EngineWideToShiftJis(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(mvWideStringToString(f.wide, 932));
  state.SetBytesProcessed(state.iterations() * f.sjis.size());
}

void IcuShiftJisToWide(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    String out(f.sjis.size(), u'\0');
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = ucnv_toUChars(f.conv, reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                              f.sjis.data(), static_cast<int32_t>(f.sjis.size()), &err);
    out.resize(U_SUCCESS(err) ? n : 0);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * f.sjis.size());
}

void IcuWideToShiftJis(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    AnsiString out(f.wide.size() * ucnv_getMaxCharSize(f.conv), '\0');
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = ucnv_fromUChars(f.conv, out.data(), static_cast<int32_t>(out.size()),
                                reinterpret_cast<const UChar*>(f.wide.data()), static_cast<int32_t>(f.wide.size()),
                                &err);
    out.resize(U_SUCCESS(err) ? n : 0);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(state.iterations() * f.sjis.size());
}

}  // namespace

BENCHMARK(EngineShiftJisToWide)->Unit(benchmark::kMicrosecond);
BENCHMARK(IcuShiftJisToWide)->Unit(benchmark::kMicrosecond);
BENCHMARK(EngineWideToShiftJis)->Unit(benchmark::kMicrosecond);
BENCHMARK(IcuWideToShiftJis)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios("Engine", "Icu", "one ICU pass");
  benchmark::Shutdown();
  return 0;
}
