// Tests of the allocation interface, the manager's reallocation policy and
// large blocks, and the engine's object base classes. The policy tests call
// the pooled manager directly, so they run against the pools in every build.
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "foundation/memory/mvllMemoryManager.h"

namespace {

TmvPooledMemoryManager& Pooled() { return mvPooledMemoryManager(); }

size_t ItemSizeOf(void* p) {
  TmvMemoryPool* pool = Pooled().Items().OwnerOf(p);
  return pool ? pool->ItemSize() : 0;
}

TEST(AllocationRoutines, ZeroSizesAndNil) {
  void* p = reinterpret_cast<void*>(1);
  mvGetMem(p, 0);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(mvGetMemPtr(0), nullptr);
  mvFreeMem(nullptr);
  mvReallocMem(p, 0);  // nil and 0: nothing
  EXPECT_EQ(p, nullptr);
  mvReallocMem(p, 10);  // nil: a new block
  ASSERT_NE(p, nullptr);
  std::memset(p, 0xAB, 10);
  mvReallocMem(p, 100000);
  EXPECT_EQ(static_cast<unsigned char*>(p)[9], 0xAB);
  mvReallocMem(p, 0);
  EXPECT_EQ(p, nullptr);

  char* z = static_cast<char*>(mvGetZeroedMemPtr(5000));
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(z[i], 0);
  void* v = z;
  mvFreeMemAndNil(v);
  EXPECT_EQ(v, nullptr);

  TmvObject* o = nullptr;
  mvFreeAndNil(o);  // nil: nothing
  o = new TmvObject;
  mvFreeAndNil(o);
  EXPECT_EQ(o, nullptr);
}

TEST(AllocationRoutines, ItemPoolHandlesAndBlockPools) {
  TmvMemoryPoolHandle pool = mvGetMemoryPool(20);
  EXPECT_EQ(uintptr_t(pool), 24u);
  void* item = mvMemoryPoolAlloc(pool);
  std::memset(item, 1, 24);
  mvMemoryPoolDispose(pool, item);
  EXPECT_EQ(item, nullptr);
  mvMemoryPoolDispose(pool, item);  // nil ignored

  void* block = mvBlockPoolAlloc(mvBlockPool(0));
  EXPECT_EQ(uintptr_t(block) % 4096, 0u);
  std::memset(block, 2, 4096);
  mvBlockPoolDispose(mvBlockPool(0), block);
  EXPECT_EQ(block, nullptr);

  TmvPhysicalBlockHandle h = mvPhysicalBlockAlloc(1);
  void* mapped = mvPhysicalBlockMap(h);
  EXPECT_EQ(uintptr_t(mapped) % 8192, 0u);
  std::memset(mapped, 3, 8192);
  EXPECT_THROW(mvPhysicalBlockUnmap(h, static_cast<char*>(mapped) + 8), EInvalidPointer);
  mvPhysicalBlockUnmap(h, mapped);
  mvPhysicalBlockDispose(h);
  EXPECT_THROW(mvPhysicalBlockAlloc(6), EOutOfMemory);

  static TmvPhysicalBlockHandle run[256];
  mvPhysicalBlockAllocRun(0, run);
  for (TmvPhysicalBlockHandle r : run) mvPhysicalBlockDispose(r);
  EXPECT_THROW(mvPhysicalBlockMapRun(run), EInvalidPointer);
}

TEST(AllocationRoutines, StatusInTheStandardMode) {
  EXPECT_STREQ(mvMemoryManagerModeText(), "Standard Server (non AWE)");
  EXPECT_FALSE(mvMemoryManagerAweAvailable());
  EXPECT_FALSE(mvMemoryManagerAweSupported());
  EXPECT_FALSE(mvMustReleaseAllocatedBlocks());
  EXPECT_FALSE(mvMustReleaseMappedBlocks());
  const char* zeros = static_cast<const char*>(mvMemoryManagerTable().ZeroPage);
  for (int i = 0; i < 65536; i += 4096) EXPECT_EQ(zeros[i], 0);
}

TEST(AllocationRoutines, MappingName) {
  EXPECT_EQ(mvMemoryManagerMappingName(0x12), u"__MorvaMM6__12000000");
  EXPECT_EQ(mvMemoryManagerMappingName(0xABC), u"__MorvaMM6__BC0A0000");
  EXPECT_EQ(mvMemoryManagerMappingName(0x12345678), u"__MorvaMM6__78563412");
}

TEST(PooledManager, ReallocatingItems) {
  TmvPooledMemoryManager& m = Pooled();
  char* p = static_cast<char*>(m.GetMem(44));  // a 48-byte item
  ASSERT_EQ(ItemSizeOf(p), 48u);
  for (int i = 0; i < 48; ++i) p[i] = char(i);
  char* q = static_cast<char*>(m.ReallocMem(p, 49));
  EXPECT_NE(q, p);
  EXPECT_EQ(ItemSizeOf(q), 416u);
  for (int i = 0; i < 48; ++i) ASSERT_EQ(q[i], char(i));
  EXPECT_EQ(m.FreeMem(q), 0);

  p = static_cast<char*>(m.GetMem(128));
  EXPECT_EQ(ItemSizeOf(p), 128u);
  EXPECT_EQ(m.ReallocMem(p, 10), p);  // 128 is below 32 x 10
  p[0] = 'x';
  p[1] = 'y';
  p[2] = 'z';
  q = static_cast<char*>(m.ReallocMem(p, 3));  // 128 is not below 96
  EXPECT_NE(q, p);
  EXPECT_EQ(ItemSizeOf(q), 4u);
  EXPECT_EQ(std::memcmp(q, "xyz", 3), 0);
  EXPECT_EQ(m.ReallocMem(q, 4), q);  // same item size
  m.FreeMem(q);

  // Growth above 8192 takes exactly the size; above 32 735 a plain large block.
  p = static_cast<char*>(m.GetMem(9000));
  q = static_cast<char*>(m.ReallocMem(p, 40000));
  ASSERT_NE(m.FindLarge(q), nullptr);
  EXPECT_FALSE(m.FindLarge(q)->IsMapped());
  m.FreeMem(q);
}

TEST(PooledManager, LargeBlocksAndTheirTrailer) {
  TmvPooledMemoryManager& m = Pooled();
  void* item = m.GetMem(32735);
  EXPECT_EQ(ItemSizeOf(item), 32736u);
  m.FreeMem(item);

  char* p = static_cast<char*>(m.GetMem(32736));
  EXPECT_EQ(uintptr_t(p) % 65536, 0u);
  const TmvLargeBlockTrailer* t = m.FindLarge(p);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(reinterpret_cast<const char*>(t), p + 8 * 4096 - 32);
  EXPECT_EQ(t->Size, 32736u);
  EXPECT_EQ(t->Base, uintptr_t(p));
  EXPECT_EQ(t->PagesInUse, 8u);
  EXPECT_EQ(t->PagesCommitted, 8u);
  EXPECT_EQ(t->Units, 1u);
  EXPECT_FALSE(t->IsMapped());
  std::memset(p, 0x5A, 32736);

  EXPECT_EQ(m.ReallocMem(p, 30000), p);  // still 8 pages: stays
  EXPECT_EQ(m.FindLarge(p)->Size, 30000u);

  // A different page count moves it into a growable mapping.
  char* q = static_cast<char*>(m.ReallocMem(p, 70000));
  t = m.FindLarge(q);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->IsMapped());
  EXPECT_EQ(t->Growth, 1u);
  EXPECT_EQ(t->MaxUnits, 4u);  // 2 units, twice that to grow into
  for (int i = 0; i < 30000; ++i) ASSERT_EQ(q[i], 0x5A) << i;
  EXPECT_EQ(m.FindLarge(p), nullptr);

