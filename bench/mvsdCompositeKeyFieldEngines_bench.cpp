// Benchmark: building and comparing composite keys of 1M records of
// (Int32, ShortString 20, Double) through the composite key field engines,
// against memcpy and memcmp of byte strings as long as the keys (34 bytes:
// a null-flag byte and the three segments).
//
// Build: every record's key, written into one array. Compare: every key
// against the next one in key order, the keys lying one after the other as
// in an index node (a probe compares keys of one node, which is in the
// cache); the Int32 values repeat about a hundred times, so most compares
// reach the string segment. The composite layer (null flags, one
// routine per segment, called through the engines' published code and data
// pointers) is written here as the index layer's key engine will write it.
// Arg 0: text by byte order (no locale); arg 1: the field in locale 0x411
// (Japanese collation), for the cost of a locale compare.
// The run ends with the ratio of each engine run to its reference.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "BenchRatio.h"
#include "dictionary/items/mvsdFieldsDescriptor.h"
#include "dictionary/items/mvsdFileDescriptor.h"
#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/keys/mvsdCompositeKeyFieldEngines.h"
#include "dictionary/keys/mvsdIndexDescriptors.h"
#include "dictionary/keys/mvsdKeyDescriptors.h"
#include "dictionary/mvsdUnits.h"

namespace {

constexpr size_t kRecords = 1000000;

// The least of a data dictionary that a table's descriptors ask for.
class TBenchDictionary : public TmvDictionaryItem, public ImvDictionaryRoot {
 public:
  TBenchDictionary() : TmvDictionaryItem(nullptr) {
    Fields = new TmvFieldsDescriptor(this);
    Files = new TmvFilesDescriptor(this);
    Files->AddFile(u"", mvbs4k, u"Data");
    Indices = new TmvMainIndicesDescriptor(this, "Indices");
  }
  ~TBenchDictionary() override {
    delete Indices;
    delete Fields;
    delete Files;
  }
  int32_t GetNextID() override { return ++fID; }
  bool GetReadOnly() const override { return false; }
  int32_t GetDictionaryVersion() const override { return 4; }
  int32_t UsableBlockSize(TmvBlockSize aBlockSize) override { return mvBlockSizeBytes(aBlockSize) - 64; }
  bool FindRelatedDescriptorOfType(const ClassRef& aType, TmvDictionaryItem*& aDescriptor,
                                   TmvDictionaryItem* aFrom = nullptr) override {
    if (aType.InheritsFrom(&TmvFieldsDescriptor::StaticClass)) return aDescriptor = Fields, true;
    if (aType.InheritsFrom(&TmvFilesDescriptor::StaticClass)) return aDescriptor = Files, true;
    if (aType.InheritsFrom(&TmvMainIndicesDescriptor::StaticClass)) return aDescriptor = Indices, true;
    return TmvDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }

  TmvFieldsDescriptor* Fields;
  TmvFilesDescriptor* Files;
  TmvMainIndicesDescriptor* Indices;

 private:
  int32_t fID = 0;
};

// What a composite key engine keeps of each key field: the segment's place
// and the routines with their engine.
struct TSegment {
  int32_t keyOffset;
  int32_t fieldOffset;
  int32_t fieldNumber;
  TmvCKFECompare compare;
  TmvCKFEBuildKey build;
  bool invertNull;
};

struct TFixture {
  TBenchDictionary dd;
  std::vector<std::unique_ptr<TmvCompositeKeyFieldEngine>> engines;
  std::vector<TSegment> segments;
  int32_t keyLength = 0;
  int32_t recordLength = 0;
  int32_t nullFlagsOffset = 0;  // of the record's null bitmap
  std::vector<uint8_t> records;
  std::vector<uint8_t> keys;
  std::vector<uint32_t> order;  // record numbers in key order
  std::vector<uint8_t> sortedKeys;  // the keys in key order, one after the other as in an index node

  // aOrder: the key order of the same records, when another fixture has
  // sorted them already (a million collations would take the run's time).
  TFixture(bool aLocale, const std::vector<uint32_t>* aOrder) {
    dd.Fields->AddField(u"Number", u"", mvtInt32, 0, 0, false);
    TmvFieldDescriptor* name = dd.Fields->AddField(u"Name", u"", mvtShortString, 20, 0, false);
    if (aLocale) name->AddLocaleDescriptor()->SetLocale(0x411);
    dd.Fields->AddField(u"Amount", u"", mvtDouble, 0, 0, false);
    TmvIndexDescriptor* index = dd.Indices->AddIndex(u"Key", 0, idNone, u"", &TmvCompKeyDescriptor::StaticClass);
    auto& key = static_cast<TmvCompKeyDescriptor&>(*index->GetKeyDescriptor());
    int32_t offset = 1;  // one byte of null flags
    for (int32_t i = 0; i < 3; ++i) {
      engines.emplace_back(TmvCompositeKeyFieldEngine::CreateEngine(key.Add(i)));
      const TmvCompositeKeyFieldEngine& e = *engines.back();
      segments.push_back({offset, e.FieldOffset(), e.FieldNumber(), e.CompareKey, e.BuildKey, e.InvertNull});
      offset += e.KeyLength();
    }
    keyLength = key.GetKeyLen();
    recordLength = dd.Fields->RecordLength();
    nullFlagsOffset = dd.Fields->LogicalRecordLength();
    Fill(aOrder);
  }

