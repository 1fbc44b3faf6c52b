#include "gui/gadgets/gadgets.h"

#include <gtest/gtest.h>

#include <QDragEnterEvent>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <vector>

#include "gui/gadgets/button_gadget.h"
#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_test_support.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/splitter_gadget.h"
#include "gui/gadgets/string_gadget.h"
#include "gui/gadgets/text_gadget.h"
#include "gui/windows/gadget_list.h"
#include "runtime/object_table.h"

namespace {

int Calls = 0;
int64_t CountCall() {
  ++Calls;
  return 0;
}

int64_t FreeCurrentGadget() {
  FreeGadget(CurrentEventObject());
  return 0;
}

int64_t QueuedEventsOf(int64_t gadget) {
  int64_t count = 0;
  for (const EventNode* node = EventQueue.head; node != nullptr; node = node->next) {
    if (node->kind == EvGadgetNotify && node->object == gadget) ++count;
  }
  return count;
}

int64_t LiveGadgets() {
  int64_t count = 0;
  int64_t gadget = 0;
  ResetObjectEnumeration(GadgetTable);
  while (NextObject(GadgetTable, &gadget) != nullptr)
    ++count;
  return count;
}

class GadgetModelTest : public GadgetTest {
 protected:
  void SetUp() override {
    GadgetTest::SetUp();
    Calls = 0;
  }
};

TEST_F(GadgetModelTest, AnAccessibleNameIsSaidInsteadOfWhatTheGadgetShows) {
  CreateButtonGadget(1, 0, 0, 40, 25, u"...");

  GadgetAccessibleName(1, u"Choose source folder");

  EXPECT_EQ(AccessibleName(1), "Choose source folder");
  EXPECT_EQ(GadgetText(1), u"...");
}

TEST_F(GadgetModelTest, AnUnknownNumberDoesNothingAndReadsAsNothing) {
  SetGadgetText(42, u"text");
  DisableGadget(42, 1);
  ResizeGadget(42, 1, 2, 3, 4);

  EXPECT_EQ(GadgetText(42), u"");
  EXPECT_EQ(AddGadgetItem(42, -1, u"item"), 0);
  EXPECT_EQ(GadgetWidth(42), 0);
  EXPECT_EQ(GetGadgetFont(42), std::nullopt);
  EXPECT_EQ(LiveGadgets(), 0);
}

TEST_F(GadgetModelTest, ANumberGivesTheViewAndAnyObjectAHandleThatEventsCarry) {
  const int64_t view = CreateButtonGadget(3, 10, 10, 80, 25, u"Numbered");
  const int64_t handle = CreateButtonGadget(AnyObject, 10, 50, 80, 25, u"Handle");

  ASSERT_NE(GadgetExists(3), nullptr);
  EXPECT_EQ(view, reinterpret_cast<int64_t>(GadgetExists(3)->view));
  ASSERT_NE(GadgetExists(handle), nullptr);
  EXPECT_EQ(GadgetExists(handle)->window, 0);
  EXPECT_EQ(GadgetText(handle), u"Handle");

  RecordGadget(handle);
  QTest::mouseClick(ViewOf<QPushButton>(handle), Qt::LeftButton);
  EXPECT_EQ(RecordedEvents(), (std::vector<GadgetEvent>{{handle, 0, SubtypeAction}}));
}

TEST_F(GadgetModelTest, ANumberOutsideTheTableCreatesNothing) {
  EXPECT_EQ(CreateButtonGadget(MaxObjectNumber + 1, 0, 0, 10, 10, u"x"), 0);
  EXPECT_EQ(CreateStringGadget(-5, 0, 0, 10, 10, u"x"), 0);
  EXPECT_EQ(LiveGadgets(), 0);
}

TEST_F(GadgetModelTest, RecreatingANumberDropsTheOldBindingsAndQueuedEvents) {
  CreateButtonGadget(5, 10, 10, 80, 25, u"Old");
  QPointer<QPushButton> old_view = ViewOf<QPushButton>(5);
  BindGadgetHandler(5, &CountCall);
  QTest::mouseClick(old_view.data(), Qt::LeftButton);
  ASSERT_EQ(Calls, 1);
  ASSERT_EQ(QueuedEventsOf(5), 1);

  CreateButtonGadget(5, 10, 10, 80, 25, u"New");

  EXPECT_EQ(QueuedEventsOf(5), 0);
  EXPECT_TRUE(old_view->isHidden());
  QTest::mouseClick(ViewOf<QPushButton>(5), Qt::LeftButton);
  EXPECT_EQ(Calls, 1);
  EXPECT_EQ(GadgetText(5), u"New");
  RenewAutoreleasePool();
  EXPECT_TRUE(old_view.isNull());
}

TEST_F(GadgetModelTest, AViewThatQtDestroysReleasesItsGadget) {
  CreateButtonGadget(6, 10, 10, 80, 25, u"Button");
  BindGadgetHandler(6, &CountCall);

  // Qt deletes the window, and the views with it, without CloseWindow.
  delete Window();

  EXPECT_EQ(GadgetExists(6), nullptr);
  OpenWindow(0, 100, 100, 300, 200, u"Again");
  CreateButtonGadget(6, 10, 10, 80, 25, u"Button");
  QTest::mouseClick(ViewOf<QPushButton>(6), Qt::LeftButton);
  EXPECT_EQ(Calls, 0);
}

TEST_F(GadgetModelTest, AViewThatDiesAfterItsGadgetWasFreedReleasesNothingMore) {
  CreateButtonGadget(7, 10, 10, 80, 25, u"First");
  FreeGadget(7);
  CreateButtonGadget(7, 10, 10, 80, 25, u"Second");
  RenewAutoreleasePool();
  ASSERT_NE(GadgetExists(7), nullptr);

  // CloseWindow releases the gadget now; its view dies with the window later.
  CloseWindow(0);
  OpenWindow(1, 100, 100, 300, 200, u"Other");
  CreateButtonGadget(7, 10, 10, 80, 25, u"Third");
  RenewAutoreleasePool();

  EXPECT_EQ(GadgetText(7), u"Third");
  EXPECT_EQ(GadgetExists(7)->window, 1);
}

TEST_F(GadgetModelTest, FreeGadgetAllRemovesTheGadgetsOfEveryWindow) {
  CreateButtonGadget(1, 10, 10, 80, 25, u"A");
  const int64_t handle = CreateTextGadget(AnyObject, 10, 50, 80, 25, u"B");
  OpenWindow(1, 200, 200, 300, 200, u"Second");
  CreateStringGadget(2, 10, 10, 80, 25, u"C");

  FreeGadget(AnyObject);

  EXPECT_EQ(LiveGadgets(), 0);
  EXPECT_EQ(GadgetExists(handle), nullptr);
  RenewAutoreleasePool();
  EXPECT_TRUE(Window()->contentView()->findChildren<QWidget*>().isEmpty());
}

TEST_F(GadgetModelTest, FreeingAGadgetReleasesTheGadgetsInsideItAtOnce) {
  CreatePanelGadget(1, 10, 10, 300, 200);
  AddGadgetItem(1, -1, u"Page");
  CreateStringGadget(2, 10, 10, 100, 25, u"inside");
  EndGadgetList();

  FreeGadget(1);

  EXPECT_EQ(GadgetExists(2), nullptr);
}

TEST_F(GadgetModelTest, AGadgetMayFreeItselfFromItsOwnCallback) {
  CreateButtonGadget(8, 10, 10, 80, 25, u"Self");
  BindGadgetHandler(8, &FreeCurrentGadget);

  QTest::mouseClick(ViewOf<QPushButton>(8), Qt::LeftButton);
  RenewAutoreleasePool();

  EXPECT_EQ(GadgetExists(8), nullptr);
}

// The wait delivers the deferred deletion of the freed gadget's functions object, whose
// SendEvent is still on the stack below the callback.
int64_t FreeCurrentGadgetAndWait() {
  FreeGadget(CurrentEventObject());
  WaitForEvent(0);
  return 0;
}

TEST_F(GadgetModelTest, AGadgetMayFreeItselfAndWaitFromItsOwnCallback) {
  CreateButtonGadget(8, 10, 10, 80, 25, u"Self");
  BindGadgetHandler(8, &FreeCurrentGadgetAndWait);
  QTest::mouseClick(ViewOf<QPushButton>(8), Qt::LeftButton);
  EXPECT_EQ(GadgetExists(8), nullptr);
}

TEST_F(GadgetModelTest, AGadgetPlacedNowhereIsFreedWithItsWindow) {
  CreatePanelGadget(1, 10, 10, 300, 200);
  CreateButtonGadget(2, 10, 10, 80, 25, u"Nowhere");
  QPointer<QWidget> nowhere = GadgetExists(2)->view;
  ASSERT_EQ(nowhere->parentWidget(), nullptr);

  HideGadget(2, 0);
  EXPECT_FALSE(nowhere->isVisible());

  CloseWindow(0);
  RenewAutoreleasePool();
  EXPECT_TRUE(nowhere.isNull());
}

TEST_F(GadgetModelTest, ResizeGadgetKeepsEveryPartGivenAsKeepValue) {
  CreateButtonGadget(1, 10, 20, 80, 30, u"Button");

  ResizeGadget(1, KeepValue, KeepValue, KeepValue, KeepValue);
  EXPECT_EQ(GadgetExists(1)->container->geometry(), QRect(10, 20, 80, 30));

  ResizeGadget(1, 15, 25, KeepValue, 40);
  EXPECT_EQ(GadgetExists(1)->container->geometry(), QRect(15, 25, 80, 40));

  // -65536 is no KeepValue: Qt takes a negative size as 0.
  ResizeGadget(1, KeepValue, KeepValue, -65536, KeepValue);
  EXPECT_EQ(GadgetWidth(1), 0);
}

TEST_F(GadgetModelTest, GadgetPositionsInTheParentTheWindowAndOnTheScreen) {
  CreatePanelGadget(1, 10, 20, 300, 200);
  AddGadgetItem(1, -1, u"Page");
  CreateButtonGadget(2, 30, 40, 80, 25, u"Deep");
  EndGadgetList();
  const QPoint page = static_cast<KzTabView*>(GadgetExists(1)->view)->contentRect().topLeft();

  EXPECT_EQ(GadgetX(2, 0), 30);
  EXPECT_EQ(GadgetY(2, 0), 40);
  EXPECT_EQ(GadgetX(2, 2), 10 + page.x() + 30);
  EXPECT_EQ(GadgetY(2, 2), 20 + page.y() + 40);
  const QPoint content = Window()->geometry().topLeft();
  EXPECT_EQ(GadgetX(2, 1), content.x() + GadgetX(2, 2));
  EXPECT_EQ(GadgetY(2, 1), content.y() + GadgetY(2, 2));
}

TEST_F(GadgetModelTest, ActivateGadgetFocusesUnlessTheWindowIsBlocked) {
  CreateStringGadget(1, 10, 10, 100, 25, u"");
  RecordGadget(1);
  BlockWindowInput(0, 1);
  ActivateGadget(1);
  TakeGadgetEvents();
  EXPECT_NE(QApplication::focusWidget(), GadgetExists(1)->view);

  BlockWindowInput(0, 0);
  ActivateGadget(1);
  TakeGadgetEvents();
  EXPECT_EQ(QApplication::focusWidget(), GadgetExists(1)->view);

  ActivateGadget(AnyObject);
  EXPECT_EQ(QApplication::focusWidget(), nullptr);
  EXPECT_EQ(RecordedSubtypes(1), (std::vector<int64_t>{SubtypeFocus, SubtypeLostFocus}));
}

TEST_F(GadgetModelTest, UnbindingWithoutACallbackDropsEveryBindingOfTheGadget) {
  CreateButtonGadget(1, 10, 10, 80, 25, u"Button");
  BindGadgetHandler(1, &CountCall);
  BindGadgetHandler(1, &CountCall, SubtypeAction);

  QTest::mouseClick(ViewOf<QPushButton>(1), Qt::LeftButton);
  UnbindGadgetHandler(1, nullptr);
  QTest::mouseClick(ViewOf<QPushButton>(1), Qt::LeftButton);

  EXPECT_EQ(Calls, 2);
}

TEST_F(GadgetModelTest, ReuseMovesTheGadgetToNewFunctions) {
  CreateButtonGadget(1, 10, 10, 80, 25, u"Button");
  RecordGadget(1);
  QPointer<KzGadgetFunctions> old_functions = GadgetExists(1)->functions;
  auto* functions = new KzButtonGadgetFunctions;

  functions->reuse(GadgetExists(1), GadgetTypeButton);
  QTest::mouseClick(ViewOf<QPushButton>(1), Qt::LeftButton);
  RenewAutoreleasePool();

  EXPECT_TRUE(old_functions.isNull());
  EXPECT_EQ(GadgetExists(1)->functions, functions);
  EXPECT_EQ(RecordedSubtypes(1), (std::vector<int64_t>{SubtypeAction}));
}

TEST_F(GadgetModelTest, GadgetViewsRefuseDrags) {
  CreateStringGadget(1, 10, 10, 100, 25, u"");
  QWidget* view = GadgetExists(1)->view;
  view->setAcceptDrops(true);
  QMimeData data;
  data.setText(QStringLiteral("dragged"));
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);

