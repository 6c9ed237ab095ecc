// Tests of session notifications: registration handles that are never
// trusted, and the disconnect notice.
#include "foundation/sync/mvllSessionNotify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class TRecorder : public ImvSessionNotifier {
 public:
  TRecorder(std::vector<std::string>& log, std::string tag, bool fail = false) : log_(log), tag_(tag), fail_(fail) {}
  int32_t QueryInterface(const TGUID&, void** obj) override {
    *obj = nullptr;
    return E_NOINTERFACE;
  }
  int32_t _AddRef() override { return ++refs; }
  int32_t _Release() override { return --refs; }
  void SessionDisconnected() override {
    log_.push_back(tag_);
    if (fail_) throw Exception(String(u"notifier failed"));
  }
  int refs = 0;

 private:
  std::vector<std::string>& log_;
  std::string tag_;
  bool fail_;
};

}  // namespace

TEST(SessionNotify, HandlesAreCheckedNotTrusted) {
  std::vector<std::string> log;
  TRecorder a(log, "a"), b(log, "b");
  TmvSessionNotifications list, other;
  TmvSessionNotifierHandle ha, hb, none;
  list.AddNotifier(&a, ha);
  list.AddNotifier(&b, hb);
  list.AddNotifier(nullptr, none);
  EXPECT_TRUE(none.IsNull());
  EXPECT_EQ(a.refs, 1);

  TmvSessionNotifierHandle badCheck = ha;
  badCheck.Words[3] ^= 1;
  TmvSessionNotifierHandle forged = ha;  // a consistent check word, unknown id
  forged.Words[1] = 0xDEADBEEF;
  forged.Words[3] = forged.Words[0] ^ forged.Words[1] ^ forged.Words[2];
  for (const TmvSessionNotifierHandle& h : {badCheck, forged, none}) list.RemoveNotifier(h);
  other.RemoveNotifier(ha);  // a handle of another list
  EXPECT_EQ(list.Count(), 2);

  list.RemoveNotifier(ha);
  EXPECT_EQ(a.refs, 0);
  list.RemoveNotifier(ha);  // already removed: nothing
  EXPECT_EQ(list.Count(), 1);
  list.Disconnected();
  EXPECT_EQ(log, std::vector<std::string>{"b"});
  EXPECT_EQ(b.refs, 0);
}

TEST(SessionNotify, DisconnectTellsEveryoneInOrder) {
  std::vector<std::string> log;
  TRecorder a(log, "a"), b(log, "b", true), c(log, "c");
  {
    TmvSessionNotifications list;
    TmvSessionNotifierHandle h;
    for (TRecorder* r : {&a, &b, &c}) list.AddNotifier(r, h);
  }  // destruction disconnects
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(a.refs + b.refs + c.refs, 0);
  TmvSessionNotifications::Disconnected(nullptr);
}
