// Tests of engine components: dependents and their notification, graph
// walks, naming, settings and the settings stream, class registration, and
// the logging components built on them.
#include "foundation/mvllComponents.h"

#include <gtest/gtest.h>

#include <set>

#include <map>

#include "foundation/errors/mvllExceptions.h"
#include "foundation/errors/mvllLog.h"
#include "foundation/memory/mvllMemoryManager.h"
#include "foundation/mvllConfigSettings.h"
#include "foundation/mvllStateComponent.h"
#include "foundation/mvllStreams.h"
#include "support/mvTestLog.h"

namespace {

constexpr TmvNotifyOp kTestOp = 20;

// Records what it hears; can run a hook on a notification.
class TProbe : public TmvComponent {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  explicit TProbe(TComponent* owner = nullptr, const String& name = {}) : TmvComponent(owner) { SetName(name); }
  void HandleNotification(TmvComponent* sender, TmvNotifyOp op, void* param) override {
    heard[op]++;
    if (op == kTestOp && onTest) onTest();
    TmvComponent::HandleNotification(sender, op, param);
  }
  std::map<int, int> heard;
  std::function<void()> onTest;
};
constinit const TmvComponentClassRef TProbe::StaticClass{
    {{u"TProbe", &TmvComponent::StaticClass}, &ComponentFactory<TProbe>}, &EmvComponentExceptionClass};

class TOther : public TProbe {
  MV_DECLARE_CLASSREF(TmvComponentClassRef)
 public:
  using TProbe::TProbe;
};
constinit const TmvComponentClassRef TOther::StaticClass{
    {{u"TOther", &TProbe::StaticClass}, &ComponentFactory<TOther>}, &EmvComponentExceptionClass};


std::vector<String> Names(TmvIterationList* list) {
  std::vector<String> names;
  for (int32_t i = 0; i < list->Count(); ++i) names.push_back(list->Components(i)->GetName());
  return names;
}

}  // namespace

TEST(Components, DestroyingNotifiesEachDependentOnce) {
  auto* s = new TProbe(nullptr, u"S");
  TInterfacePtr<ImvLifetimeMonitorRef> monitor = s->GetLifetimeMonitor();
  EXPECT_TRUE(monitor->IsAlive());
  std::vector<TProbe*> deps;
  for (int i = 0; i < 5; ++i) {
    deps.push_back(new TProbe());
    s->LinkDependent(deps.back());
  }
  delete s;  // the step before destruction and the destructor both send it
  EXPECT_FALSE(monitor->IsAlive());
  for (TProbe* d : deps) {
    EXPECT_EQ(d->heard[mvnoDestroying], 1);
    EXPECT_EQ(d->DependentCount(), 0);  // it unlinked itself
    delete d;
  }
}

TEST(Components, ChangesDuringAWalkNeitherRepeatNorSkip) {
  TProbe s;
  std::vector<std::unique_ptr<TProbe>> deps;
  for (int i = 0; i < 6; ++i) {
    deps.push_back(std::make_unique<TProbe>());
    s.LinkDependent(deps.back().get());
  }
  // The first dependent told unlinks and relinks two others, and brings a
  // newcomer in: the walk restarts each time.
  TProbe newcomer;
  bool done = false;
  for (auto& d : deps)
    d->onTest = [&, self = d.get()] {
      if (done) return;
      done = true;
      for (auto& o : deps)
        if (o.get() != self) {
          s.UnlinkDependent(o.get());
          s.LinkDependent(o.get());
        }
      s.LinkDependent(&newcomer);
    };
  s.NotifyDependents(kTestOp, nullptr);
  for (auto& d : deps) EXPECT_EQ(d->heard[kTestOp], 1);
  EXPECT_EQ(newcomer.heard[kTestOp], 1);
  s.UnlinkDependent(&newcomer);
}

