// Stress-test support of the data dictionary: the round that every engine
// family's stress test runs, as the cursors of one open table do.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "dictionary/mvsdTestSupport.h"

namespace mvtest {

// Across three full stops and starts of the dictionary: aBuild fills the
// fields of a table, which are streamed and read back; on the read-back
// fields, cached and read-only as an open table's, eight threads each run
// aWork, which counts its failures.
inline void EveryRoundOnACachedCopy(const std::function<void(TmvFieldsDescriptor& aFields, int aRound)>& aBuild,
                                    const std::function<void(TmvFieldsDescriptor* aFields, int aRound,
                                                             int* aFailures)>& aWork) {
  for (int round = 0; round < 3; ++round) {
    mvDictionaryInit();
    {
      TTestDictionary dd;
      aBuild(*dd.Fields, round);
      TTestDictionary back;
      ReadAll(Written(*dd.Fields), *back.Fields);
      EXPECT_TRUE(back.Fields->IsEqual(dd.Fields));
      back.Fields->ActivateCache();
      back.ReadOnly = true;
      int failures[8] = {};
      std::vector<std::thread> threads;
      for (int t = 0; t < 8; ++t) threads.emplace_back(aWork, back.Fields, round, &failures[t]);
      for (std::thread& t : threads) t.join();
      for (int f : failures) EXPECT_EQ(f, 0);
      back.ReadOnly = false;
      back.Fields->DeactivateCache();
    }
    mvDictionaryFini();
  }
}

}  // namespace mvtest
