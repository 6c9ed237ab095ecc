// Tests of the pointer lists, sorted lists, their thread-safe wrappers and
// the fast string lists.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "foundation/mvllFastStringList.h"
#include "foundation/mvllLists.h"
#include "foundation/mvllUtils.h"

namespace {

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }

// A data object that counts its destructions.
struct Counted : TmvObject {
  explicit Counted(int& c) : count(c) {}
  ~Counted() override { ++count; }
  int& count;
};

TEST(List, GrowthSteps) {
  TmvList l;
  std::vector<int32_t> caps{l.Capacity()};
  for (int i = 0; i < 95; ++i) {
    l.Add(P(i + 1));
    if (caps.back() != l.Capacity()) caps.push_back(l.Capacity());
  }
  EXPECT_EQ(caps, (std::vector<int32_t>{0, 4, 8, 12, 28, 44, 60, 76, 95}));
}

TEST(List, ErrorsCarryTheirTextsAndValues) {
  TmvList l;
  EXPECT_EQ(l.First(), nullptr);
  EXPECT_EQ(l.Last(), nullptr);
  struct Case {
    std::function<void()> op;
    const char16_t* message;
  };
  const Case cases[] = {
      {[&] { l.blGet(-1); }, u"リストのインデックスが範囲を超えています (-1)"},
      {[&] { l.blGet(0); }, u"リストのインデックスが範囲を超えています (0)"},
      {[&] { l.SetCapacity(0x8000000); }, u"リストの容量が超えました (134217728)"},
      {[&] { l.SetCount(-1); }, u"リストの個数を超えました (-1)"},
      {[&] { l.Insert(1, P(1)); }, u"リストのインデックスが範囲を超えています (1)"},
  };
  for (const Case& c : cases) {
    try {
      c.op();
      ADD_FAILURE() << "no error";
    } catch (const EListError& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(List, DataOwnershipReleaseMoveAndPack) {
  int destroyed = 0;
  {
    TmvList l(0, true, true);
    auto* d1 = new Counted(destroyed);
    auto* d2 = new Counted(destroyed);
    auto* d3 = new Counted(destroyed);
    l.AddData(P(1), d1);
    l.AddData(P(2), d2);
    l.AddData(P(3), d3);
    EXPECT_EQ(l.Release(2), d3);  // the last entry's data comes back, not destroyed
    delete d3;
    EXPECT_EQ(destroyed, 1);
    l.AddData(P(3), new Counted(destroyed));
    l.Move(0, 2);  // item 1 with its data to the end
    EXPECT_EQ(l.blGet(2), P(1));
    EXPECT_EQ(l.GetData(2), d1);
    l.liPut(0, nullptr);
    int32_t gen = l.Generation();
    l.Pack();  // drops the nil item and destroys its data
    EXPECT_EQ(l.Count(), 2);
    EXPECT_EQ(destroyed, 2);
    EXPECT_GT(l.Generation(), gen);
    EXPECT_EQ(l.Remove(P(1)), 1);
    EXPECT_EQ(destroyed, 3);
  }
  EXPECT_EQ(destroyed, 4);  // the list's destruction frees the rest
}

TEST(List, GenerationRules) {
  TmvList l(0, true);
  int32_t g0 = l.Generation();
  l.Clear();  // empty: no change
  EXPECT_EQ(l.Generation(), g0);
  l.AddData(P(7), P(70));
  l.AddData(P(7), P(70));
  int32_t g1 = l.Generation();
  EXPECT_FALSE(l.Exchange(0, 1));  // same item and data
  EXPECT_FALSE(l.Exchange(1, 1));
  EXPECT_EQ(l.Generation(), g1);
  l.liPut(0, P(7));  // same item
  EXPECT_EQ(l.Generation(), g1);
  l.SetCount(1);
  TmvList one;
  one.Add(P(5));
  int32_t g2 = one.Generation();
  one.Sort([](void*, void*) { return 0; });  // one item swaps with itself
  EXPECT_EQ(one.Generation(), g2 + 1);
}

TEST(List, SortAndSetCount) {
  TmvList l(0, true);
  for (uintptr_t v : {5, 3, 9, 1, 7}) l.AddData(P(v), P(v * 10));
  l.Sort([](void* a, void* b) { return mvCmpPointer(a, b); });
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(l.blGet(i), P(2 * i + 1));
    EXPECT_EQ(l.GetData(i), P((2 * i + 1) * 10));  // data moved with its item
  }
  l.SetCount(7);
  EXPECT_EQ(l.blGet(6), nullptr);
  EXPECT_EQ(l.GetData(6), nullptr);
}

// Orders items by value/10, so that 11 and 12 compare equal.
struct TensList : TmvSortedList {
  int8_t Compare(void* a, void* b) const override {
    return static_cast<int8_t>(mvCmpPointer(P(reinterpret_cast<uintptr_t>(a) / 10), P(reinterpret_cast<uintptr_t>(b) / 10)));
  }
};

TEST(SortedList, EqualItemsAndSuspendedSorting) {
  TensList l;
  l.Add(P(30));
  l.Add(P(10));
  EXPECT_EQ(l.Add(P(20)), 1);
  EXPECT_EQ(l.Add(P(11)), 0);  // equal to 10: existing index, nothing added
  EXPECT_EQ(l.Count(), 3);
  l.SuspendSorting();
  l.SuspendSorting();
  EXPECT_EQ(l.Add(P(12)), 3);  // appended although equal to 10
  l.ResumeSorting();
  int32_t i;
  EXPECT_THROW(l.Find(P(10), i), EmvSortedListException);
  l.ResumeSorting();
  EXPECT_EQ(l.Count(), 4);
  std::vector<uintptr_t> tens;
  for (int32_t k = 0; k < l.Count(); ++k) tens.push_back(reinterpret_cast<uintptr_t>(l.blGet(k)) / 10);
  EXPECT_EQ(tens, (std::vector<uintptr_t>{1, 1, 2, 3}));
  EXPECT_FALSE(l.Find(P(45), i));
  EXPECT_EQ(i, 4);
  EXPECT_EQ(l.IndexOf(P(31)), 3);
}

TEST(ListWrappers, PadlockAndPortalSerialiseWriters) {
  for (int kind = 0; kind < 2; ++kind) {
    TmvListSyncAccess* w = kind == 0 ? static_cast<TmvListSyncAccess*>(new TmvListPadlock(new TmvList()))
                                     : new TmvListPortal(new TmvList());
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
      ts.emplace_back([w, t] {
        for (uintptr_t i = 1; i <= 500; ++i) w->Add(P(t * 1000 + i));
      });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(w->Count(), 2000);
    EXPECT_TRUE(w->Remove(P(1)));
    EXPECT_FALSE(w->Remove(P(1)));
    delete w;
  }
}

TEST(FastStringList, CaseRules) {
  TmvFastStringList ic(dupIgnore);
  ic.Add(u"abc");
  EXPECT_EQ(ic.IndexOf(u"ABC"), 0);
  ic.Add(u"\u00E4");                  // a-umlaut
  EXPECT_EQ(ic.IndexOf(u"\u00C4"), -1);  // A-umlaut is another string
  TmvFastStringListCS cs(dupAccept);
  cs.Add(u"a");
  cs.Add(u"B");
  EXPECT_EQ(cs.Strings(0), u"B");  // code-unit order
  TmvFastStringListIC fic(dupError);
  fic.Add(u"Key");
  EXPECT_THROW(fic.Add(u"KEY"), EStringListError);
}

TEST(FastStringList, ClearFreesObjectsOnce) {
  int destroyed = 0;
  TmvFastStringList l(dupIgnore);
  auto* a = new Counted(destroyed);
  l.AddObject(u"a", a);
  l.Clear(false);
  EXPECT_EQ(destroyed, 0);
  l.AddObject(u"a", a);
  l.AddObject(u"b", new Counted(destroyed));
  l.Clear(true);
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(l.Count(), 0);
}

}  // namespace