  // Growing within the mapping keeps the contents; the trailer follows the end.
  std::memset(q, 0x33, 70000);
  for (size_t size = 80000; size <= 4000000; size += 150000) {
    q = static_cast<char*>(m.ReallocMem(q, size));
    t = m.FindLarge(q);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->Size, size);
    ASSERT_GE(reinterpret_cast<const char*>(t), q + size);
    for (size_t i = 0; i < 70000; i += 997) ASSERT_EQ(q[i], 0x33) << size << " " << i;
    q[size - 1] = 1;
  }
  // Somewhat smaller: the view shrinks in place, the contents stay.
  char* shrunk = static_cast<char*>(m.ReallocMem(q, 2000000));
  EXPECT_EQ(shrunk, q);
  t = m.FindLarge(q);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Size, 2000000u);
  EXPECT_EQ(t->Units, 31u);
  for (size_t i = 0; i < 70000; i += 997) ASSERT_EQ(q[i], 0x33) << i;
  q[1999999] = 2;
  // Far smaller: a copy in an item.
  char* small = static_cast<char*>(m.ReallocMem(q, 1000));
  EXPECT_EQ(m.FindLarge(small), nullptr);
  EXPECT_EQ(small[999], 0x33);
  m.FreeMem(small);
}

// A growable block grows in place up to its mapping's maximum; past it, it
// moves to a new block and its old pages are released at once, and another
// thread may then map a block there and enter it in the address map before
// the mover is done. The old address must have left the map by then, or the
// mover would remove the other thread's block.
const void* gMovedFrom = nullptr;
bool gOldAddressStillMapped = true;