TEST(Components, IterateAndBroadcastWithIgnoredClass) {
  // a - b - c, a - o(ignored) - d, d - e: e is reachable only through o.
  TProbe a(nullptr, u"a"), b(nullptr, u"b"), c(nullptr, u"c"), d(nullptr, u"d"), e(nullptr, u"e");
  TOther o(nullptr, u"o");
  a.LinkDependent(&b);
  b.LinkDependent(&c);
  a.LinkDependent(&o);
  o.LinkDependent(&d);
  d.LinkDependent(&e);
  c.LinkDependent(&a);  // a cycle: each is still visited once

  std::unique_ptr<TmvIterationList> all(a.IterateDependents());
  EXPECT_EQ(Names(all.get()), (std::vector<String>{u"a", u"b", u"c", u"d", u"e", u"o"}));
  std::unique_ptr<TmvIterationList> some(a.IterateDependentsEx({u"TOTHER"}));
  EXPECT_EQ(Names(some.get()), (std::vector<String>{u"a", u"b", u"c"}));

  a.Broadcast(kTestOp, nullptr, {u"tother"});
  for (TProbe* p : {&a, &b, &c}) EXPECT_EQ(p->heard[kTestOp], 1);
  for (TProbe* p : std::initializer_list<TProbe*>{&o, &d, &e}) EXPECT_EQ(p->heard[kTestOp], 0);
}

TEST(Components, IterationListOrdersDisplayNamesByLocaleIgnoringCase) {
  // Code units would put the accented name last; the locale puts it by its letter.
  TProbe f(nullptr, u"f"), accented(nullptr, u"x"), upper(nullptr, u"E"), lower(nullptr, u"y");
  accented.SetDisplayName(u"\u00E9");
  lower.SetDisplayName(u"e");
  TmvIterationList list;
  for (TProbe* p : {&f, &accented, &upper, &lower}) list.Add(p);
  std::vector<String> shown;
  for (int32_t i = 0; i < list.Count(); ++i) shown.push_back(list.Components(i)->GetDisplayName());
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[2], u"\u00E9");
  EXPECT_EQ(shown[3], u"f");
  // "E" and "e" are equal ignoring case: they are ordered by address.
  EXPECT_EQ((std::set<String>{shown[0], shown[1]}), (std::set<String>{u"E", u"e"}));
}

TEST(Components, NamingAndIdentity) {
  TProbe engine(nullptr, u"Engine1");
  EXPECT_EQ(engine.GetDisplayName(), u"Engine1");
  engine.SetDisplayName(u"ENGINE1");
  EXPECT_TRUE(engine.GetStoredDisplayName().empty());
  engine.SetDisplayName(u"Main engine");
  EXPECT_EQ(engine.GetDisplayName(), u"Main engine");
  TProbe unnamed;
  EXPECT_EQ(unnamed.GetDisplayName(), u"TProbe");
  EXPECT_EQ(engine.GetVersion().substr(0, 7), u"4.7501 ");

  EXPECT_EQ(TmvComponent::LookupByComponentID(engine.GetComponentID()), &engine);
  void* gone;
  {
    TProbe temp;
    gone = temp.GetComponentID();
  }
  int local = 0;
  for (void* id : {gone, static_cast<void*>(&local), static_cast<void*>(nullptr)}) {
    try {
      TmvComponent::LookupByComponentID(id);
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), u"Invalid ComponentID");
    }
  }
}

TEST(Components, SettingLabelsAndAssign) {
  TmvSetting a;
  a.fName = u"Active";
  EXPECT_EQ(a.GetLabel(), u"Active");
  a.fName = u"MaxRAM";
  EXPECT_EQ(a.GetLabel(), u"Max R A M");
  a.fMin = Variant(int32_t(1));
  a.fSettingType = mvstInteger;
  TmvSetting b;
  b.Assign(a);
  EXPECT_EQ(b.fLabel, u"Max R A M");
  EXPECT_EQ(b.fSettingType, mvstInteger);
  EXPECT_TRUE(b.fMin.IsEmpty());
}

namespace {
// Two state components and a plain one, as a group whose settings travel.
struct Group {
  TmvStateComponent s1{nullptr}, s2{nullptr};
  TProbe plain{nullptr, u"Plain"};
  TmvIterationList list;
  Group() {
    s1.SetName(u"First");
    s2.SetName(u"Second");
    list.Add(&s1);
    list.Add(&s2);
    list.Add(&plain);
  }
};
}  // namespace

