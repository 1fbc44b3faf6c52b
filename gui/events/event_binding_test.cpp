#include "gui/events/event_binding.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "gui/events/event_queue.h"
#include "runtime/hash_map.h"
#include "runtime/string_utils.h"

namespace {

// What each callback saw, in call order: its name and the event it was run for.
struct Call {
  std::string name;
  int64_t kind;
  int64_t object;
  bool operator==(const Call&) const = default;
};
std::vector<Call> calls;

std::vector<std::string> Names() {
  std::vector<std::string> names;
  for (const Call& call : calls)
    names.push_back(call.name);
  return names;
}

// Distinct functions, each recording its letter.
template <char Name>
int64_t Record() {
  calls.push_back({std::string(1, Name), CurrentEventKind(), CurrentEventObject()});
  return 0;
}
constexpr EventCallback A = Record<'A'>;
constexpr EventCallback B = Record<'B'>;
constexpr EventCallback C = Record<'C'>;
constexpr EventCallback D = Record<'D'>;
constexpr EventCallback E = Record<'E'>;

constexpr int64_t kSubtypeFocus = 256;
constexpr int64_t kSubtypeChange = 768;

class EventBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEvents();
    InitEventBinding();
    ASSERT_NE(EventBindingMap, nullptr);
    Drain();
    calls.clear();
  }

  void TearDown() override {
    for (int64_t window : {-1, 0, 1})
      UnbindWindowHandlers(window);
    EXPECT_EQ(EventBindingMap->element_count, 0u) << "a test left bindings behind";
    Drain();
  }

  static void Drain() {
    while (NextQueuedEvent() != 0) {
    }
  }

  // A gadget event as a gadget posts it: callbacks run at once, inside the post.
  static void Gadget(int64_t gadget, int64_t window, int64_t subtype) {
    NotifyEvent(EvGadgetNotify, gadget, window, subtype);
    Drain();
  }
};

TEST(BindingKey, MatchesTheFormattedTextForEveryRange) {
  struct Case {
    int32_t kind;
    int64_t window, object;
  };
  const Case cases[] = {{3, 0, 4},
                        {2, 0, -1},
                        {1, -1, -1},
                        {0x10000, 12, 9876543210},
                        {INT32_MIN, INT64_MIN, INT64_MIN},
                        {INT32_MAX, INT64_MAX, 0}};
  for (const Case& c : cases) {
    char16_t fast[BindingKeyUnits];
    char16_t formatted[BindingKeyUnits];
    const int32_t units = FormatBindingKey(fast, c.kind, c.window, c.object);
    const int32_t expected =
        FormatString(formatted, u"%d:%lld:%lld", c.kind, static_cast<long long>(c.window),
                     static_cast<long long>(c.object));
    EXPECT_EQ(units, expected);
    EXPECT_EQ(std::u16string(fast), std::u16string(formatted));
  }
  char16_t key[BindingKeyUnits];
  EXPECT_EQ(FormatBindingKey(key, 3, 0, 4), 5);
  EXPECT_EQ(std::u16string(key), u"3:0:4");
  EXPECT_EQ(FormatBindingKey(key, INT32_MIN, INT64_MIN, INT64_MIN), 53);
}

TEST_F(EventBindingTest, DuplicatesAreRefusedButOtherSubtypesBindAgain) {
  EXPECT_EQ(BindObjectHandler(EvGadgetNotify, A, 0, 4, kSubtypeFocus), 1u);
  EXPECT_EQ(BindObjectHandler(EvGadgetNotify, A, 0, 4, kSubtypeFocus), 0u);
  EXPECT_EQ(BindObjectHandler(EvGadgetNotify, A, 0, 4, kSubtypeChange), 1u);
  EXPECT_EQ(BindObjectHandlerAnySubtype(EvGadgetNotify, B, 0, 4), 1u);
  EXPECT_EQ(BindObjectHandler(EvGadgetNotify, B, 0, 4, -1), 0u);
  EXPECT_EQ(BindObjectHandler(EvGadgetNotify, nullptr, 0, 4, 0), 0u);
  EXPECT_EQ(EventBindingMap->element_count, 1u);

  Gadget(4, 0, kSubtypeFocus);
  EXPECT_EQ(Names(), (std::vector<std::string>{"B", "A"}));
  calls.clear();
  Gadget(4, 0, kSubtypeChange);
  EXPECT_EQ(Names(), (std::vector<std::string>{"B", "A"}));
  calls.clear();
  Gadget(4, 0, 0);
  EXPECT_EQ(Names(), std::vector<std::string>{"B"});
}