TEST(PooledManager, AGrowableBlockGrowsInPlaceThenMovesLeavingTheMapFirst) {
  TmvPooledMemoryManager& m = Pooled();
  char* p = static_cast<char*>(m.ReallocMem(m.GetMem(100000), 200000));  // a growable mapping
  const TmvLargeBlockTrailer* t = m.FindLarge(p);
  ASSERT_NE(t, nullptr);
  ASSERT_TRUE(t->IsMapped());
  const size_t room = size_t(t->MaxUnits) * 65536 - 32;
  ASSERT_GT(room, 200000u);
  std::memset(p, 0x6B, 200000);
  for (size_t size = 200001; size <= room; size += (room - 200000) / 7) {
    ASSERT_EQ(m.ReallocMem(p, size), p) << size;
    p[size - 1] = 0x6B;
  }
  ASSERT_EQ(m.ReallocMem(p, room), p);

  m.Large().SetAfterMoveHook([](TmvLargeBlocks& blocks, const void* oldBase) {
    gMovedFrom = oldBase;
    gOldAddressStillMapped = blocks.Find(oldBase) != nullptr;
  });
  char* q = static_cast<char*>(m.ReallocMem(p, room + 1));
  m.Large().SetAfterMoveHook(nullptr);

  ASSERT_NE(q, p);
  EXPECT_EQ(gMovedFrom, p);
  EXPECT_FALSE(gOldAddressStillMapped);
  EXPECT_EQ(m.FindLarge(p), nullptr);
  ASSERT_NE(m.FindLarge(q), nullptr);
  EXPECT_EQ(m.FindLarge(q)->Size, room + 1);
  for (size_t i = 0; i < 200000; i += 499) ASSERT_EQ(q[i], 0x6B) << i;
  EXPECT_EQ(m.FreeMem(q), 0);
}

TEST(PooledManager, RejectsForeignAndTwiceFreedBlocks) {
  TmvPooledMemoryManager& m = Pooled();
  void* p = m.GetMem(100);
  EXPECT_EQ(m.FreeMem(p), 0);
  EXPECT_THROW(m.FreeMem(p), EInvalidPointer);
  int local = 0;
  EXPECT_NE(m.FreeMem(&local), 0);
  void* large = m.GetMem(100000);
  EXPECT_NE(m.FreeMem(static_cast<char*>(large) + 65536), 0);
  EXPECT_THROW(m.ReallocMem(static_cast<char*>(large) + 65536, 10), EInvalidPointer);
  EXPECT_EQ(m.FreeMem(large), 0);
  EXPECT_NE(m.FreeMem(large), 0);
}

