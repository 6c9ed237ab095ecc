// Stress test of a frozen table's indexes read by many threads at once, as
// open tables share their dictionary: key lengths served from the cache,
// the locale's current sort-rule version that the first callers race to
// fetch, the pack question, and index lookups by name; then the tree is
// thawed, changed and frozen again, with the engine's allocator in the
// plain tree.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdTestSupport.h"

using namespace mvtest;

namespace {

class IndexDescriptorsStress : public DictionaryTest {};

TEST_F(IndexDescriptorsStress, SharedFrozenIndexes) {
  TTestTable t;
  t.Field(u"Id", mvtInt32, 0, true);
  t.Field(u"Name", mvtWideString, 30)->AddLocaleDescriptor()->SetLocale(0x409);
  t.Field(u"Code", mvtShortString, 12);
  for (int i = 0; i < 20; ++i) t.Key({0, 1, 2}).KeyFields(1)->SetOverrideLengthChars(1 + i % 10);

  for (int round = 0; round < 3; ++round) {
    t.dd.Fields->FieldDescriptor(1)->GetLocaleDescriptor()->CheckValid(true);
    t.dd.ActivateCache();
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int th = 0; th < kThreads; ++th) {
      threads.emplace_back([&, th] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        for (int n = 0; n < 500; ++n) {
          const int i = (th + n) % 20;
          TmvIndexDescriptor* index = t.Indices().GetDescriptorFromName(u"INDEX" + mvIntToStr(i));
          const int32_t expected = 1 + 4 + 2 * (2 + i % 10) + 13;
          if (!index || index->GetKeyDescriptor()->GetKeyLen() != expected) failures.fetch_add(1);
          if (t.dd.RequiresPack()) failures.fetch_add(1);
        }
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    t.dd.DeactivateCache();
    t.Indices().RemoveIndex(0);
    t.Indices().InsertIndexAt(0, u"Index0", 0, idNone, u"");
    static_cast<TmvCompKeyDescriptor*>(t.Indices().IndexDescriptor(0)->GetKeyDescriptor())->Add(0);
    static_cast<TmvCompKeyDescriptor*>(t.Indices().IndexDescriptor(0)->GetKeyDescriptor())
        ->Add(1)
        ->SetOverrideLengthChars(1);
    static_cast<TmvCompKeyDescriptor*>(t.Indices().IndexDescriptor(0)->GetKeyDescriptor())->Add(2);
  }
}

}  // namespace
