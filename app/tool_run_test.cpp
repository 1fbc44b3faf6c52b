// A run as the user lives it: the window paints and answers during the tool's run, shows
// its progress, and every way of stopping it ends the tool.
#include "app/tool_run.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_test_support.h"
#include "app/controls.h"
#include "app/lifecycle.h"
#include "app/main_window.h"
#include "gui/events/event_loop.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/progress_bar_gadget.h"
#include "gui/shell/desktop_services.h"
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
    // One connection however many runs a test makes: a second one would run the step again
    // in the same tick, after the first had already done its part.
    QObject::disconnect(step_connection_);
    step_connection_ = QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (step_ && step_()) timer_.stop();
    });
    timer_.start(5);
  }

  void PressCreateIso() { QTest::mouseClick(GadgetWidget(GadgetCreateIso), Qt::LeftButton); }

  std::u16string Finished() const {
    return u"Finished... ISO saved to " + QString::fromStdString(home_.desktop()).toStdU16String() +
           u"/output.iso";
  }

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
  QMetaObject::Connection step_connection_;
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

// Once the tool has said the image's size, each percent comes with it; a tool that says no
// size (an older one) gets the percent alone, whatever the run before it showed.
TEST_F(ToolRunTest, TheProgressShowsTheImagesSizeWhenTheToolSaysIt) {
  home_.AddStandInScript("hdiutil", "echo $$ > '" + Marker() +
                                        "'\necho 'Creating hybrid image...'\n"
                                        "echo 'size: 3210987654 bytes'\necho 42%\n"
                                        "exec sleep 30\n");
  bool seen_with_size = false;
  During([&] {
    if (seen_with_size) return true;
    if (GadgetText(GadgetStatus) != u"Creating ISO... 42% of 3.2 GB") return false;
    seen_with_size = true;
    EXPECT_EQ(GetGadgetState(GadgetProgress), 42);
    CancelTool();
    return true;
  });
  PressCreateIso();
  EXPECT_TRUE(seen_with_size);
  EXPECT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");

  AddToolWaitingAt("1%");
  bool seen_alone = false;
  During([&] {
    if (seen_alone) return true;
    if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
    seen_alone = true;
    CancelTool();
    return true;
  });
  PressCreateIso();
  EXPECT_TRUE(seen_alone);
}

// Until the tool's first percent the bar is busy; from then on it stands where the words say,
// also at a percent that the tool holds for a while right after another one.
TEST_F(ToolRunTest, TheBarIsBusyUntilTheFirstPercentAndThenFollowsEveryOne) {
  const std::string go = home_.tools() + "/go";
  // Ten seconds at most, so that a test that never writes the file fails instead of hanging.
  auto wait_for = [](const std::string& file) {
    return "for i in $(seq 500); do [ -e '" + file + "' ] && break; sleep 0.02; done\n";
  };
  home_.AddStandInScript("hdiutil", "touch '" + Marker() + "'\necho 'Creating hybrid image...'\n" +
                                        wait_for(go + "1") + "echo 1%\necho 2%\n" +
                                        wait_for(go + "2") + "echo 100%\n");
  QWidget* bar = GadgetWidget(GadgetProgress);
  bool busy_seen = false, held_seen = false;
  During([&] {
    if (!busy_seen && PathExists(Marker())) {
      busy_seen = true;
      EXPECT_TRUE(bar->isVisible());
      EXPECT_EQ(GetGadgetAttribute(GadgetProgress, ProgressBarMaximum), 0);
      WriteFile(go + "1", "");
    }
    if (GadgetText(GadgetStatus) != u"Creating ISO... 2%") return false;
    held_seen = true;
    EXPECT_EQ(GetGadgetAttribute(GadgetProgress, ProgressBarMaximum), 100);
    EXPECT_EQ(GetGadgetState(GadgetProgress), 2);
    WriteFile(go + "2", "");
    return true;
  });
  PressCreateIso();
  EXPECT_TRUE(busy_seen);
  EXPECT_TRUE(held_seen);
  EXPECT_EQ(GadgetText(GadgetStatus), Finished());
}