// Sizes whose page or unit counts do not fit the trailer, or do not fit a
// size_t at all once the trailer is added, are refused and change nothing.
TEST(PooledManager, SizesThatCannotBeServedAreRefused) {
  TmvPooledMemoryManager& m = Pooled();
  const size_t huge[] = {SIZE_MAX, SIZE_MAX - 40, size_t(1) << 63, size_t(1) << 44, (size_t(1) << 44) - 4000};
  char* item = static_cast<char*>(m.GetMem(100));
  char* plain = static_cast<char*>(m.GetMem(100000));
  char* mapped = static_cast<char*>(m.ReallocMem(m.GetMem(100000), 200000));
  std::memset(item, 0x11, 100);
  std::memset(plain, 0x22, 100000);
  std::memset(mapped, 0x33, 200000);
  TmvMemoryStatistics before, after;
  m.GetStatistics(before);
  for (size_t n : huge) {
    EXPECT_EQ(m.GetMem(n), nullptr) << n;
    EXPECT_EQ(m.ReallocMem(item, n), nullptr) << n;
    EXPECT_EQ(m.ReallocMem(plain, n), nullptr) << n;
    EXPECT_EQ(m.ReallocMem(mapped, n), nullptr) << n;
  }
  m.GetStatistics(after);
  EXPECT_EQ(after.Allocated, before.Allocated);
  EXPECT_EQ(after.Committed, before.Committed);
  EXPECT_EQ(item[99], 0x11);
  EXPECT_EQ(m.FindLarge(plain)->Size, 100000u);
  EXPECT_EQ(plain[99999], 0x22);
  EXPECT_EQ(m.FindLarge(mapped)->Size, 200000u);
  EXPECT_EQ(mapped[199999], 0x33);
  EXPECT_EQ(m.FreeMem(item), 0);
  EXPECT_EQ(m.FreeMem(plain), 0);
  EXPECT_EQ(m.FreeMem(mapped), 0);
#if !MV_SYSTEM_ALLOCATOR  // the sanitizers' allocator stops the process on such sizes
  void* p = nullptr;
  EXPECT_THROW(mvGetMem(p, SIZE_MAX), EOutOfMemory);
  mvGetMem(p, 10);
  void* kept = p;
  EXPECT_THROW(mvReallocMem(p, SIZE_MAX - 40), EOutOfMemory);
  EXPECT_EQ(p, kept);
  mvFreeMem(p);
#endif
  // A pool handle for such a size does not wrap round to a small pool.
  EXPECT_GE(uintptr_t(mvGetMemoryPool(SIZE_MAX - 3)), SIZE_MAX - 7);
}

// Two threads free one block at once, `rounds` times; returns in how many
// rounds not exactly one of them succeeded. A refused free either answers
// non-zero (large blocks) or raises (items).
int RoundsNotFreedOnce(TmvPooledMemoryManager& m, size_t size, int rounds) {
  std::atomic<void*> target{nullptr};
  std::atomic<int> round{0}, finished{0}, successes{0};
  auto racer = [&] {
    for (int r = 1; r <= rounds; ++r) {
      while (round.load() != r) std::this_thread::yield();
      try {
        if (m.FreeMem(target.load()) == 0) ++successes;
      } catch (const EInvalidPointer&) {
        // the free that lost: counted as no success
      }
      ++finished;
    }
  };
  std::thread a(racer), b(racer);
  int wrong = 0;
  for (int r = 1; r <= rounds; ++r) {
    successes = 0;
    finished = 0;
    target = m.GetMem(size);
    round = r;
    while (finished.load() != 2) std::this_thread::yield();
    if (successes.load() != 1) ++wrong;
  }
  a.join();
  b.join();
  return wrong;
}

// Racing frees of one large block free it once, and the statistics count it
// once. So do racing frees of an item, whether it then waits in a magazine
// marked (48 bytes) or with its bit cleared (8 bytes), or is not cached
// (5,000 bytes).
TEST(PooledManager, RacingFreesOfOneBlockFreeItOnce) {
  TmvPooledMemoryManager& m = Pooled();
  TmvMemoryStatistics before, after;
  m.GetStatistics(before);
  EXPECT_EQ(RoundsNotFreedOnce(m, 70000, 1000), 0);
  m.GetStatistics(after);
  // All blocks counted out once: what remains are nodes the address map gained.
  EXPECT_LT(after.Allocated - before.Allocated, 65536u);
  EXPECT_EQ((after.Allocated - before.Allocated) % 2048, 0u);
  for (size_t size : {size_t(40), size_t(6), size_t(5000)}) EXPECT_EQ(RoundsNotFreedOnce(m, size, 200), 0) << size;
}

