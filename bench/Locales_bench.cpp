// Benchmark (platform layer): locale-aware comparison of Japanese texts with
// folding flags against ICU's Japanese collator at the same strength (and the
// same normalisation and alternate handling) comparing the same pairs without
// folding. The difference is what the folds cost. The run ends with the
// ratios to ICU.
//
// The pairs are those a key compare meets: half of them are one text against
// a variant of itself (other widths, other case, now and then one character
// changed), the rest two unrelated texts.
#include <benchmark/benchmark.h>

#include <unicode/ucol.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/RatioReporter.h"
#include "platform/Nls.h"

namespace {

constexpr int kPairs = 100000;

// A small deterministic generator: every run compares the same pairs.
struct Lcg {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  uint32_t next(uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % bound);
  }
};

const char16_t kKanji[] = u"日本語問題文正解答選択記録時間統計情報処理技術者試験基本応用午前後";

char16_t randomChar(Lcg& rng) {
  switch (rng.next(8)) {
    case 0: case 1: return static_cast<char16_t>(0x3041 + rng.next(0x53));  // hiragana
    case 2: case 3: return static_cast<char16_t>(0x30A1 + rng.next(0x53));  // katakana
    case 4: return kKanji[rng.next(sizeof kKanji / 2 - 1)];
    case 5: return static_cast<char16_t>((rng.next(2) ? u'a' : u'A') + rng.next(26));
    case 6: return static_cast<char16_t>(0xFF21 + rng.next(26));  // full-width A to Z
    default: return static_cast<char16_t>(u'0' + rng.next(10));
  }
}

String randomText(Lcg& rng) {
  String s;
  for (uint32_t n = 4 + rng.next(20); n > 0; --n) s += randomChar(rng);
  return s;
}

// The same text in other widths and case, sometimes with one character changed.
String variantOf(const String& s, Lcg& rng) {
  String out;
  for (char16_t c : s) {
    const bool swap = rng.next(3) == 0;
    if (swap && c >= u'a' && c <= u'z') out += static_cast<char16_t>(c - 0x20);
    else if (swap && c >= u'A' && c <= u'Z') out += static_cast<char16_t>(c + 0xFF01 - u'!');
    else if (swap && c >= 0xFF21 && c <= 0xFF3A) out += static_cast<char16_t>(c - 0xFF21 + u'a');
    else if (swap && c >= 0x30A1 && c <= 0x30F3) out += NlsToHalfWidth(String(1, c));
    else out += c;
  }
  if (rng.next(2) == 0) out[rng.next(static_cast<uint32_t>(out.size()))] = randomChar(rng);
  return out;
}

const std::vector<std::pair<String, String>>& pairs() {
  static const std::vector<std::pair<String, String>> all = [] {
    Lcg rng;
    std::vector<std::pair<String, String>> v;
    v.reserve(kPairs);
    for (int i = 0; i < kPairs; ++i) {
      String a = randomText(rng);
      String b = rng.next(2) ? variantOf(a, rng) : randomText(rng);
      v.emplace_back(std::move(a), std::move(b));
    }
    return v;
  }();
  return all;
}

void EngineCompareString(benchmark::State& state) {
  const uint32_t flags = static_cast<uint32_t>(state.range(0));
  const auto& all = pairs();
  for (auto _ : state) {
    int sum = 0;
    for (const auto& [a, b] : all) sum += CompareStringW(0x411, flags, a, b);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
}

// The reference: ICU's collator as the engine configures it for 0x411.
void IcuCollatorStrcoll(benchmark::State& state) {
  UErrorCode err = U_ZERO_ERROR;
  UCollator* coll = ucol_open("ja_JP", &err);
  ucol_setAttribute(coll, UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
  ucol_setAttribute(coll, UCOL_STRENGTH, UCOL_IDENTICAL, &err);
  ucol_setAttribute(coll, UCOL_ALTERNATE_HANDLING, UCOL_SHIFTED, &err);
  if (U_FAILURE(err)) state.SkipWithError("ICU's Japanese collator is missing");
  const auto& all = pairs();
  for (auto _ : state) {
    int sum = 0;
    for (const auto& [a, b] : all)
      sum += ucol_strcoll(coll, reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                          reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()));
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kPairs);
  ucol_close(coll);
}

}  // namespace

// The target case (ignore case and width), then every folding flag at once.
constexpr uint32_t kFlagSets[] = {
    NORM_IGNORECASE | NORM_IGNOREWIDTH,
    NORM_IGNORECASE | NORM_IGNOREWIDTH | NORM_IGNOREKANATYPE | NORM_IGNORENONSPACE | NORM_IGNORESYMBOLS};

BENCHMARK(EngineCompareString)
    ->Apply([](benchmark::internal::Benchmark* b) {
      for (uint32_t flags : kFlagSets) b->Arg(flags);
    })
    ->Unit(benchmark::kMillisecond);
BENCHMARK(IcuCollatorStrcoll)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nEngineCompareString / IcuCollatorStrcoll:\n");
  for (uint32_t flags : kFlagSets)
    reporter.PrintRatio("EngineCompareString/" + std::to_string(flags), "IcuCollatorStrcoll", "ICU's collator");
  benchmark::Shutdown();
  return 0;
}
