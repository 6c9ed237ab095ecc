// Stress test of the session lock: threads racing Lock, Unlock, cancels
// and a permanent failure. The lock must never be left owned, its
// clean-up must run exactly once, and (in the ThreadSanitizer tree) the
// races must be clean.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ServerTestSupport.h"

namespace {

struct LockRace : ServerTest {};

TEST_F(LockRace, NeverLeftOwnedAndCleanedUpOnce) {
  constexpr int kRounds = 60;
  constexpr int kWorkers = 4;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> cleanups{0};
    auto* raw = TmvInterfacedObject::Create<TmvSimpleLock>(
        [&](TmvSimpleLock* aSender) {
          cleanups.fetch_add(1);
          aSender->SetFailedCleanupDone();
        },
        nullptr);
    TInterfacePtr<ImvSimpleLock> lock(static_cast<ImvSimpleLock*>(raw));
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0}, entered{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
      threads.emplace_back([&, w] {
        for (int i = 0; !stop.load() && i < 20000; ++i) {
          try {
            lock->Lock();
          } catch (const EmvBaseException& e) {
            if (e.ErrorCode() == 9990) break;  // permanently failed: nothing more to do
            if (e.ErrorCode() != 8455 && e.ErrorCode() != 15461) unexpected.fetch_add(1);
            continue;
          }
          entered.fetch_add(1);
          uint32_t result = 0;
          if ((i + w) % 3 == 0) {  // a nested call now and then
            try {
              lock->Lock();
              lock->Unlock(result);
            } catch (const EmvBaseException& e) {
              if (e.ErrorCode() != 15461 && e.ErrorCode() != 9990) unexpected.fetch_add(1);
            }
          }
          result = 0;
          lock->Unlock(result);
          if (result != 0 && result != 15461) unexpected.fetch_add(1);
        }
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        lock->Failed(false, false);
        std::this_thread::yield();
      }
      lock->Failed(true, round % 2 == 0);
      stop = true;
    });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(unexpected.load(), 0) << "round " << round;
    EXPECT_EQ(raw->LockingThread(), 0u) << "round " << round;
    EXPECT_EQ(raw->LockCount(), 0) << "round " << round;
    EXPECT_EQ(cleanups.load(), 1) << "round " << round;
    EXPECT_TRUE(raw->FailedCleanedUp());
  }
}

}  // namespace