// A 64 KB block of the block pool holds user data where an item block keeps
// its owner: a pointer into it is no item, whatever that data says.
TEST(PooledManager, WildPointerIntoABlockPoolBlockIsRejected) {
  TmvPooledMemoryManager& m = Pooled();
  TmvBlockClass* cls = m.Blocks().Class(4);
  auto* block = static_cast<char*>(m.Blocks().Allocate(cls));
  ASSERT_NE(block, nullptr);
  const uintptr_t pool = uintptr_t(m.Items().Pool(3));
  const uintptr_t owners[] = {0x4141414141414141u, uintptr_t(block), pool + 8, pool + 1};
  for (uintptr_t owner : owners) {
    std::memset(block, 0x41, 65536);
    std::memcpy(block + 8, &owner, sizeof owner);
    EXPECT_NE(m.FreeMem(block + 96), 0);
    EXPECT_THROW(m.ReallocMem(block + 96, 10), EInvalidPointer);
  }
  EXPECT_TRUE(m.Blocks().Release(cls, block));
}

// Reallocating what is not a live item start fails before anything is
// allocated: two owners of one item, or a leaked new block, are the
// alternatives.
TEST(PooledManager, ReallocatingAFreedOrInteriorPointerIsRefused) {
  TmvPooledMemoryManager& m = Pooled();
  char* p = static_cast<char*>(m.GetMem(100));
  char* live = static_cast<char*>(m.GetMem(100));
  EXPECT_EQ(m.FreeMem(p), 0);
  TmvMemoryStatistics before, after;
  m.GetStatistics(before);
  for (size_t n : {size_t(100), size_t(8), size_t(50000)}) {
    EXPECT_THROW(m.ReallocMem(p, n), EInvalidPointer) << n;
    EXPECT_THROW(m.ReallocMem(live + 8, n), EInvalidPointer) << n;
  }
  m.GetStatistics(after);
  EXPECT_EQ(after.Allocated, before.Allocated);
  EXPECT_EQ(m.FreeMem(live), 0);
}

TEST(PooledManager, StatisticsAndCollect) {
  TmvPooledMemoryManager& m = Pooled();
  TmvMemoryStatistics before, after;
  m.GetStatistics(before);
  void* p = m.GetMem(1000000);
  m.GetStatistics(after);
  EXPECT_GE(after.Committed - before.Committed, 1000000u);
  m.FreeMem(p);
  TmvMemoryStatistics freed;
  m.GetStatistics(freed);
  // (the block may also have added nodes to the address map, which stay)
  EXPECT_EQ(after.Allocated - freed.Allocated, 1000000u);

  std::vector<void*> items;
  for (int i = 0; i < 5000; ++i) items.push_back(m.GetMem(200));
  for (void* i : items) m.FreeMem(i);
  const auto start = std::chrono::steady_clock::now();
  m.Collect();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(m.MaintenanceRunning());
  m.GetStatistics(after);
  EXPECT_EQ(after.MaintenanceFailures, 0u);
  EXPECT_EQ(after.MaintenanceEnded, 0u);
}

TEST(Hooks, UsedOnlyWithAllSixteenEntryPoints) {
  struct Lookup {
    const char* missing;
    static void* Find(void* self, const char* name) {
      static int dummy;
      auto* l = static_cast<Lookup*>(self);
      return l->missing && std::strcmp(name, l->missing) == 0 ? nullptr : &dummy;
    }
  };
  TmvMemoryHooks hooks{};
  Lookup all{nullptr};
  EXPECT_TRUE(mvResolveMemoryHooks(Lookup::Find, &all, hooks));
  EXPECT_NE(hooks.BeforeMemoryPoolDispose, nullptr);
  for (const char* name : mvMemoryHookNames) {
    TmvMemoryHooks partial{};
    Lookup l{name};
    EXPECT_FALSE(mvResolveMemoryHooks(Lookup::Find, &l, partial)) << name;
    EXPECT_EQ(partial.BeforeGetMem, nullptr);
  }
}

// --- Interfaced objects and lifetime monitors

class ISample : public IInterface {};

struct Counters {
  int destroyed = 0;
  int ownerReleases = 0;
};

class TSample : public TmvInterfacedObject {
 public:
  TSample(Counters& c, bool keepAlive, bool touchInConstructor) : TmvInterfacedObject(keepAlive), counters(c) {
    if (touchInConstructor) {
      TInterfacePtr<IInterface> self(static_cast<IInterface*>(static_cast<TmvInterfacedObject*>(this)));
    }  // the reference is dropped here: the count must not reach 0
  }
  ~TSample() override { ++counters.destroyed; }
  void BeforeOwnerRelease() override { ++counters.ownerReleases; }
  Counters& counters;
};

