// Tests of both BLOB engines against byte vectors kept beside them: random
// writes and truncations of BLOBs up to 10 MB, through commits and a reopen.
#include <random>

#include "storage/BlobTestSupport.h"

namespace {

using namespace storage_test;

class BlobModelTest : public BlobEngineTest, public ::testing::WithParamInterface<bool> {};

// Random writes and truncations of several BLOBs up to 10 MB, checked
// against byte vectors after each step, through commits and a reopen.
TEST_P(BlobModelTest, RandomWritesAndTruncationsThroughCommitAndReopen) {
  simple = GetParam();
  StartNew();
  std::mt19937 random(42);
  std::vector<TmvBlobNr> numbers(3);
  std::vector<std::vector<uint8_t>> model(3);
  {
    TTestTransaction trans(cache);
    for (TmvBlobNr& nr : numbers) engine->AddBlob(&trans, nr);
    trans.Commit();
  }
  const uint32_t sizes[] = {1, 11, 12, 300, 4000, 4061, 20000, 300000, 3000000};
  for (int round = 0; round < 4; ++round) {
    TTestTransaction trans(cache);
    for (int step = 0; step < 25; ++step) {
      const size_t which = random() % 3;
      std::vector<uint8_t>& bytes = model[which];
      const uint32_t length = uint32_t(bytes.size());
      if (random() % 4 == 0 && length > 0) {
        const uint32_t to = uint32_t(random() % (length + 1));
        engine->Truncate(&trans, numbers[which], to);
        bytes.resize(to);
      } else {
        const uint32_t offset = random() % 3 == 0 ? length : uint32_t(random() % (length + 1));
        uint32_t len = sizes[random() % std::size(sizes)];
        len = std::min<uint32_t>(len, 10000000 - offset);
        std::vector<uint8_t> data(len);
        for (uint8_t& b : data) b = uint8_t(random());
        engine->Write(&trans, numbers[which], offset, len, data.data());
        if (offset + len > bytes.size()) bytes.resize(offset + len);
        std::copy(data.begin(), data.end(), bytes.begin() + offset);
      }
      ASSERT_EQ(Length(&trans, numbers[which]), bytes.size()) << round << "/" << step;
      const uint32_t from = bytes.empty() ? 0 : uint32_t(random() % bytes.size());
      const std::vector<uint8_t> got = ReadRange(&trans, numbers[which], from, 50000);
      ASSERT_EQ(got.size(), std::min<size_t>(50000, bytes.size() - from));
      ASSERT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + from)) << round << "/" << step;
    }
    trans.Commit();
    ReopenEngine();
    TTestTransaction check(cache);
    for (size_t i = 0; i < 3; ++i) ASSERT_EQ(ReadRange(&check, numbers[i], 0, 0x7FFFFFFF), model[i]) << round;
    check.Commit();
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, BlobModelTest, ::testing::Bool(),
                         [](const auto& aInfo) { return aInfo.param ? "Simple" : "Segmented"; });

}  // namespace
