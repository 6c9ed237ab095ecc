// Server database stress: sessions open databases on one folder and go
// away with them, on several threads at once. Opening a database takes the
// folder's databases padlock before the session's; a session's clean-up
// must not take them the other way round (ThreadSanitizer's lock-order
// check sees it even when no run happens to deadlock).
#include <future>
#include <vector>

#include "server/tables/TableTestSupport.h"

namespace {

using namespace table_test;

class ServerDatabaseStress : public TableTest {};

TEST_F(ServerDatabaseStress, SessionsFreedWithTheirDatabasesWhileOthersOpen) {
  Initialise();
  engine->SetActive(true);
  constexpr int kThreads = 3, kRounds = 15;
  auto work = [&] {
    for (int round = 0; round < kRounds; ++round) {
      TmvAbstractSession* session = nullptr;
      ASSERT_EQ(engine->SessionOpen(session, String(), String(), String(), 0), 0u);
      for (int i = 0; i < 2; ++i) {
        TmvAbstractDatabase* db = nullptr;
        EXPECT_EQ(session->DatabaseOpen(db, u"Path", disk.Path(), nullptr, omReadWrite, smShared, 0), 0u);
      }
      // The session's clean-up frees both databases.
      TmvAbstractServerObject::Free(session);
    }
  };
  std::vector<std::future<void>> threads;
  for (int i = 0; i < kThreads; ++i) threads.push_back(std::async(std::launch::async, work));
  for (auto& t : threads) t.get();
  TmvServerFolder* folder = Folder(disk.Path());
  EXPECT_EQ(folder->DatabaseCount(), 0);
}

}  // namespace
