// Stress test of filters as cursors use them on many threads at once: one
// descriptor's tree shared by the engines that every thread duplicates,
// combines in hubs, evaluates over its own records and frees, with the
// engine's allocator in the plain tree and across dictionary restarts.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "dictionary/filters/mvsdSimpleExpressionFilter.h"
#include "dictionary/mvsdFilterTestSupport.h"

using namespace mvtest;

namespace {

bool Odd(void*, const void* aBuffer) { return static_cast<const uint8_t*>(aBuffer)[0] & 1; }

TEST(FilterEngineStress, SharedTreesAcrossThreadsAndRestarts) {
  for (int round = 0; round < 2; ++round) {
    mvDictionaryInit();
    {
      TTestTable t;
      t.Field(u"Qty", mvtInt32);
      t.Field(u"Name", mvtShortString, 20);
      const TreeBytes tree(Bin(kAnd, Cmp(kGt, FieldNode(1, "Qty"), ConstOf<int32_t>(6, 100)),
                               Cmp(kLike, FieldNode(2, "Name"), Str("X"), 1)));
      TmvSimpleExpressionFilterDescriptor descriptor(tree.bytes.data(), 1252, u"Qty > 100 and Name like x");
      std::unique_ptr<TmvBaseFilterEngine> original(TmvBaseFilterEngine::CreateFor(&descriptor, t.dd.Fields));
      original->SetActive(true);
      t.dd.Fields->ActivateCache();
      constexpr int kThreads = 8;
      std::atomic<int> ready{0}, failures{0};
      std::vector<std::thread> threads;
      for (int th = 0; th < kThreads; ++th) {
        threads.emplace_back([&, th] {
          std::vector<uint8_t> record(size_t(t.dd.Fields->RecordLength()));
          t.dd.Fields->InitRecord(record.data());
          ready.fetch_add(1);
          while (ready.load() < kThreads) std::this_thread::yield();
          for (int n = 0; n < 300; ++n) {
            TmvCallbackFilterDescriptor odd(nullptr, &Odd);
            TmvBaseFilterEngine* cursor =
                new TmvFilterEngineHub(original->Duplicate(t.dd.Fields), TmvBaseFilterEngine::CreateFor(&odd, nullptr));
            cursor->ActivateFilter(nullptr);
            const int32_t qty = th * 1000 + n;
            t.dd.Fields->fsdSetFieldByIndexAsVariant(record.data(), 0, Variant(qty));
            t.dd.Fields->fsdSetFieldByIndexAsVariant(record.data(), 1, Variant(n % 3 ? u"axe" : u"bee"));
            const bool expected = qty > 100 && n % 3 != 0 && (qty & 1);
            if (cursor->MatchesBuffer(record.data()) != expected) failures.fetch_add(1);
            TmvBaseFilterEngine* callback = static_cast<TmvFilterEngineHub*>(cursor)->Filter(1);
            if (cursor->RemoveFilter(callback, cursor) != 0 || cursor->RemoveFilter(cursor, cursor) != 0 || cursor)
              failures.fetch_add(1);
          }
        });
      }
      for (auto& th : threads) th.join();
      EXPECT_EQ(failures.load(), 0);
      t.dd.Fields->DeactivateCache();
    }
    mvDictionaryFini();
  }
}

}  // namespace