  void Fill(const std::vector<uint32_t>* aOrder) {
    std::mt19937 random(2143);
    records.assign(kRecords * size_t(recordLength), 0);
    for (size_t r = 0; r < kRecords; ++r) {
      uint8_t* record = &records[r * size_t(recordLength)];
      dd.Fields->InitRecord(record);
      const int32_t number = int32_t(random() % 10000);
      char name[21];
      name[0] = char(random() % 21);
      for (int i = 1; i <= name[0]; ++i) name[i] = char('a' + random() % 4);  // long common prefixes
      const double amount = double(random()) / 7.0;
      dd.Fields->SetRecordField(0, record, &number);
      dd.Fields->SetRecordField(1, record, name);
      dd.Fields->SetRecordField(2, record, &amount);
    }
    keys.assign(kRecords * size_t(keyLength), 0);
    for (size_t r = 0; r < kRecords; ++r) Build(&records[r * size_t(recordLength)], &keys[r * size_t(keyLength)]);
    if (aOrder) {
      order = *aOrder;
    } else {
      order.resize(kRecords);
      for (uint32_t r = 0; r < kRecords; ++r) order[r] = r;
      std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return Compare(Key(a), Key(b)) < 0; });
    }
    sortedKeys.resize(keys.size());
    for (size_t i = 0; i < kRecords; ++i)
      std::memcpy(&sortedKeys[i * size_t(keyLength)], Key(order[i]), size_t(keyLength));
  }

  const uint8_t* Key(uint32_t aRecord) const { return &keys[aRecord * size_t(keyLength)]; }

  void Build(const uint8_t* aRecord, uint8_t* aKey) const {
    aKey[0] = 0;
    for (const TSegment& s : segments) {
      if (aRecord[nullFlagsOffset + s.fieldNumber / 8] >> (s.fieldNumber % 8) & 1)
        aKey[0] = uint8_t(aKey[0] | 1 << s.fieldNumber);
      else
        s.build(aRecord + s.fieldOffset, aKey + s.keyOffset);
    }
  }

  int Compare(const uint8_t* a, const uint8_t* b) const {
    int i = 0;
    for (const TSegment& s : segments) {
      const bool nullA = a[0] >> i & 1, nullB = b[0] >> i & 1;
      ++i;
      if (nullA || nullB) {
        if (nullA == nullB) continue;
        const int r = nullA ? -1 : 1;
        return s.invertNull ? -r : r;
      }
      if (const int r = s.compare(a + s.keyOffset, b + s.keyOffset)) return r;
    }
    return 0;
  }
};

// Made on first use; freed before the dictionary stops.
std::unique_ptr<TFixture> gFixtures[2];

TFixture& Fixture(bool aLocale) {
  if (!gFixtures[0]) gFixtures[0] = std::make_unique<TFixture>(false, nullptr);
  if (aLocale && !gFixtures[1]) gFixtures[1] = std::make_unique<TFixture>(true, &gFixtures[0]->order);
  return *gFixtures[aLocale];
}

void BuildKeys(benchmark::State& state) {
  TFixture& f = Fixture(state.range(0) != 0);
  std::vector<uint8_t> keys(f.keys.size());
  for (auto _ : state) {
    for (size_t r = 0; r < kRecords; ++r)
      f.Build(&f.records[r * size_t(f.recordLength)], &keys[r * size_t(f.keyLength)]);
    benchmark::DoNotOptimize(keys.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kRecords));
}

void CopyKeys(benchmark::State& state) {
  TFixture& f = Fixture(state.range(0) != 0);
  std::vector<uint8_t> keys(f.keys.size());
  for (auto _ : state) {
    for (size_t r = 0; r < kRecords; ++r)
      std::memcpy(&keys[r * size_t(f.keyLength)], &f.records[r * size_t(f.recordLength)], size_t(f.keyLength));
    benchmark::DoNotOptimize(keys.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations() * kRecords));
}

void CompareKeys(benchmark::State& state) {
  TFixture& f = Fixture(state.range(0) != 0);
  for (auto _ : state) {
    int sum = 0;
    const uint8_t* key = f.sortedKeys.data();
    for (size_t i = 1; i < kRecords; ++i, key += f.keyLength) sum += f.Compare(key, key + f.keyLength);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations() * (kRecords - 1)));
}

void MemcmpKeys(benchmark::State& state) {
  TFixture& f = Fixture(state.range(0) != 0);
  for (auto _ : state) {
    int sum = 0;
    const uint8_t* key = f.sortedKeys.data();
    for (size_t i = 1; i < kRecords; ++i, key += f.keyLength)
      sum += std::memcmp(key, key + f.keyLength, size_t(f.keyLength)) < 0;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(int64_t(state.iterations() * (kRecords - 1)));
}

}  // namespace

BENCHMARK(BuildKeys)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CopyKeys)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CompareKeys)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(MemcmpKeys)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  mvDictionaryInit();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("BuildKeys/0/real_time", "CopyKeys/0/real_time", "memcpy");
  reporter.PrintRatio("BuildKeys/1/real_time", "CopyKeys/0/real_time", "memcpy");
  reporter.PrintRatio("CompareKeys/0/real_time", "MemcmpKeys/0/real_time", "memcmp");
  reporter.PrintRatio("CompareKeys/1/real_time", "MemcmpKeys/0/real_time", "memcmp");
  benchmark::Shutdown();
  for (auto& f : gFixtures) f.reset();
  mvDictionaryFini();
  return 0;
}
