// Stress test of the data dictionary with the engine's own allocator (the
// pooled one in the plain tree), across full stops and starts of the
// dictionary: in every round the question bank is built, streamed for this
// engine and an old peer, read back, duplicated, frozen and written by
// several threads at once, and its bytes do not depend on a thread locale
// with a decimal comma.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "dictionary/mvsdQuestionBank.h"
#include "dictionary/mvsdTestSupport.h"
#include "platform/Nls.h"

using namespace mvtest;

namespace {

std::vector<uint8_t> Bytes(TmvDataDictionary& aDD, int32_t aClientVersion) {
  TmvMemoryStream stream;
  aDD.WriteToStream(stream, aClientVersion);
  const auto* p = static_cast<const uint8_t*>(stream.Memory());
  return std::vector<uint8_t>(p, p + stream.GetSize());
}

TEST(DataDictionaryRestart, QuestionBankInEveryRound) {
  for (int round = 0; round < 3; ++round) {
    mvDictionaryInit();
    {
      auto dd = NewQuestionBank();
      const auto bytes = Bytes(*dd, mvEngineVersion);
      TmvMemoryStream stream;
      stream.Write(bytes.data(), int32_t(bytes.size()));
      stream.SetPosition(0);
      TmvDataDictionary back;
      back.ReadFromStream(stream, u"qbdb");
      EXPECT_TRUE(back.IsEqual(dd.get()));
      EXPECT_EQ(back.GetChild(u"QBRECORD:..:gcount")->btdFullName(), u"qbdb:gcount");

      std::unique_ptr<TmvDataDictionary> copy(back.Duplicate());
      const LCID saved = GetThreadLocale();
      ASSERT_TRUE(SetThreadLocale(0x407));  // German: decimal comma
      const auto underComma = Bytes(*copy, mvEngineVersion);
      SetThreadLocale(saved);
      EXPECT_EQ(underComma, Bytes(back, mvEngineVersion));

      copy->MakeReadOnly();
      const auto expected = Bytes(*copy, 30899);
      std::atomic<int> mismatches{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
          for (int i = 0; i < 5; ++i)
            if (Bytes(*copy, 30899) != expected) ++mismatches;
        });
      for (auto& t : threads) t.join();
      EXPECT_EQ(mismatches.load(), 0);
      EXPECT_EQ(expected.at(10), 3);  // version 3 for that peer
    }
    mvDictionaryFini();
  }
}

}  // namespace