  QApplication::sendEvent(view, &enter);

  EXPECT_FALSE(enter.isAccepted());
}

// Windows full of gadgets, made and closed over and over, leave no widget and no functions
// object behind; LeakSanitizer checks the rest at exit.
TEST_F(GadgetModelTest, WindowsAndGadgetsMadeAndFreedInLoopsLeaveNothingBehind) {
  CloseWindow(0);
  RenewAutoreleasePool();
  const qsizetype widgets_before = QApplication::allWidgets().size();
  std::vector<QPointer<KzGadgetFunctions>> functions;

  for (int round = 0; round < 20; ++round) {
    OpenWindow(round % 3, 50, 50, 400, 300, u"Loop");
    CreateButtonGadget(1, 10, 10, 80, 25, u"Button", ButtonFlagDefault);
    CreateStringGadget(2, 10, 40, 80, 25, u"String", StringFlagUpperCase);
    CreateTextGadget(AnyObject, 10, 70, 80, 25, u"Text");
    CreatePanelGadget(3, 100, 10, 200, 150);
    CreateButtonGadget(AnyObject, 0, 0, 10, 10, u"Nowhere");
    AddGadgetItem(3, -1, u"One");
    CreateStringGadget(4, 5, 5, 80, 25, u"In panel");
    AddGadgetItem(3, -1, u"Two");
    EndGadgetList();
    CreateButtonGadget(5, 0, 0, 10, 10, u"Left");
    CreateTextGadget(6, 0, 0, 10, 10, u"Right");
    CreateSplitterGadget(7, 10, 170, 300, 100, 5, 6, SplitterFlagVertical);
    DisableGadget(3, 1);
    for (int64_t gadget : {1, 3, 7})
      functions.emplace_back(GadgetExists(gadget)->functions);
    FreeGadget(round % 2 == 0 ? 3 : 7);
    CloseWindow(round % 3);
    RenewAutoreleasePool();
  }

  EXPECT_EQ(LiveGadgets(), 0);
  EXPECT_EQ(QApplication::allWidgets().size(), widgets_before);
  for (const auto& object : functions)
    EXPECT_TRUE(object.isNull());
}

}  // namespace