IInterface* AsIntf(TmvInterfacedObject* o) { return static_cast<IInterface*>(o); }

TEST(InterfacedObject, ReferenceTakenInTheConstructorDoesNotDestroyIt) {
  Counters c;
  auto* o = TmvInterfacedObject::Create<TSample>(c, false, true);
  EXPECT_EQ(c.destroyed, 0);
  EXPECT_EQ(o->RefCount(), 0);
  {
    TInterfacePtr<IInterface> ref(AsIntf(o));
    EXPECT_EQ(o->RefCount(), 1);
  }
  EXPECT_EQ(c.destroyed, 1);
}

TEST(InterfacedObject, KeepAliveAndFree) {
  Counters c;
  auto* o = TmvInterfacedObject::Create<TSample>(c, true, false);
  TInterfacePtr<IInterface> ref(AsIntf(o));
  ref.reset();
  EXPECT_EQ(c.destroyed, 0);  // kept alive at count 0
  ref = TInterfacePtr<IInterface>(AsIntf(o));
  TmvInterfacedObject::Free(o);
  EXPECT_EQ(c.ownerReleases, 1);
  EXPECT_EQ(c.destroyed, 0);  // still held
  ref.reset();
  EXPECT_EQ(c.destroyed, 1);

  Counters c2;
  TmvInterfacedObject::Free(TmvInterfacedObject::Create<TSample>(c2, true, false));
  EXPECT_EQ(c2.destroyed, 1);  // nobody held it: destroyed at once
  TmvInterfacedObject::Free(nullptr);
}

TEST(InterfacedObject, QueryInterfaceAndFreeAndNilOfAReferencedObject) {
  Counters c;
  auto* o = TmvInterfacedObject::Create<TSample>(c, false, false);
  void* got = nullptr;
  EXPECT_EQ(o->QueryInterface(IID_ImvLifetimeMonitorRef, &got), E_NOINTERFACE);
  EXPECT_EQ(got, nullptr);
  ASSERT_EQ(o->QueryInterface(IID_IInterface, &got), S_OK);
  TInterfacePtr<IInterface> ref = TInterfacePtr<IInterface>::Adopt(static_cast<IInterface*>(got));
  TSample* field = o;
  EXPECT_THROW(mvFreeAndNil(field), EInvalidPointer);
  EXPECT_EQ(c.destroyed, 0);
  TmvObject* asBase = o;  // the check must not depend on the variable's type
  EXPECT_THROW(mvFreeAndNil(asBase), EInvalidPointer);
  EXPECT_EQ(asBase, nullptr);
  EXPECT_EQ(c.destroyed, 0);
  IInterface* raw = ref.Detach();
  mvReleaseAndNil(raw);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(c.destroyed, 1);
}

class TTracked : public TmvLifetimeTrackedObject {};

TEST(LifetimeMonitor, IsAliveUntilTheObjectGoes) {
  auto* obj = new TTracked;
  TInterfacePtr<ImvLifetimeMonitorRef> weak = obj->GetLifetimeMonitor();
  ASSERT_TRUE(weak);
  EXPECT_TRUE(weak->IsAlive());
  EXPECT_EQ(obj->GetLifetimeMonitor(), weak);
  mvFreeAndNil(obj);
  EXPECT_FALSE(weak->IsAlive());  // the holder still holds the monitor
}

TEST(LifetimeMonitor, TwoThreadsGetTheSameMonitor) {
  for (int round = 0; round < 100; ++round) {
    auto* obj = new TTracked;
    TInterfacePtr<ImvLifetimeMonitorRef> a, b;
    std::atomic<bool> go{false};
    std::thread t1([&] {
      while (!go) {}
      a = obj->GetLifetimeMonitor();
    });
    std::thread t2([&] {
      while (!go) {}
      b = obj->GetLifetimeMonitor();
    });
    go = true;
    t1.join();
    t2.join();
    ASSERT_EQ(a, b);
    delete obj;
    EXPECT_FALSE(a->IsAlive());
  }
}

}  // namespace
