// A run as the user lives it: the window paints and answers during the tool's run, shows
// its progress, and every way of stopping it ends the tool.
#include "app/tool_run.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "app/app_test_support.h"
#include "app/lifecycle.h"
#include "app/main_window.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"

namespace {

// Records the status line's text at each of its paints, and whether the tool had started.
class PaintRecorder : public QObject {
 public:
  explicit PaintRecorder(std::string started_marker) : marker_(std::move(started_marker)) {
    GadgetWidget(GadgetStatus)->installEventFilter(this);
  }
  ~PaintRecorder() override { GadgetWidget(GadgetStatus)->removeEventFilter(this); }

  struct Paint {
    std::u16string text;
    bool tool_started;
  };
  std::vector<Paint> paints;

  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      paints.push_back({GadgetText(GadgetStatus), PathExists(marker_)});
    }
    return false;
  }

 private:
  std::string marker_;
};

class ToolRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RebuildMainWindow();
    while (WaitForEvent(0) != EvNone) {
    }
    SetGadgetText(GadgetSourcePath, u"");
    QTest::keyClicks(GadgetWidget(GadgetSourcePath),
                     QString::fromStdString(home_.home() + "/Documents"));
  }

  // Runs step every few milliseconds (it fires inside the run's wait) until it says done.
  void During(std::function<bool()> step) {
    step_ = std::move(step);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (step_ && step_()) timer_.stop();
    });
    timer_.start(5);
  }

  void PressCreateIso() { QTest::mouseClick(GadgetWidget(GadgetCreateIso), Qt::LeftButton); }

  std::string Marker() const { return home_.tools() + "/started"; }
  pid_t ToolPid() const { return std::stoi(ReadFile(Marker())); }

  // A tool that says where it is and then waits to be stopped.
  void AddToolWaitingAt(const std::string& line, const std::string& then = "exec sleep 30") {
    home_.AddStandInScript("hdiutil",
                           "echo $$ > '" + Marker() + "'\necho '" + line + "'\n" + then + "\n");
  }

  ScratchHome home_;
  QTimer timer_;
  std::function<bool()> step_;
};

TEST_F(ToolRunTest, TheWindowShowsEachStepAndTheProgressWhileOnlyCancelStaysEnabled) {
  home_.AddStandInTool("dd", 0);
  home_.AddStandInScript("hdiutil", "touch '" + Marker() +
                                        "'\necho 'Creating hybrid image...'\necho 40%\n"
                                        "sleep 0.3\necho 100%\n");
  const QString field_before = GadgetWidget(GadgetSourcePath)->property("text").toString();
  auto* tabs = static_cast<QTabWidget*>(GadgetWidget(GadgetTabs));
  PaintRecorder recorder(Marker());
  bool seen_running = false;
  During([&] {
    if (GadgetText(GadgetStatus) != u"Creating ISO... 40%") return false;
    seen_running = true;
    EXPECT_EQ(GetGadgetState(GadgetProgress), 40);
    EXPECT_TRUE(GadgetWidget(GadgetProgress)->isVisible());
    EXPECT_EQ(GadgetText(GadgetCreateIso), u"Cancel");
    EXPECT_TRUE(GadgetEnabled(GadgetCreateIso));
    EXPECT_FALSE(GadgetEnabled(GadgetSourcePath));
    EXPECT_FALSE(GadgetEnabled(GadgetBrowse));
    EXPECT_FALSE(GadgetEnabled(GadgetCreateFloppy));
    // What a user might try meanwhile: the other tab, typing, the other tab's button.
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, Qt::NoModifier,
                      tabs->tabBar()->tabRect(1).center());
    QTest::keyClicks(GadgetWidget(GadgetSourcePath), "typed");
    QTest::mouseClick(GadgetWidget(GadgetCreateFloppy), Qt::LeftButton);
    return true;
  });
  PressCreateIso();
  ASSERT_TRUE(seen_running);

  std::vector<std::u16string> texts;
  for (const PaintRecorder::Paint& paint : recorder.paints) {
    if (texts.empty() || texts.back() != paint.text) texts.push_back(paint.text);
    if (paint.text == u"Starting...") {
      EXPECT_FALSE(paint.tool_started);
    }
  }
  const std::u16string finished = u"Finished... ISO saved to " +
                                  QString::fromStdString(home_.desktop()).toStdU16String() +
                                  u"/output.iso";
  EXPECT_EQ(texts,
            (std::vector<std::u16string>{u"Checking...", u"Starting...", u"Creating ISO... 40%",
                                         u"Creating ISO... 100%", finished}));
  EXPECT_EQ(GadgetText(GadgetCreateIso), u"Create ISO");
  EXPECT_TRUE(GadgetEnabled(GadgetSourcePath));
  EXPECT_TRUE(GadgetEnabled(GadgetBrowse));
  EXPECT_TRUE(GadgetEnabled(GadgetCreateFloppy));
  EXPECT_FALSE(GadgetWidget(GadgetProgress)->isVisible());
  // Nothing the user tried during the run has an effect afterwards.
  while (WaitForEvent(0) != EvNone) {
  }
  EXPECT_EQ(tabs->currentIndex(), 0);
  EXPECT_EQ(GadgetWidget(GadgetSourcePath)->property("text").toString(), field_before);
  EXPECT_TRUE(home_.RecordedArguments("dd").empty());
}

struct StopWay {
  const char* name;
  std::function<void()> stop;
  bool ends_program;
};

TEST_F(ToolRunTest, EveryWayOfStoppingARunEndsTheToolAndSaysSo) {
  const std::vector<StopWay> ways = {
      {"Cancel", [] { QTest::mouseClick(GadgetWidget(GadgetCreateIso), Qt::LeftButton); }, false},
      {"Escape", [] { QTest::keyClick(NativeWindow(MainWindow), Qt::Key_Escape); }, false},
      {"Ctrl+Q", [] { QTest::keyClick(NativeWindow(MainWindow), Qt::Key_Q, Qt::ControlModifier); },
       true},
      {"close button", [] { NativeWindow(MainWindow)->close(); }, true},
  };
  for (const StopWay& way : ways) {
    SCOPED_TRACE(way.name);
    AddToolWaitingAt("1%");
    During([&] {
      if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
      way.stop();
      return true;
    });
    PressCreateIso();
    EXPECT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");
    EXPECT_EQ(GadgetText(GadgetCreateIso), u"Create ISO");
    // The tool was a child of ours and has been reaped: its pid is free.
    EXPECT_NE(kill(ToolPid(), 0), 0);
    if (way.ends_program) {
      RunMainLoop();
      EXPECT_TRUE(LastEvent == EndRequestEvent ||
                  (LastEvent == EvMenuItem && CurrentEventObject() == QuitMenuItem));
    }
  }
}

TEST_F(ToolRunTest, AToolThatIgnoresSigtermIsKilled) {
  AddToolWaitingAt("1%", "trap '' TERM\nwhile :; do sleep 1; done");
  During([&] {
    if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
    CancelTool();
    return true;
  });
  PressCreateIso();
  EXPECT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");
  EXPECT_NE(kill(ToolPid(), 0), 0);
}

}  // namespace
