// Stress test of the read/write portal: eight threads read, write, nest and
// upgrade on a set of portals at once. The guarded data is plain memory, so
// that ThreadSanitizer checks that the portal really orders its readers and
// writers; the test also runs in the unsanitised tree against the pooled
// allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "foundation/sync/mvllReadWritePortal.h"

namespace {

// One portal and what it guards. `version` is changed only under write
// access and read only under read access; the atomics count who is inside.
struct Guarded {
  TmvInternalReadWritePortal portal;
  uint64_t version = 0;
  std::atomic<int> readers{0};
  std::atomic<int> writers{0};
};

struct Outcome {
  std::atomic<int> faults{0};
  std::atomic<uint64_t> writes{0};
  void check(bool ok) {
    if (!ok) ++faults;
  }
};

// Read access on every portal at once, more than a thread keeps in its own
// list, with a nested read on each; no writer may get in meanwhile.
void ReadAll(std::vector<std::unique_ptr<Guarded>>& gs, Outcome& out, int salt) {
  std::vector<uint64_t> seen;
  for (auto& g : gs) {
    g->portal.BeginRead();
    ++g->readers;
    seen.push_back(g->version);
  }
  for (size_t k = 0; k < gs.size(); ++k) {
    const size_t at = (k + size_t(salt)) % gs.size();
    Guarded& g = *gs[at];
    g.portal.BeginRead();
    out.check(g.writers.load() == 0 && g.version == seen[at]);
    g.portal.EndRead();
  }
  for (auto& g : gs) {
    --g->readers;
    g->portal.EndRead();
  }
}

// Write access, nested once, with a read inside the write section.
void Write(Guarded& g, Outcome& out) {
  g.portal.BeginWrite();
  out.check(++g.writers == 1 && g.readers.load() == 0);
  g.portal.BeginWrite();
  g.portal.BeginRead();
  ++g.version;
  g.portal.EndRead();
  g.portal.EndWrite();
  --g.writers;
  g.portal.EndWrite();
  ++out.writes;
}

// Read, then upgrade: true exactly when nobody else wrote in between.
void Upgrade(Guarded& g, Outcome& out) {
  g.portal.BeginRead();
  ++g.readers;
  const uint64_t seen = g.version;
  --g.readers;
  const bool alone = g.portal.BeginWrite();
  out.check(++g.writers == 1 && g.readers.load() == 0);
  out.check(alone == (g.version == seen));
  ++g.version;
  --g.writers;
  g.portal.EndWrite();
  ++g.readers;
  out.check(g.writers.load() == 0);
  --g.readers;
  g.portal.EndRead();
  ++out.writes;
}

TEST(PortalStress, ReadersWritersAndUpgradersOnEightThreads) {
  constexpr int kThreads = 8, kRounds = 2000, kPortals = 20;
  std::vector<std::unique_ptr<Guarded>> gs;
  for (int i = 0; i < kPortals; ++i) gs.push_back(std::make_unique<Guarded>());
  Outcome out;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        Guarded& g = *gs[size_t(i * 7 + t) % gs.size()];
        switch ((i + t) % 4) {
          case 0: ReadAll(gs, out, i); break;
          case 1: Write(g, out); break;
          case 2: Upgrade(g, out); break;
          default: {  // a plain nested read of one portal
            g.portal.BeginRead();
            g.portal.BeginRead();
            out.check(g.writers.load() == 0);
            g.portal.EndRead();
            g.portal.EndRead();
          }
        }
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(out.faults.load(), 0);
  uint64_t versions = 0;
  for (auto& g : gs) {
    EXPECT_EQ(g->portal.Portal(), 65535);
    EXPECT_EQ(g->portal.WriterID(), 0u);
    versions += g->version;
  }
  EXPECT_EQ(versions, out.writes.load());
}

}  // namespace
