// Tests of the platform's persistent objects, components and class registry.
#include "platform/Components.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string>* gLog = nullptr;

class TProbe : public TComponent {
  MV_DECLARE_CLASSREF(TComponentClassRef)
 public:
  explicit TProbe(TComponent* owner, std::string tag = "") : TComponent(owner), tag_(std::move(tag)) {}
  ~TProbe() override {
    if (gLog) gLog->push_back("dtor " + tag_);
  }
  void BeforeDestruction() override {
    TComponent::BeforeDestruction();
    if (gLog) gLog->push_back("before " + tag_ + " " + UTF8Encode(ClassName()));
  }
  std::vector<std::pair<TComponent*, TOperation>> heard;

 protected:
  void Notification(TComponent* c, TOperation op) override {
    TComponent::Notification(c, op);
    heard.emplace_back(c, op);
  }

 private:
  std::string tag_;
};
constinit const TComponentClassRef TProbe::StaticClass{{u"TProbe", &TComponent::StaticClass}, &ComponentFactory<TProbe>};

class TPoint2 : public TPersistent {
 public:
  int x = 0;
};

}  // namespace

TEST(Components, OwnerDestroysOwnedComponentsWhole) {
  std::vector<std::string> log;
  gLog = &log;
  auto* owner = new TProbe(nullptr, "owner");
  auto* child = new TProbe(owner, "child");
  child->SetName(u"Child1");
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->FindComponent(u"CHILD1"), child);
  EXPECT_EQ(child->GetOwner(), owner);
  delete owner;
  gLog = nullptr;
  // The owner's virtual step runs on the whole object, before any destructor.
  std::vector<std::string> want{"before owner TProbe", "dtor owner", "before child TProbe", "dtor child"};
  EXPECT_EQ(log, want);
}

TEST(Components, FreeNotificationReachesTheOtherSideOnce) {
  auto* a = new TProbe(nullptr);
  auto* b = new TProbe(nullptr);
  a->FreeNotification(b);
  delete a;
  ASSERT_EQ(b->heard.size(), 1u);
  EXPECT_EQ(b->heard[0].second, opRemove);
  // b no longer refers to a: destroying b tells nobody and touches nothing.
  EXPECT_FALSE(b->HasState(csFreeNotification));
  delete b;

  auto* c = new TProbe(nullptr);
  auto* d = new TProbe(nullptr);
  c->FreeNotification(d);
  c->RemoveFreeNotification(d);
  delete c;
  EXPECT_TRUE(d->heard.empty());
  delete d;
}

TEST(Components, OwnerHearsInsertAndRemove) {
  auto* owner = new TProbe(nullptr);
  auto* child = new TProbe(owner);
  delete child;
  ASSERT_EQ(owner->heard.size(), 2u);
  EXPECT_EQ(owner->heard[0].second, opInsert);
  EXPECT_EQ(owner->heard[1].second, opRemove);
  EXPECT_EQ(owner->ComponentCount(), 0);
  delete owner;
}

TEST(Components, StateFlags) {
  TComponent c(nullptr);
  c.BeginLoading();
  EXPECT_TRUE(c.HasState(csLoading));
  c.Loaded();
  EXPECT_FALSE(c.HasState(csLoading));
  c.SetDesigning(true);
  c.Updating();
  EXPECT_TRUE(c.HasState(csDesigning) && c.HasState(csUpdating));
  c.Updated();
  EXPECT_FALSE(c.HasState(csUpdating));
}

TEST(Components, AssignWithoutSupportRaises) {
  TPoint2 a, b;
  try {
    a.Assign(&b);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"TPersistent を TPersistent に代入できません");
  }
}

TEST(Components, ClassRefsAndRegistry) {
  EXPECT_TRUE(TProbe::StaticClass.InheritsFrom(&TPersistent::StaticClass));
  EXPECT_FALSE(TComponent::StaticClass.InheritsFrom(&TProbe::StaticClass));
  EXPECT_EQ(GetClass(u"tprobe"), nullptr);
  RegisterClass(TProbe::StaticClass);
  RegisterClass(TProbe::StaticClass);  // again: no change
  EXPECT_EQ(GetClass(u"tprobe"), &TProbe::StaticClass);
  static constinit const TComponentClassRef other{{u"TPROBE", &TComponent::StaticClass}, nullptr};
  EXPECT_THROW(RegisterClass(other), EFilerError);
  auto* made = static_cast<const TComponentClassRef&>(FindClass(u"TProbe")).Create(nullptr);
  EXPECT_EQ(made->ClassName(), u"TProbe");
  delete made;
  UnRegisterClass(TProbe::StaticClass);
  EXPECT_THROW(FindClass(u"TProbe"), EClassNotFound);
}
