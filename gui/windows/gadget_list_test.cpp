#include "gui/windows/gadget_list.h"

#include <gtest/gtest.h>

#include <array>

#include "gui/windows/kz_window.h"
#include "gui/windows/window_test_support.h"
#include "gui/windows/window_views.h"

namespace {

class GadgetListTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartWindowSystem(false); }
  void SetUp() override { window_.setContentView(new Kz_NSFlippedView); }
  void TearDown() override { KzGadgetList::removeWindow(&window_); }

  KzWindow window_;
};

TEST_F(GadgetListTest, PopWithNothingPushedReturnsToTheContentView) {
  KzGadgetList list(&window_);
  QWidget page;
  list.set(&page);
  EXPECT_EQ(list.stackIndex(), 0);
  list.pop();
  EXPECT_EQ(list.top(), window_.contentView());
  EXPECT_EQ(list.stackIndex(), 0);
}

TEST_F(GadgetListTest, TheEleventhPushGrowsTheStackByTen) {
  KzGadgetList list(&window_);
  EXPECT_EQ(list.stackSize(), 10);
  std::array<QWidget, 11> pages;
  for (QWidget& page : pages)
    list.push(&page);
  EXPECT_EQ(list.stackSize(), 20);
  EXPECT_EQ(list.stackIndex(), 11);
  EXPECT_EQ(list.top(), &pages[10]);
  for (int i = 10; i > 0; --i) {
    list.pop();
    EXPECT_EQ(list.top(), &pages[i - 1]);
  }
  list.pop();
  EXPECT_EQ(list.top(), window_.contentView());
  EXPECT_EQ(list.stackIndex(), 0);
}

TEST_F(GadgetListTest, AWindowWithoutContentViewGetsAFlippedView) {
  KzWindow bare;
  KzGadgetList list(&bare);
  ASSERT_NE(bare.contentView(), nullptr);
  EXPECT_NE(dynamic_cast<Kz_NSFlippedView*>(bare.contentView()), nullptr);
  EXPECT_EQ(list.top(), bare.contentView());
}

TEST_F(GadgetListTest, SetWindowReturnsThePreviousWindowAndKeepsOneListPerWindow) {
  KzWindow other;
  other.setContentView(new Kz_NSFlippedView);
  KzGadgetList::setWindow(&window_);
  KzGadgetList* first = KzGadgetList::currentList();
  EXPECT_EQ(KzGadgetList::setWindow(&other), &window_);
  EXPECT_EQ(KzGadgetList::currentView(), other.contentView());
  EXPECT_EQ(KzGadgetList::setWindow(nullptr), &other);
  EXPECT_EQ(KzGadgetList::currentWindow(), &other);
  KzGadgetList::setWindow(&window_);
  EXPECT_EQ(KzGadgetList::currentList(), first);

  KzGadgetList::removeWindow(&window_);
  EXPECT_EQ(KzGadgetList::currentList(), nullptr);
  EXPECT_EQ(KzGadgetList::currentView(), nullptr);
  EXPECT_EQ(KzGadgetList::listFromWindow(&window_), nullptr);
  EXPECT_NE(KzGadgetList::listFromWindow(&other), nullptr);
  KzGadgetList::removeWindow(&other);
}

}  // namespace

namespace {

TEST_F(GadgetListTest, AForgottenViewLeavesTheTopAndTheSavedViews) {
  KzGadgetList::setWindow(&window_);
  KzGadgetList* list = KzGadgetList::listFromWindow(&window_);
  ASSERT_NE(list, nullptr);
  QWidget page, other;
  list->push(&page);
  list->push(&other);
  list->push(&page);
  KzGadgetList::forgetView(&page);
  EXPECT_EQ(list->top(), nullptr);
  list->pop();
  EXPECT_EQ(list->top(), &other);
  list->pop();
  EXPECT_EQ(list->top(), nullptr);
}

}  // namespace