TEST(Components, SettingsStreamRoundTrip) {
  TmvMemoryStream stream;
  {
    Group g;
    g.s1.SetEventLogEnabled(true);
    g.s2.Open();
    TmvWriter w(stream);
    g.list.SaveSettingsToStream(&w);
  }
  Group h;
  TmvIterationList only;  // loads only the named component it holds
  only.Add(&h.s2);
  stream.SetPosition(0);
  {
    TmvReader r(stream);
    only.LoadSetttingsFromStream(&r);
  }
  EXPECT_FALSE(h.s1.GetEventLogEnabled());
  EXPECT_EQ(h.s2.GetSavedActive(), 1);
  stream.SetPosition(0);
  {
    TmvReader r(stream);
    h.list.LoadSetttingsFromStream(&r);
  }
  EXPECT_TRUE(h.s1.GetEventLogEnabled());
  EXPECT_EQ(h.s1.GetSavedActive(), 0);
  h.s2.SwitchToSavedActive();
  EXPECT_TRUE(h.s2.GetActive());
}

TEST(Components, SettingsStreamVersionsAndDamage) {
  auto load = [](const std::function<void(TmvWriter&)>& write) {
    TmvMemoryStream stream;
    {
      TmvWriter w(stream);
      write(w);
    }
    stream.SetPosition(0);
    Group g;
    TmvReader r(stream);
    g.list.LoadSetttingsFromStream(&r);
  };
  try {
    load([](TmvWriter& w) { w.WriteInteger(3); });
    ADD_FAILURE();
  } catch (const EmvComponentException& e) {
    EXPECT_EQ(e.ErrorCode(), 15498u);
    EXPECT_NE(e.Message().find(u"Incompatible stream"), String::npos);
  }
  // Version 1: names, then each component's settings in turn.
  EXPECT_NO_THROW(load([](TmvWriter& w) {
    w.WriteInteger(1);
    w.WriteString(u"First");
    w.WriteInteger(1), w.WriteString(u"First"), w.WriteInteger(1), w.WriteBoolean(true), w.WriteBoolean(false);
  }));
  EXPECT_THROW(load([](TmvWriter& w) {
                 w.WriteInteger(1);
                 w.WriteString(u"Nobody");
               }),
               EmvComponentException);
  // A damaged byte count is refused before anything is allocated, also
  // one that is plausible but larger than what is left.
  for (int64_t count : {int64_t(1) << 40, int64_t(0x7FFFFFF0), int64_t(20)})
    EXPECT_THROW(load([count](TmvWriter& w) {
                   w.WriteInteger(2);
                   w.WriteListBegin();
                   w.WriteString(u"First");
                   w.WriteInteger(count);
                   w.WriteInteger(1);
                 }),
                 EReadError)
        << count;
}

// Cut short or changed at any byte, a group's settings stream either loads
// or raises a reading error: no crash, no attempt at a huge allocation.
TEST(Components, SettingsStreamDamagedAtEveryByte) {
  TmvMemoryStream saved;
  {
    Group g;
    g.s2.Open();
    TmvWriter w(saved);
    g.list.SaveSettingsToStream(&w);
  }
  const auto* bytes = static_cast<const uint8_t*>(saved.Memory());
  const std::vector<uint8_t> good(bytes, bytes + saved.GetSize());
  auto load = [](const std::vector<uint8_t>& data) {
    TmvMemoryStream stream;
    if (!data.empty()) stream.Write(data.data(), int32_t(data.size()));
    stream.SetPosition(0);
    Group g;
    try {
      TmvReader r(stream);
      g.list.LoadSetttingsFromStream(&r);
    } catch (const EOutOfMemory&) {
      return false;
    } catch (const Exception&) {
    }
    return true;
  };
  for (size_t n = 0; n < good.size(); ++n) {
    EXPECT_TRUE(load(std::vector<uint8_t>(good.begin(), good.begin() + n))) << "cut at " << n;
    std::vector<uint8_t> changed = good;
    changed[n] ^= 0xFF;
    EXPECT_TRUE(load(changed)) << "changed at " << n;
  }
}

TEST(Components, RegisteringAClassTwice) {
  TmvRegisterableComponent::RegisterClass(TmvStateComponent::StaticClass);
  try {
    TmvRegisterableComponent::RegisterClass(TmvStateComponent::StaticClass);
    ADD_FAILURE();
  } catch (const EmvStateComponentException& e) {
    EXPECT_NE(e.Message().find(u"The class \"TmvStateComponent\" is already registered"), String::npos);
  }
  EXPECT_EQ(TmvRegisterableComponent::FindRegisteredClass(u"tmvstatecomponent"), &TmvStateComponent::StaticClass);
  TStringList list;
  TmvRegisterableComponent::GetRegisteredClasses(TmvLoggableComponent::StaticClass, &list);
  EXPECT_EQ(list.Count(), 1);
  TmvRegisterableComponent::UnregisterClass(TmvStateComponent::StaticClass);
  EXPECT_EQ(TmvRegisterableComponent::FindRegisteredClass(u"TmvStateComponent"), nullptr);
}

