#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "app/app_test_support.h"
#include "app/lifecycle.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RebuildMainWindow();
    Drain();
  }

  static void Drain() {
    while (WaitForEvent(0) != EvNone) {
    }
  }

  // Clears the field as a user would and types text into it.
  static void Type(const QString& text) {
    QWidget* field = GadgetWidget(GadgetSourcePath);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Delete);
    QTest::keyClicks(field, text);
  }

  // Answers the next folder chooser with a folder, or cancels it for an empty one.
  static void AnswerChooser(const QString& folder) {
    QTimer::singleShot(50, [folder] {
      auto* chooser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(chooser, nullptr);
      if (folder.isEmpty()) {
        chooser->reject();
        return;
      }
      // As a user would: type the folder's path into the name field and confirm.
      auto* name = chooser->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(name, nullptr);
      name->setText(folder);
      static_cast<QDialog*>(chooser)->accept();
    });
  }

  ScratchHome home_;
};

TEST_F(MainWindowTest, StartsOnTheIsoTabWithTheDocumentsFolder) {
  KzWindow* window = NativeWindow(MainWindow);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->windowTitle(), "Brevik V1.2.5");
  EXPECT_EQ(GadgetText(GadgetSourcePath),
            QString::fromStdString(home_.home() + "/Documents").toStdU16String());
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  EXPECT_TRUE(GadgetEnabled(GadgetCreateFloppy));
  EXPECT_EQ(GadgetText(GadgetStatus), u"");
  EXPECT_EQ(GetGadgetState(GadgetTabs), 0);
  EXPECT_EQ(GadgetText(GadgetBrowse), u"...");
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(GadgetSourcePath));
}

TEST_F(MainWindowTest, CreateIsoFollowsTheFieldKeystrokeByKeystroke) {
  const std::string folder = home_.home() + "/ab";
  MakeFolder(folder);
  Type(QString::fromStdString(home_.home() + "/a"));
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_B);
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_C);
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_Backspace);
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  // Surrounding blanks do not matter; blanks alone and a file do.
  QTest::keyClicks(GadgetWidget(GadgetSourcePath), "  ");
  EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
  Type("   ");
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
  WriteFile(home_.home() + "/file", "x");
  Type(QString::fromStdString(home_.home() + "/file"));
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));
}

TEST_F(MainWindowTest, TheChooserFillsTheFieldWithoutJudgingIt) {
  Type("nowhere");
  ASSERT_FALSE(GadgetEnabled(GadgetCreateIso));
  const std::string chosen = home_.home() + "/Documents";
  AnswerChooser(QString::fromStdString(chosen));
  QTest::mouseClick(GadgetWidget(GadgetBrowse), Qt::LeftButton);
  EXPECT_EQ(GadgetText(GadgetSourcePath), QString::fromStdString(chosen + "/").toStdU16String());
  EXPECT_FALSE(GadgetEnabled(GadgetCreateIso));

  AnswerChooser(QString());
  QTest::mouseClick(GadgetWidget(GadgetBrowse), Qt::LeftButton);
  EXPECT_EQ(GadgetText(GadgetSourcePath), QString::fromStdString(chosen + "/").toStdU16String());
}

TEST_F(MainWindowTest, TheCloseButtonAsksTheLoopToEndAndTheWindowStays) {
  KzWindow* window = NativeWindow(MainWindow);
  window->close();
  EXPECT_TRUE(window->isVisible());
  RunMainLoop();
  EXPECT_EQ(LastEvent, EndRequestEvent);
}

TEST_F(MainWindowTest, CtrlQEndsTheLoopThroughTheQuitItem) {
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_Q, Qt::ControlModifier);
  RunMainLoop();
  EXPECT_EQ(LastEvent, EvMenuItem);
  EXPECT_EQ(CurrentEventObject(), QuitMenuItem);
}

}  // namespace
