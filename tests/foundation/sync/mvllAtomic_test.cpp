// Tests of the locked operations and the lock-free list head.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "foundation/sync/mvllAtomic.h"

namespace {

struct Node {
  Node* next = nullptr;
  int value = 0;
};

TEST(LockedOps, ResultsAreNewOrPreviousAsDocumented) {
  int32_t v = 5;
  EXPECT_EQ(mvInterlockedCompareExchange(v, 9, 4), 5);  // no store
  EXPECT_EQ(v, 5);
  EXPECT_EQ(mvInterlockedCompareExchange(v, 9, 5), 5);
  EXPECT_EQ(v, 9);
  EXPECT_EQ(mvLockedExchange(v, 1), 9);
  EXPECT_EQ(mvInterlockedIncrement(v), 2);
  EXPECT_EQ(mvLockedIncrement(v), 3);
  EXPECT_EQ(mvInterlockedDecrement(v), 2);
  EXPECT_EQ(mvLockedAdd(v, 10), 12);
  EXPECT_EQ(mvLockedSubtract(v, 2), 10);
  EXPECT_EQ(mvLockedExchangeAdd(v, 5), 10);
  EXPECT_EQ(v, 15);
  int a = 0, b = 0;
  int* slot = &a;
  EXPECT_EQ(mvInterlockedCompareExchangePointer(slot, &b, &b), &a);
  EXPECT_EQ(slot, &a);
  EXPECT_EQ(mvInterlockedCompareExchangeObject(slot, &b, &a), &a);
  EXPECT_EQ(mvInterlockedExchangePointer(slot, static_cast<int*>(nullptr)), &b);
  EXPECT_EQ(slot, nullptr);
}

TEST(ListHead, EmptyPopAndTakeAllLeaveTheSequence) {
  TmvListHead h;
  mvListHeadInit(h);
  Node a;
  mvListHeadPush(h, &a);
  ASSERT_EQ(mvListHeadPop(h), &a);
  EXPECT_EQ(h.lhSequence, 2u);
  EXPECT_EQ(mvListHeadPop(h), nullptr);
  EXPECT_EQ(mvListHeadTakeAll(h), nullptr);
  EXPECT_EQ(h.lhSequence, 2u);
}

TEST(ListHead, PushPopTakeAllAndPushLinked) {
  TmvListHead h;
  Node n[3];
  for (auto& x : n) mvListHeadPush(h, &x);
  EXPECT_EQ(h.lhSequence, 3u);
  Node* chain = static_cast<Node*>(mvListHeadTakeAll(h));
  EXPECT_EQ(h.lhFirst, nullptr);
  EXPECT_EQ(h.lhSequence, 3u);  // take-all leaves the sequence
  ASSERT_EQ(chain, &n[2]);
  EXPECT_EQ(chain->next, &n[1]);
  EXPECT_EQ(chain->next->next, &n[0]);
  EXPECT_EQ(n[0].next, nullptr);

  Node extra;
  mvListHeadPush(h, &extra);
  // Push the whole chain back at once: its last link now points at `extra`.
  EXPECT_EQ(mvListHeadPushLinked(h, chain, reinterpret_cast<void**>(&n[0].next)), &extra);
  EXPECT_EQ(h.lhSequence, 5u);
  const Node* order[] = {&n[2], &n[1], &n[0], &extra};
  for (const Node* expected : order) EXPECT_EQ(mvListHeadPop(h), expected);
  EXPECT_EQ(mvListHeadPop(h), nullptr);
}

// The reuse race: a pop that read (A, s) must fail once A was popped, B
// popped and A pushed back, because the head is then (A, s + 3).
TEST(ListHead, StalePopFailsAfterPopPopPush) {
  TmvListHead h;
  Node a, b;
  mvListHeadPush(h, &b);
  mvListHeadPush(h, &a);
  TmvListHead seen = mvListHeadRead(h);
  ASSERT_EQ(seen.lhFirst, &a);
  void* staleLink = a.next;  // &b: what the stale popper would install

  ASSERT_EQ(mvListHeadPop(h), &a);
  ASSERT_EQ(mvListHeadPop(h), &b);
  mvListHeadPush(h, &a);
  EXPECT_EQ(h.lhFirst, &a);
  EXPECT_EQ(h.lhSequence, seen.lhSequence + 3);

  TmvListHead expected = seen;
  EXPECT_FALSE(mvListHeadCompareExchange(h, expected, TmvListHead{staleLink, seen.lhSequence + 1, 0}));
  EXPECT_EQ(expected.lhSequence, seen.lhSequence + 3);
  EXPECT_EQ(h.lhFirst, &a);
  EXPECT_EQ(a.next, nullptr);
}

TEST(ListHead, LimitedFormsCountDepthAndRefuseAtTheBounds) {
  TmvListHead h;
  Node a, b;
  EXPECT_EQ(mvListHeadPushLimited(h, &a, 2), 1u);
  EXPECT_EQ(mvListHeadPushLimited(h, &b, 2), 2u);
  const TmvListHead before = h;
  Node c;
  EXPECT_EQ(mvListHeadPushLimited(h, &c, 2), 0u);  // at the maximum depth
  EXPECT_EQ(h.lhFirst, before.lhFirst);
  EXPECT_EQ(h.lhSequence, before.lhSequence);
  EXPECT_EQ(mvListHeadDepth(h), 2);

  EXPECT_EQ(mvListHeadPopLimited(h, 0), &b);
  EXPECT_EQ(mvListHeadDepth(h), 1);
  EXPECT_EQ(mvListHeadPopLimited(h, 1), nullptr);  // would fall below 1
  EXPECT_EQ(mvListHeadDepth(h), 1);
  EXPECT_EQ(mvListHeadPopLimited(h, 0), &a);
  EXPECT_EQ(mvListHeadDepth(h), 0);
}

TEST(ListHead, LimitedCounterWrapsAfter65536Changes) {
  TmvListHead h;
  Node a;
  const uint32_t start = h.lhSequence;
  for (int i = 0; i < 32768; ++i) {
    ASSERT_EQ(mvListHeadPushLimited(h, &a, 10), 1u);
    ASSERT_EQ(mvListHeadPopLimited(h, 0), &a);
  }
  EXPECT_EQ(h.lhSequence, start);
}

// Threads that pop and re-push entries never lose or duplicate one.
TEST(ListHead, ConcurrentPopPushKeepsEveryEntryOnce) {
  constexpr int kEntries = 64, kThreads = 4, kRounds = 50000;
  TmvListHead h;
  std::vector<Node> nodes(kEntries);
  for (int i = 0; i < kEntries; ++i) {
    nodes[i].value = i;
    mvListHeadPush(h, &nodes[i]);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int r = 0; r < kRounds; ++r) {
        Node* n = static_cast<Node*>(mvListHeadPop(h));
        if (n) mvListHeadPush(h, n);
      }
    });
  for (auto& t : threads) t.join();
  std::vector<int> seen(kEntries, 0);
  while (Node* n = static_cast<Node*>(mvListHeadPop(h))) ++seen[n->value];
  for (int i = 0; i < kEntries; ++i) EXPECT_EQ(seen[i], 1) << i;
}

}  // namespace