TEST_F(EventBindingTest, SubtypesCompareForEqualityNotAsMasks) {
  BindObjectHandler(EvGadgetNotify, A, 0, 1, kSubtypeChange);
  Gadget(1, 0, kSubtypeFocus);  // 768 & 256 is not 0
  EXPECT_TRUE(calls.empty());
  Gadget(1, 0, kSubtypeChange);
  EXPECT_EQ(Names(), std::vector<std::string>{"A"});
}

TEST_F(EventBindingTest, OneGadgetEventRunsItsFourKeysInOrder) {
  BindGlobalHandler(EvGadgetNotify, D);
  BindObjectHandlerAnySubtype(EvGadgetNotify, E, -1, 4);
  BindEventHandler(EvGadgetNotify, C, 0);
  BindObjectHandlerAnySubtype(EvGadgetNotify, A, 0, 4);
  BindObjectHandler(EvGadgetNotify, B, 0, 4, kSubtypeFocus);
  // Neither another gadget, window or kind, nor a subtype-bound window binding runs.
  BindObjectHandlerAnySubtype(EvGadgetNotify, D, 0, 5);
  BindObjectHandlerAnySubtype(EvGadgetNotify, D, 1, 4);
  BindGlobalHandler(EvCloseRequest, D);
  BindObjectHandler(EvGadgetNotify, E, 0, -1, kSubtypeFocus);

  NotifyEvent(EvGadgetNotify, 4, 0, kSubtypeFocus);
  const Call gadget[] = {{"B", 3, 4}, {"A", 3, 4}, {"C", 3, 4}, {"D", 3, 4}, {"E", 3, 4}};
  EXPECT_EQ(calls, std::vector<Call>(std::begin(gadget), std::end(gadget)));
  // The posted event is still queued for the main loop; its callbacks do not run again.
  calls.clear();
  EXPECT_EQ(NextQueuedEvent(), EvGadgetNotify);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(CurrentEventObject(), 4);
}

TEST_F(EventBindingTest, UserEventsRunTheirCallbacksWhenTaken) {
  BindGlobalHandler(EvCustomBase + 1, A);
  PostUserEvent(EvCustomBase + 1, 0, 7);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(NextQueuedEvent(), EvCustomBase + 1);
  EXPECT_EQ(calls, (std::vector<Call>{{"A", EvCustomBase + 1, 7}}));
}

TEST_F(EventBindingTest, EventsWithoutAWindowLookUpTheirKeysTwice) {
  BindGlobalHandler(EvMenuItem, A);
  BindObjectHandlerAnySubtype(EvMenuItem, B, -1, QuitMenuItem);
  NotifyEvent(EvMenuItem, QuitMenuItem, -1, 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"B", "A", "A", "B"}));
}

// Unbinds itself while the event is dispatched.
int64_t UnbindSelf() {
  calls.push_back({"self", CurrentEventKind(), CurrentEventObject()});
  UnbindObjectHandlerAnySubtype(EvGadgetNotify, UnbindSelf, 0, 2);
  return 0;
}

