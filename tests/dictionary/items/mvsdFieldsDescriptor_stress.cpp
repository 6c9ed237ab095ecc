// Stress test of a cached fields descriptor read by many threads at once, as
// open tables share their frozen dictionary: record buffers from the record
// allocator (the pooled allocator in the plain tree), hashed name lookups,
// field access, and the difference-compression info that the first callers
// race to publish, which all of them must end up sharing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dictionary/filters/mvsdDefaultValueDescriptors.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class FieldsDescriptorStress : public DictionaryTest {};

TEST_F(FieldsDescriptorStress, SharedCachedDescriptor) {
  TTestDictionary dd;
  TmvFieldsDescriptor& f = *dd.Fields;
  for (int i = 0; i < 40; ++i) f.AddField(u"Field" + mvIntToStr(i), u"", mvtInt32, 0, 0, false);
  f.AddField(u"Rev", u"", mvtRecRev, 0, 0, false);
  f.AddField(u"Name", u"", mvtNullString, 30, 0, false);
  f.ActivateCache();

  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::atomic<int> start{0};
  std::atomic<int> failures{0};
  TmvDiffCompressorInfo* seen[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.fetch_add(1);
      while (start.load() < kThreads) std::this_thread::yield();
      f.GetDiffCompressionInfo(seen[t]);
      const TmvMemoryPoolHandle pool = f.RecordAllocator();
      for (int round = 0; round < kRounds; ++round) {
        void* record = mvMemoryPoolAlloc(pool);
        f.InitRecord(record);
        const int32_t field = f.GetFieldFromName(u"FIELD" + mvIntToStr(round % 40));
        const int32_t value = t * kRounds + round;
        f.SetRecordField(field, record, &value);
        int32_t back = 0;
        bool isNull = true;
        f.GetRecordField(field, record, isNull, &back);
        if (isNull || back != value || field != round % 40) failures.fetch_add(1);
        mvMemoryPoolDispose(pool, record);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  EXPECT_EQ(seen[0]->dciRefCount.load(), kThreads + 1);  // every thread and the cache
  for (auto*& info : seen) mvReleaseDiffCompressorInfo(info);
  f.DeactivateCache();
}

// With the pooled allocator a full stop frees the pooled manager; the next
// start must build it again before anything uses it.
TEST(DictionaryRestart, StopAndStartWithTheEngineAllocator) {
  for (int round = 0; round < 3; ++round) {
    mvDictionaryInit();
    {
      TTestDictionary dd;
      dd.Fields->AddField(u"A", u"", mvtInt32, 0, 0, false);
      void* record = mvMemoryPoolAlloc(dd.Fields->RecordAllocator());
      dd.Fields->InitRecord(record);
      EXPECT_TRUE(dd.Fields->IsRecordFieldNull(0, record));
      mvMemoryPoolDispose(dd.Fields->RecordAllocator(), record);
    }
    mvDictionaryFini();
  }
}

}  // namespace
