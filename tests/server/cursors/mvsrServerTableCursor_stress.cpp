// Table cursor stress: four sessions on one table, two writing in
// transactions (a shared content lock first, then the upgrade to an
// exclusive one, two records per transaction) and two reading outside
// transactions through the content portal. Nothing deadlocks for good:
// every wait ends by its deadline (a refused upgrade rolls back and tries
// again); readers only ever see committed states (an even record count
// that never shrinks); in the end every committed pair is there.
#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "server/cursors/TableCursorTestSupport.h"

namespace {

using namespace cursor_test;
using namespace std::chrono_literals;

class TableCursorStress : public CursorTest {};

TEST_F(TableCursorStress, WritersInTransactionsAndReadersOutsideThem) {
  ASSERT_EQ(Build(DiskFolder(), u"T", IndexedPeople().get()), 0u);
  TmvServerTableCursor* writers[2] = {Open(Database(), u"T"), Open(Database(), u"T")};
  TmvServerTableCursor* readers[2] = {Open(Database(), u"T"), Open(Database(), u"T")};
  constexpr int kCommits = 25;
  std::atomic<int> committed{0}, refused{0}, writing{2};
  std::atomic<bool> readerFault{false}, stop{false};
  // What the writers met, for the report of a stuck run.
  std::atomic<int> startFailed{0}, commitFailed{0}, lastCode{0}, doneOf[2]{};

  auto write = [&](int aWriter) {
    TmvServerTableCursor* cursor = writers[aWriter];
    TmvAbstractTransContext* context = cursor->_Trans();
    int done = 0, id = 1 + aWriter * 100000;
    std::minstd_rand random(unsigned(aWriter) + 1);
    while (done < kCommits && !stop.load()) {
      if (uint32_t c = context->TransactionStart(false, false); c != 0) {
        ++startFailed;
        lastCode = int(c);
        continue;
      }
      // After the start, which sets the deadline from the context's timeout
      // (none): without a deadline no lock request waits, and two writers
      // refused at once meet again on their retries for as long as each
      // retry outlasts the other's pause (under ThreadSanitizer, for good).
      // With time to wait, one upgrade waits and the other is refused as a
      // deadlock, so every round commits.
      mvSetOperationDeadline(2000, true);
      uint32_t code = cursor->sbcBeginContentLock(false, false, false);
      if (code == 0) code = cursor->sbcBeginContentLock(true, false, false);
      if (code != 0) {
        // A deadlock or a time-out: the level goes back, the writer retries.
        if (code != MVERR_DEADLOCK && code != MVERR_LOCKTIMEOUT) ADD_FAILURE() << "writer got " << code;
        lastCode = int(code);
        ++refused;
        context->TransactionRollback();
        // Two writers refused at once and retrying at once would meet
        // again and again: each waits a little, as a client would.
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        continue;
      }
      TmvBaseTransaction* trans = cursor->stcTrans();
      try {
        for (int i = 0; i < 2; ++i, ++id) {
          std::vector<uint8_t> record = Row(cursor, id);
          TmvRefNr ref = 0;
          cursor->Table()->RecordEngine()->AddRecord(trans, ref, record.data());
          EXPECT_EQ(cursor->Table()->IndicesEngine()->InsertKeys(trans, ref, record.data(), nullptr), 0);
        }
      } catch (const EmvBaseException& e) {
        // A writer that left here with its exclusive lock held would keep
        // the other waiting for good: the failure is reported, the lock
        // given back, and every loop ends.
        ADD_FAILURE() << "writer " << aWriter << " got " << e.ErrorCode() << ": "
                      << UTF8Encode(e.ProcessedErrorString());
        context->TransactionRollback();
        stop = true;
        break;
      }
      if (context->TransactionCommit() == 0) {
        ++done;
        ++doneOf[aWriter];
        ++committed;
      } else {
        ++commitFailed;
        context->TransactionRollback();
      }
    }
    --writing;
  };
  auto read = [&](int aReader) {
    TmvServerTableCursor* cursor = readers[aReader];
    uint32_t last = 0;
    while (writing.load() > 0 && !stop.load()) {
      mvSetOperationDeadline(2000, true);
      if (cursor->sbcBeginContentLock(false, false, false) != 0) {
        readerFault = true;
        return;
      }
      uint32_t count = 0;
      cursor->Table()->RecordEngine()->GetRecordCount(nullptr, count);
      uint32_t keys = 0;
      cursor->Table()->IndicesEngine()->biseGetIndex(0)->GetKeyCount(nullptr, keys);
      cursor->sbcEndContentLock();
      if (count % 2 != 0 || count < last || keys != count) readerFault = true;
      last = count;
      std::this_thread::yield();
    }
  };

  std::vector<std::future<void>> threads;
  for (int i = 0; i < 2; ++i) threads.push_back(std::async(std::launch::async, write, i));
  for (int i = 0; i < 2; ++i) threads.push_back(std::async(std::launch::async, read, i));
  bool stuck = false;
  for (auto& t : threads) stuck = stuck || t.wait_for(120s) != std::future_status::ready;
  // Loops that still run end now, so that a failure is reported, not a hang.
  stop = true;
  ASSERT_FALSE(stuck) << "a thread is stuck: refused " << refused << ", start failed " << startFailed
                      << ", commit failed " << commitFailed << ", last code " << lastCode << ", done " << doneOf[0]
                      << "/" << doneOf[1] << ", writing " << writing << ", reader fault " << readerFault;
  for (auto& t : threads) t.get();
  EXPECT_FALSE(readerFault.load()) << "a reader saw an uncommitted state";
  EXPECT_EQ(committed.load(), 2 * kCommits);
  uint32_t count = 0;
  writers[0]->Table()->RecordEngine()->GetRecordCount(nullptr, count);
  EXPECT_EQ(count, uint32_t(4 * kCommits));
  std::printf("upgrades refused and retried: %d\n", refused.load());
}

}  // namespace
