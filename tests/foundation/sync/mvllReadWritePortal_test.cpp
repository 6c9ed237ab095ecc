// Tests of the read/write portal's per-thread bookkeeping: a thread that
// reads more portals at once than its thread-local list holds, misuse that
// must not corrupt the counter, and a portal freed while its destroying
// thread still reads it. The portal's basic behaviour is tested beside the
// other synchronisation objects in mvllSync_test.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/sync/mvllReadWritePortal.h"

namespace {

using namespace std::chrono_literals;
using Portal = TmvInternalReadWritePortal;

// More portals than a thread keeps in its own list (16), so that the later
// ones keep the depth in their tables of thread states.
TEST(PortalNesting, ManyPortalsReadAtOnce) {
  constexpr int kPortals = 40;
  std::vector<std::unique_ptr<Portal>> ps;
  for (int i = 0; i < kPortals; ++i) ps.push_back(std::make_unique<Portal>());
  for (auto& p : ps) p->BeginRead();
  for (auto& p : ps) p->BeginRead();  // nested: the counter stays
  for (auto& p : ps) ASSERT_EQ(p->Portal(), 65534);

  // A writer on another thread waits for this thread's read, wherever its
  // depth is kept.
  Portal& late = *ps.back();
  std::atomic<bool> wrote{false};
  std::thread w([&] {
    late.BeginWrite();
    wrote = true;
    late.EndWrite();
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(wrote.load());

  // Upgrades on a portal of each kind, and ending the earliest reads first
  // so that the list and the tables change in an unusual order.
  EXPECT_TRUE(ps[0]->BeginWrite());
  EXPECT_EQ(ps[0]->Portal(), -1);  // the writer's own read unit
  ps[0]->EndWrite();
  EXPECT_TRUE(ps[30]->BeginWrite());
  ps[30]->EndWrite();
  for (auto& p : ps) p->EndRead();
  for (auto& p : ps) ASSERT_EQ(p->Portal(), 65534);
  for (int i = 0; i < kPortals - 1; ++i) ps[i]->EndRead();
  EXPECT_FALSE(wrote.load());
  late.EndRead();
  w.join();
  EXPECT_TRUE(wrote.load());
  for (auto& p : ps) EXPECT_EQ(p->Portal(), 65535);

  // Everything forgotten: a fresh round nests from depth 0 again.
  for (auto& p : ps) p->BeginRead();
  for (auto& p : ps) ASSERT_EQ(p->Portal(), 65534);
  for (auto& p : ps) p->EndRead();
  for (auto& p : ps) EXPECT_EQ(p->Portal(), 65535);
}

TEST(PortalNesting, UnmatchedEndsRaiseAndChangeNothing) {
  Portal p;
  EXPECT_THROW(p.EndRead(), EAssertionFailed);
  EXPECT_THROW(p.EndWrite(), EAssertionFailed);
  EXPECT_EQ(p.Portal(), 65535);
  p.BeginRead();
  p.EndRead();
  EXPECT_THROW(p.EndRead(), EAssertionFailed);
  EXPECT_EQ(p.Portal(), 65535);
  EXPECT_TRUE(p.BeginWrite());  // still usable by a writer
  p.EndWrite();
}

// A portal freed while its thread still reads it leaves nothing behind that
// a later portal at the same address could mistake for a read already held.
TEST(PortalNesting, FreeingWhileReadingForgetsTheDepth) {
  alignas(Portal) unsigned char place[sizeof(Portal)];
  Portal* p = ::new (place) Portal();
  p->BeginRead();
  p->BeginRead();
  p->~Portal();
  Portal* q = ::new (place) Portal();
  q->BeginRead();
  EXPECT_EQ(q->Portal(), 65534);
  q->EndRead();
  EXPECT_EQ(q->Portal(), 65535);
  q->~Portal();
}

// A reader leaving an idle portal touches no event; a writer that is
// waiting must still be woken by the last reader to leave, whichever path
// that reader takes.
TEST(PortalNesting, LastReaderWakesTheWaitingWriter) {
  for (int round = 0; round < 20; ++round) {
    Portal p;
    constexpr int kReaders = 4;
    std::atomic<int> reading{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> rs;
    for (int i = 0; i < kReaders; ++i) {
      rs.emplace_back([&] {
        p.BeginRead();
        ++reading;
        while (!release.load()) std::this_thread::yield();
        p.EndRead();
      });
    }
    while (reading.load() < kReaders) std::this_thread::yield();
    std::thread w([&] {
      EXPECT_TRUE(p.BeginWrite());
      p.EndWrite();
    });
    if (round % 2) std::this_thread::sleep_for(1ms);  // let the writer start waiting
    release = true;
    for (auto& r : rs) r.join();
    w.join();
    EXPECT_EQ(p.Portal(), 65535);
  }
}

}  // namespace
