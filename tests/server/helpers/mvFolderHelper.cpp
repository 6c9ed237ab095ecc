// Test helper process of the two-process folder tests: a second engine in
// a process of its own on the folder given as the argument. It starts the
// server units and an engine, opens a session and a database on the folder
// (read and write, shared) and writes "ready <folder read-only 0/1>". Then
// it answers each line of its standard input with one line:
//   "open <T>"   the database gets table T: "<code> <read-only 0/1> <text>"
//   "write <T>"  the checks of a write cursor on T: "<code> <text>"
//                (12289 when every check passed: the table cursor comes
//                later)
//   "build <T>"  the folder builds the people table T: "<code> <text>"
//   "commit <T>" commits 10 people records per server transaction into the
//                open table T for ever, writing the number of each commit
//                that returned ("failed <code>" ends it)
//   "quit"       closes everything and ends with 0
// Calls the server engine as an embedding program would, and the record
// engine of an open table for the commits.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "foundation/errors/mvllErrors.h"
#include "server/mvsrServerEngine.h"
#include "server/mvsrServerSession.h"
#include "server/mvsrServerUnits.h"
#include "server/tables/mvsrServerDatabase.h"
#include "server/tables/mvsrServerFolder.h"
#include "server/tables/mvsrServerTable.h"
#include "server/transactions/mvsrServerTransaction.h"
#include "storage/mvsrTimeoutHandling.h"
#include "storage/records/mvseRecordEngine.h"
#include "support/mvPeopleTable.h"

namespace {

void say(const std::string& aLine) {
  const std::string line = aLine + "\n";
  if (::write(1, line.data(), line.size()) != ssize_t(line.size())) _exit(4);
}

std::string Text(uint32_t aCode) {
  return aCode ? UTF8Encode(EmvBaseException(int64_t(aCode)).ProcessedErrorString()) : std::string();
}

std::string Answer(uint32_t aCode) { return std::to_string(aCode) + " " + Text(aCode); }

int Commit(TmvServerDatabase* aDb, const String& aName) {
  TmvServerBaseTable* table = nullptr;
  bool readOnly = false;
  if (uint32_t code = aDb->sdGetTable(table, aName, String(), false, readOnly, false, false)) {
    say("failed " + Answer(code));
    return 3;
  }
  TmvFieldsDescriptor* fields = table->FieldsDescriptor();
  std::vector<uint8_t> record(size_t(fields->RecordLength()) + 4, 0);
  TmvBufferManager* cache = aDb->Folder()->ServerEngine()->BufferManager();
  for (int32_t commit = 1;; ++commit) {
    auto* trans = new TmvServerTransaction(cache, nullptr, false, false, false);
    try {
      for (int32_t i = 0; i < 10; ++i) {
        TPeopleTable::Record(fields, commit * 10 + i, record.data());
        TmvRefNr ref = 0;
        table->RecordEngine()->AddRecord(trans, ref, record.data());
      }
    } catch (...) {
      trans->Rollback();
      say("failed to insert");
      return 3;
    }
    trans->Commit();  // frees it
    say(std::to_string(commit));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  mvServerInit();
  mvSetOperationDeadline(0, true);
  int result = 0;
  {
    auto engine = std::make_unique<TmvServerEngine>(nullptr);
    engine->SetMaxRAM(16);
    engine->SetTempStoreSize(0);
    engine->SetActive(true);
    TmvAbstractSession* session = nullptr;
    if (engine->SessionOpen(session, String(), String(), String(), 0) != 0) return 3;
    TmvAbstractDatabase* opened = nullptr;
    if (uint32_t code =
            session->DatabaseOpen(opened, u"Path", UTF8ToString(argv[1]), nullptr, omReadWrite, smShared, 0)) {
      say("failed " + Answer(code));
      return 3;
    }
    auto* db = static_cast<TmvServerDatabase*>(opened);
    say(std::string("ready ") + (db->Folder()->ReadOnly() ? "1" : "0"));
    for (std::string line; std::getline(std::cin, line);) {
      const size_t blank = line.find(' ');
      const std::string command = line.substr(0, blank);
      const String name = blank == std::string::npos ? String() : UTF8ToString(line.substr(blank + 1));
      if (command == "open") {
        TmvServerBaseTable* table = nullptr;
        bool readOnly = false;
        const uint32_t code = db->sdGetTable(table, name, String(), false, readOnly, false, false);
        say(std::to_string(code) + " " + (readOnly ? "1" : "0") + " " + Text(code));
      } else if (command == "write") {
        TmvAbstractCursor* cursor = nullptr;
        say(Answer(db->sdCursorOpen(cursor, name, String(), false, omReadWrite, smShared, false, 0, String(), 0,
                                    false, false)));
      } else if (command == "build") {
        auto dict = TPeopleTable::Dictionary<TmvDataDictionary>(u"Static", nullptr);
        say(Answer(db->Folder()->sfTableBuild(false, name, tsPersistent, dict.get(), false, String())));
      } else if (command == "commit") {
        result = Commit(db, name);
        break;
      } else if (command == "quit") {
        break;
      } else {
        say("unknown");
      }
    }
    TmvAbstractServerObject::Free(session);
    engine->SetActive(false);
  }
  mvServerFini();
  return result;
}