QUrl OpenedFolder;

// A finished run's status shows its whole path, which is also its tooltip, and offers to
// show the image in its folder; the offer goes with the status.
TEST_F(ToolRunTest, AFinishedRunOffersToShowTheImageInItsFolder) {
  home_.AddStandInScript("hdiutil", "echo 100%\n");
  PressCreateIso();
  ASSERT_EQ(GadgetText(GadgetStatus), Finished());
  const QString finished = QString::fromStdU16String(Finished());
  auto* status = static_cast<QLabel*>(GadgetWidget(GadgetStatus));
  EXPECT_EQ(status->text().remove(QChar(0x200B)), finished);
  EXPECT_EQ(status->toolTip(), finished);
  QWidget* show = GadgetWidget(GadgetShowInFolder);
  ASSERT_TRUE(show->isVisible());
  EXPECT_EQ(GadgetText(GadgetShowInFolder), u"Show in folder");
  OpenedFolder.clear();
  OpenFolderUrl = [](const QUrl& folder) {
    OpenedFolder = folder;
    return true;
  };
  QTest::mouseClick(show, Qt::LeftButton);
  // With a session bus, the file manager is asked instead.
  if (!HasSessionBus()) {
    EXPECT_EQ(OpenedFolder, QUrl::fromLocalFile(QString::fromStdString(home_.desktop())));
  }
  QTest::keyClicks(GadgetWidget(GadgetSourcePath), "/");
  EXPECT_FALSE(show->isVisible());
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
    // A quit asks first; the test says yes.
    SeenBox box;
    if (way.ends_program) AnswerNextBox("Stop and Quit", &box);
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
    EXPECT_EQ(box.shown, way.ends_program ? 1 : 0);
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

// The window system delivers the second click of a double click as a double-click press and
// a release, by which time the button that started the run reads "Cancel".
TEST_F(ToolRunTest, TheSecondClickOfADoubleClickDoesNotCancelTheRunItStarted) {
  AddToolWaitingAt("1%", "sleep 0.3");
  During([&] {
    if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
    QWidget* button = GadgetWidget(GadgetCreateIso);
    const QPointF centre = QRectF(button->rect()).center();
    const QPointF global = button->mapToGlobal(centre);
    QMouseEvent press(QEvent::MouseButtonDblClick, centre, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(button, &press);
    QCoreApplication::sendEvent(button, &release);
    return true;
  });
  PressCreateIso();
  EXPECT_EQ(GadgetText(GadgetStatus), Finished());
}

// SIGTERM first, then the grace to clean up; a tool that then ends well has made its image.
TEST_F(ToolRunTest, ACancelledToolGetsSigtermAndTimeToCleanUpAndMaySucceedAfterAll) {
  const std::string cleaned = home_.tools() + "/cleaned";
  home_.AddStandInScript("hdiutil", "trap 'kill $!; sleep 0.2; touch \"" + cleaned +
                                        "\"; exit 0' TERM\necho 1%\n"
                                        "sleep 30 >/dev/null 2>&1 &\nwait\n");
  During([&] {
    if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
    CancelTool();
    return true;
  });
  PressCreateIso();
  EXPECT_TRUE(PathExists(cleaned));
  EXPECT_EQ(GadgetText(GadgetStatus), Finished());
}

// Waits, sleeping, until the process is gone and reaped; false after five seconds.
bool AwaitReaped(pid_t pid) {
  for (int i = 0; i < 500; ++i) {
    if (kill(pid, 0) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A cancel that comes once the tool has ended by itself changes nothing: its failure and its
// reason stand.
TEST_F(ToolRunTest, ACancelAfterTheToolHasEndedKeepsItsOutcomeAndReason) {
  home_.AddStandInScript("hdiutil", "echo $$ > '" + Marker() +
                                        "'\necho 'hdiutil: makehybrid failed - no room' >&2\n"
                                        "echo end\nexit 1\n");
  static pid_t tool = 0;
  static std::string marker;
  marker = Marker();
  const ToolOutcome outcome = RunTool(u"hdiutil", {}, [](const char16_t* line) {
    if (std::u16string(line) != u"end") return;
    tool = std::stoi(ReadFile(marker));
    EXPECT_TRUE(AwaitReaped(tool));
    CancelTool();
  });
  EXPECT_EQ(outcome, ToolOutcome::Failed);
  EXPECT_EQ(std::u16string(LastToolErrorLine()), u"makehybrid failed - no room");
}

// Input that the window system has posted but not yet delivered when the tool ends belongs to
// the run, whose controls refuse it. Here the input comes with the tool's last line, which
// the pump reads once the tool's end has been collected, so no wait of the run follows it.
TEST_F(ToolRunTest, InputPostedAsTheToolEndsIsNotActedOnOnceTheControlsAreBack) {
  home_.AddStandInTool("dd", 0);
  home_.AddStandInScript("hdiutil", "echo $$ > '" + Marker() +
                                        "'\necho first\nsleep 0.2\n"
                                        "echo last\n");
  const std::u16string field_before = GadgetText(GadgetSourcePath);
  static bool first_seen = false;
  first_seen = false;
  During([&] {
    if (!first_seen) return false;
    // The tool writes its last line and ends while the run is held here.
    EXPECT_TRUE(AwaitReaped(ToolPid()));
    return true;
  });
  BeginRunControls(RunKind::Iso);
  RunTool(u"hdiutil", {}, [](const char16_t* line) {
    if (std::u16string(line) == u"first") {
      first_seen = true;
      return;
    }
    QWidget* button = GadgetWidget(GadgetCreateFloppy);
    const QPointF centre = QRectF(button->rect()).center();
    const QPointF global = button->mapToGlobal(centre);
    QCoreApplication::postEvent(
        button, new QMouseEvent(QEvent::MouseButtonPress, centre, global, Qt::LeftButton,
                                Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(
        button, new QMouseEvent(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton,
                                Qt::NoButton, Qt::NoModifier));
    QCoreApplication::postEvent(GadgetWidget(GadgetSourcePath),
                                new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x"));
  });
  EndRunControls(RunKind::Iso);
  while (WaitForEvent(0) != EvNone) {
  }
  EXPECT_TRUE(home_.RecordedArguments("dd").empty());
  EXPECT_EQ(GadgetText(GadgetSourcePath), field_before);
}

// A question up when the program is asked to quit is answered No, and the program ends.
TEST_F(ToolRunTest, AQuitDuringTheOverwriteQuestionAnswersNoAndEndsTheProgram) {
  home_.AddStandInTool("hdiutil", 0);
  WriteFile(home_.desktop() + "/output.iso", "old");
  SeenBox box;
  QuitAtNextBox(&box);
  PressCreateIso();
  EXPECT_EQ(box.title, "File Exists");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(home_.RecordedArguments("hdiutil").empty());
  EXPECT_EQ(ReadFile(home_.desktop() + "/output.iso"), "old");
  EXPECT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");
  RunMainLoop();
  EXPECT_EQ(LastEvent, EvMenuItem);
  EXPECT_EQ(CurrentEventObject(), QuitMenuItem);
}

// Whether what a run left queued ends the main loop. An end request of the test's own, queued
// behind it, ends the loop otherwise, so that a test never waits for ever.
bool TheMainLoopEnds() {
  constexpr int64_t kTestsOwnEnd = 77;
  PostUserEvent(EndRequestEvent, 0, kTestsOwnEnd);
  RunMainLoop();
  if (LastEvent == EndRequestEvent && CurrentEventObject() == kTestsOwnEnd) return false;
  PurgeEvents(EndRequestEvent, kTestsOwnEnd, -1, -1);
  return true;
}

void PressCtrlQ() {
  QTest::keyClick(NativeWindow(MainWindow), Qt::Key_Q, Qt::ControlModifier);
}

void PressCloseButton() {
  NativeWindow(MainWindow)->close();
}

// Continue, the default, keeps the run however the user quit and answered.
TEST_F(ToolRunTest, QuittingDuringARunAsksAndContinueLetsTheRunFinish) {
  struct Case {
    const char* name;
    void (*quit)();
    void (*answer)(SeenBox*);
  };
  const Case cases[] = {
      {"Ctrl+Q, Continue", &PressCtrlQ, [](SeenBox* box) { AnswerNextBox("Continue", box); }},
      {"close button, Return", &PressCloseButton,
       [](SeenBox* box) { PressKeyAtNextBox(Qt::Key_Return, box); }},
      {"Ctrl+Q, Escape", &PressCtrlQ, [](SeenBox* box) { PressKeyAtNextBox(Qt::Key_Escape, box); }},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    AddToolWaitingAt("1%", "sleep 0.3");
    SeenBox box;
    each.answer(&box);
    During([&] {
      if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
      each.quit();
      return true;
    });
    PressCreateIso();
    EXPECT_EQ(box.shown, 1);
    EXPECT_EQ(box.title, "Quit and stop creating the image?");
    EXPECT_EQ(box.default_button, "Continue");
    EXPECT_EQ(GadgetText(GadgetStatus), Finished());
    EXPECT_FALSE(TheMainLoopEnds());
  }
}

TEST_F(ToolRunTest, QuittingDuringAFloppyRunAsksToo) {
  home_.AddStandInScript("dd", "touch '" + Marker() + "'\nsleep 0.3\n");
  SeenBox box;
  AnswerNextBox("Continue", &box);
  During([&] {
    if (!PathExists(Marker())) return false;
    PressCloseButton();
    return true;
  });
  QTest::mouseClick(GadgetWidget(GadgetCreateFloppy), Qt::LeftButton);
  EXPECT_EQ(box.shown, 1);
  EXPECT_EQ(GadgetText(GadgetStatus), u"Finished... Floppy image saved to " +
                                          QString::fromStdString(home_.desktop()).toStdU16String() +
                                          u"/Empty_Floppy.img");
  EXPECT_FALSE(TheMainLoopEnds());
}

// The system's quit is an order: nobody may be there to answer a question.
TEST_F(ToolRunTest, ASigtermDuringARunStopsItWithoutAsking) {
  AddToolWaitingAt("1%", "exec sleep 5");
  SeenBox box;
  AnswerNextBox("Continue", &box);
  During([&] {
    if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
    raise(SIGTERM);
    return true;
  });
  PressCreateIso();
  EXPECT_EQ(box.shown, 0);
  EXPECT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");
  EXPECT_NE(kill(ToolPid(), 0), 0);
  EXPECT_TRUE(TheMainLoopEnds());
}

TEST_F(ToolRunTest, ASystemQuitWhileTheQuitQuestionIsUpPutsItAwayAndQuits) {
  AddToolWaitingAt("1%");
  SeenBox box;
  QuitAtNextBox(&box);
  During([&] {
    if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
    PressCtrlQ();
    return true;
  });
  PressCreateIso();
  EXPECT_EQ(box.title, "Quit and stop creating the image?");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");
  EXPECT_NE(kill(ToolPid(), 0), 0);
  EXPECT_TRUE(TheMainLoopEnds());
}

// The run waits for the answer even when its tool has ended meanwhile; Stop and Quit then has
// nothing left to stop, and the image stays.
TEST_F(ToolRunTest, StopAndQuitAfterTheToolHasEndedKeepsTheImageAndQuits) {
  const std::string go = home_.tools() + "/go";
  AddToolWaitingAt(
      "1%", "for i in $(seq 500); do [ -e '" + go + "' ] && exit 0; sleep 0.02; done\nexit 1");
  SeenBox box;
  AnswerNextBoxAfter("Stop and Quit", &box, [&] {
    WriteFile(go, "");
    EXPECT_TRUE(AwaitReaped(ToolPid()));
  });
  During([&] {
    if (GadgetText(GadgetStatus) != u"Creating ISO... 1%") return false;
    PressCtrlQ();
    return true;
  });
  PressCreateIso();
  EXPECT_EQ(box.shown, 1);
  EXPECT_EQ(GadgetText(GadgetStatus), Finished());
  EXPECT_TRUE(TheMainLoopEnds());
}

// Escape cancels only ISO runs; a floppy run goes on to its end.
TEST_F(ToolRunTest, EscapeDuringAFloppyRunDoesNotCancelIt) {
  home_.AddStandInScript("dd", "touch '" + Marker() + "'\nsleep 0.3\n");
  bool pressed = false;
  During([&] {
    if (!PathExists(Marker())) return false;
    QTest::keyClick(NativeWindow(MainWindow), Qt::Key_Escape);
    pressed = true;
    return true;
  });
  QTest::mouseClick(GadgetWidget(GadgetCreateFloppy), Qt::LeftButton);
  EXPECT_TRUE(pressed);
  EXPECT_EQ(GadgetText(GadgetStatus), u"Finished... Floppy image saved to " +
                                          QString::fromStdString(home_.desktop()).toStdU16String() +
                                          u"/Empty_Floppy.img");
}

// The keyboard alone: Return in the field presses "Create ISO" when it may be pressed, the
// focus stays on "Cancel" during the run and comes back to "Create ISO" after it.
TEST_F(ToolRunTest, ReturnInTheFieldRunsWithTheFocusOnCancelAndBackOnCreateIso) {
  home_.AddStandInTool("hdiutil", 0, 0.3);
  ActivateGadget(GadgetSourcePath);
  QWidget* focus_during_run = nullptr;
  During([&] {
    if (!ToolRunning()) return false;
    focus_during_run = QApplication::focusWidget();
    return true;
  });
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_Return);
  EXPECT_FALSE(home_.RecordedArguments("hdiutil").empty());
  EXPECT_EQ(focus_during_run, GadgetWidget(GadgetCreateIso));
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(GadgetCreateIso));
}

TEST_F(ToolRunTest, ReturnInTheFieldDoesNothingWhileCreateIsoIsDisabled) {
  home_.AddStandInTool("hdiutil", 0);
  QTest::keyClicks(GadgetWidget(GadgetSourcePath), "-missing");
  ASSERT_FALSE(GadgetEnabled(GadgetCreateIso));
  QTest::keyClick(GadgetWidget(GadgetSourcePath), Qt::Key_Return);
  EXPECT_TRUE(home_.RecordedArguments("hdiutil").empty());
  EXPECT_EQ(GadgetText(GadgetStatus), u"");
}

TEST_F(ToolRunTest, ReturnOnAFocusedButtonPressesIt) {
  home_.AddStandInTool("dd", 0);
  SetGadgetState(GadgetTabs, FloppyTab);
  GadgetWidget(GadgetCreateFloppy)->setFocus(Qt::TabFocusReason);
  QTest::keyClick(GadgetWidget(GadgetCreateFloppy), Qt::Key_Return);
  EXPECT_FALSE(home_.RecordedArguments("dd").empty());
  EXPECT_EQ(QApplication::focusWidget(), GadgetWidget(GadgetCreateFloppy));
}

// A run's outcome is said on its own tab, and typing a new path puts it away.
TEST_F(ToolRunTest, AStatusStaysWithItsTabUntilTheFieldIsEdited) {
  WriteFile(home_.desktop() + "/output.iso", "old");
  SeenBox box;
  AnswerNextBox("No", &box);
  PressCreateIso();
  ASSERT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");
  auto* tabs = static_cast<QTabWidget*>(GadgetWidget(GadgetTabs));
  QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, Qt::NoModifier,
                    tabs->tabBar()->tabRect(FloppyTab).center());
  EXPECT_EQ(GadgetText(GadgetStatus), u"");
  QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, Qt::NoModifier,
                    tabs->tabBar()->tabRect(IsoTab).center());
  EXPECT_EQ(GadgetText(GadgetStatus), u"ISO creation was cancelled");
  QTest::keyClicks(GadgetWidget(GadgetSourcePath), "/");
  EXPECT_EQ(GadgetText(GadgetStatus), u"");
}

}  // namespace