TEST(Components, ComponentInfoForgetsItsComponent) {
  TInterfacePtr<IInterface> info;
  {
    TmvStateComponent c(nullptr);
    c.SetName(u"Db");
    void* obj = nullptr;
    ASSERT_EQ(c.mvcCreateInstance(nullptr, CLSID_mvComponentInfo, nullptr, IID_ImvComponentInfo31000, &obj), S_OK);
    info = TInterfacePtr<IInterface>::Adopt(static_cast<ImvComponentInfo31000*>(obj));
    EXPECT_EQ(static_cast<ImvComponentInfo31000*>(info.get())->GetName(), u"Db");
    // An engine interfaced object: one count whichever interface is held.
    auto* counted = dynamic_cast<TmvInterfacedObject*>(info.get());
    ASSERT_NE(counted, nullptr);
    const int32_t held = counted->RefCount();  // ours and the component's
    for (const TGUID* iid : {&IID_IInterface, &IID_ImvComponentInfoDisconnect, &IID_ImvStateComponentInfo31000}) {
      void* other = nullptr;
      ASSERT_EQ(info->QueryInterface(*iid, &other), S_OK);
      EXPECT_EQ(counted->RefCount(), held + 1);
      static_cast<IInterface*>(other)->_Release();
    }
    EXPECT_EQ(counted->RefCount(), held);
    EXPECT_EQ(c.mvcCreateInstance(nullptr, IID_ImvComponentInfo31000, nullptr, IID_ImvComponentInfo31000, &obj),
              E_NOTIMPL);
  }
  EXPECT_EQ(static_cast<ImvComponentInfo31000*>(info.get())->GetName(), u"");
  EXPECT_EQ(dynamic_cast<TmvInterfacedObject*>(info.get())->RefCount(), 1);  // the component let go
}

TEST(Logging, ForwardsOnlyWhenEnabledAndAttached) {
  TmvLoggableComponent c(nullptr);
  c.lcLog(u"nothing", 1, lpInfo, u"default", 0, 0);  // no log: nothing, no failure
  auto* log = new TmvTestLog(nullptr);
  c.SetEventLog(log);
  c.lcLog(u"off", 1, lpInfo, u"default", 0, 0);
  EXPECT_TRUE(log->Messages().empty());
  c.SetEventLogEnabled(true);
  c.lcLog(u"%d", {7}, 2, lpInfo, u"default", 0, 0);
  EXPECT_EQ(log->Messages(), std::vector<String>{u"7"});
  c.SetEventLog(log);  // the same again: no change
  EXPECT_EQ(c.DependentCount(), 1);
  auto* other = new TmvTestLog(nullptr);
  c.SetEventLog(other);  // the first is unlinked
  EXPECT_EQ(log->DependentCount(), 0);
  delete log;
  delete other;  // the component hears it and forgets its log
  EXPECT_EQ(c.GetEventLog(), nullptr);
  c.lcLog(u"after", 1, lpInfo, u"default", 0, 0);
}

// What no component can log goes to the process log: the memory manager's
// reports among others. A destroyed log leaves the slot.
TEST(Logging, TheProcessLogReceivesTheMemoryManagersReports) {
  mvMemoryReport(u"before any log", false);  // nowhere to go: nothing happens
  auto* log = new TmvTestLog(nullptr);
  mvSetProcessLog(log);
  mvMemoryReport(u"pass failed", false);
  mvMemoryReport(u"thread ended", true);
  ASSERT_EQ(log->entries.size(), 2u);
  EXPECT_EQ(log->entries[0].Message, u"pass failed");
  EXPECT_EQ(log->entries[0].Priority, lpError);
  EXPECT_EQ(log->entries[1].Priority, lpFatal);
  delete log;
  EXPECT_EQ(mvGetProcessLog(), nullptr);
  mvMemoryReport(u"after the log", false);
}
