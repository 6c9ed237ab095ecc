// Tests of the memory manager's maintenance thread over a work that fails:
// every failure is reported, a collect whose pass fails still ends, and the
// thread ends at the eleventh failure and says so.
#include "foundation/memory/mvllMaintenanceThread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

#include "platform/SysUtils.h"

namespace {

class TFailingWork : public TmvMaintenanceWork {
 public:
  void CleanupItemPools() override { throw EConvertError(String(u"pass failed")); }
  void AgeKeptPages() override {}
  void TakeBackIdleCaches() override {}
  void CleanupBlockPools() override {}
  void ReleaseSpareChunks() override {}
  void FullPass() override {}
  void Report(const String& message, bool ended) override {
    std::lock_guard<std::mutex> guard(lock);
    reports.push_back({message, ended});
  }
  std::mutex lock;
  std::vector<std::pair<String, bool>> reports;
};

}  // namespace

TEST(MaintenanceThread, ReportsEveryFailureAndEndsAtTheEleventh) {
  TFailingWork work;
  TmvMaintenanceThread thread(work);
  thread.Start();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < TmvMaintenanceThread::kFailuresSurvived + 1; ++i) thread.Collect();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // no collect waited out its 10 s
  for (int i = 0; i < 500 && thread.Running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(thread.Running());
  EXPECT_EQ(thread.Failures(), 11);
  EXPECT_TRUE(thread.EndedByFailures());
  thread.Collect();  // an ended thread: at once
  std::lock_guard<std::mutex> guard(work.lock);
  ASSERT_EQ(work.reports.size(), 12u);
  for (int i = 0; i < 11; ++i) {
    EXPECT_NE(work.reports[i].first.find(u"EConvertError: pass failed"), String::npos) << i;
    EXPECT_FALSE(work.reports[i].second);
  }
  EXPECT_NE(work.reports[11].first.find(u"ended after 11 failed passes"), String::npos);
  EXPECT_TRUE(work.reports[11].second);
}