TEST_F(EventBindingTest, ACallbackUnbindingItselfLeavesTheOthersRunning) {
  BindObjectHandlerAnySubtype(EvGadgetNotify, C, 0, 2);
  BindObjectHandlerAnySubtype(EvGadgetNotify, UnbindSelf, 0, 2);
  BindObjectHandlerAnySubtype(EvGadgetNotify, A, 0, 2);
  Gadget(2, 0, 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "self", "C"}));
  calls.clear();
  Gadget(2, 0, 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "C"}));

  // The last binding of a key going away during dispatch takes the key with it.
  UnbindObjectHandlerAnySubtype(EvGadgetNotify, A, 0, 2);
  UnbindObjectHandlerAnySubtype(EvGadgetNotify, C, 0, 2);
  BindObjectHandlerAnySubtype(EvGadgetNotify, UnbindSelf, 0, 2);
  calls.clear();
  Gadget(2, 0, 0);
  EXPECT_EQ(Names(), std::vector<std::string>{"self"});
  EXPECT_EQ(EventBindingMap->element_count, 0u);
}

TEST_F(EventBindingTest, UnbindRemovesOneBindingAndANullCallbackClearsTheKey) {
  BindObjectHandler(EvGadgetNotify, A, 0, 3, kSubtypeFocus);
  BindObjectHandler(EvGadgetNotify, A, 0, 3, kSubtypeChange);
  BindObjectHandlerAnySubtype(EvGadgetNotify, B, 0, 3);
  EXPECT_EQ(UnbindObjectHandler(EvGadgetNotify, A, 0, 3, 0), 0u);
  EXPECT_EQ(UnbindObjectHandler(EvGadgetNotify, C, 0, 3, -1), 0u);
  EXPECT_EQ(UnbindObjectHandler(EvGadgetNotify, A, 0, 9, -1), 0u);
  // -1 takes the newest binding of A, whatever its subtype.
  EXPECT_EQ(UnbindObjectHandler(EvGadgetNotify, A, 0, 3, -1), 1u);
  Gadget(3, 0, kSubtypeChange);
  Gadget(3, 0, kSubtypeFocus);
  EXPECT_EQ(Names(), (std::vector<std::string>{"B", "B", "A"}));

  EXPECT_EQ(UnbindObjectHandler(EvGadgetNotify, nullptr, 0, 3, -1), 0u);
  EXPECT_EQ(EventBindingMap->element_count, 0u);
  EXPECT_EQ(UnbindObjectHandler(EvGadgetNotify, nullptr, 0, 3, -1), 0u);
  calls.clear();
  Gadget(3, 0, kSubtypeFocus);
  EXPECT_TRUE(calls.empty());

  BindEventHandler(EvCloseRequest, A, 1);
  EXPECT_EQ(UnbindEventHandler(EvCloseRequest, A, 1), 1u);
  EXPECT_EQ(UnbindEventHandler(EvCloseRequest, A, 1), 0u);
  BindGlobalHandler(EvMoved, A);
  EXPECT_EQ(UnbindGlobalHandler(EvMoved, A), 1u);
  EXPECT_EQ(EventBindingMap->element_count, 0u);
}

TEST_F(EventBindingTest, ClosingAWindowDropsItsKeysAndKeepsKindWideOnes) {
  BindObjectHandlerAnySubtype(EvGadgetNotify, A, 0, 4);
  BindObjectHandler(EvGadgetNotify, A, 0, 1, kSubtypeChange);
  BindEventHandler(EvCloseRequest, B, 0);
  BindEventHandler(EvCloseRequest, C, 1);
  BindGlobalHandler(EvCloseRequest, D);
  BindGlobalHandler(EvGadgetNotify, D);
  UnbindWindowHandlers(0);
  EXPECT_EQ(EventBindingMap->element_count, 3u);

  Gadget(4, 0, 0);
  NotifyEvent(EvCloseRequest, 0, 0, 0);
  NotifyEvent(EvCloseRequest, 1, 1, 0);
  EXPECT_EQ(Names(), (std::vector<std::string>{"D", "D", "C", "D"}));
}

}  // namespace
