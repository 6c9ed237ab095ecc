// A table end to end on each record engine set-up with the auto-increment
// engine: records stored in one transaction, committed, reopened and read
// back, deleted in part and checked again; the files' sizes side by side;
// and a commit cut off after every write it makes.
// The table file holds its own dictionary: it is written as the stream
// "DICT" with the first records, and every reopen reads it back and builds
// the engines from the names it stores.
#include "storage/TableEndToEndSupport.h"

namespace {

using namespace storage_test;

TEST_F(TableEndToEnd, HundredThousandRecordsSurviveCommitReopenAndPartialDeletionOnEachEngine) {
  std::map<std::string, TSize> sizes;
  for (const TEngineSetUp& setUp : kSetUps) {
    SCOPED_TRACE(setUp.label);
    sizes[setUp.label] = RoundTrip(setUp, "people-" + UTF8Encode(setUp.record) + ".mv1");
  }
  // The same records with mostly short or empty names. A static record
  // takes its full 62 bytes; a "Smart" one a segment of 23 bytes with an
  // empty name and at most 36 with the names here, plus the heap's cost of
  // a segment: the variable file comes out at about 53% of the static one,
  // and well under 60% by construction.
  for (const auto& [label, size] : sizes)
    std::printf("%d records, %s: file of %ju bytes, %u blocks in use\n", fRecords, label.c_str(), size.bytes,
                unsigned(size.blocks));
  const TSize fixed = sizes["Static"], variable = sizes["Variable+Smart"];
  EXPECT_LT(variable.bytes * 5, fixed.bytes * 3);
  EXPECT_LT(uintmax_t(variable.blocks) * 5, uintmax_t(fixed.blocks) * 3);
}

TEST_F(TableEndToEnd, ACommitCutOffAfterAnyWriteLeavesTheOldOrTheNewTableOrAClearError) {
  for (const TEngineSetUp& setUp : kSetUps) {
    SCOPED_TRACE(setUp.label);
    for (const auto& [n, outcome] : CrashCut(setUp))
      std::printf("%s, crash after write %3llu: %s\n", setUp.label.c_str(), (unsigned long long)n, outcome.c_str());
  }
}

}  // namespace
