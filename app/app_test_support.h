// Shared by the application's tests: the program started once per test process, a scratch
// home folder per test, stand-in tools on PATH, and answering modal boxes as a user would.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/runtime_test_support.h"
#include "tools/test_support.h"

class QWidget;

// Runs the program's start routines once and builds the main window anew.
void RebuildMainWindow();

// The widget of a gadget of the main window, its text and whether it is enabled.
QWidget* GadgetWidget(int64_t gadget);
std::u16string GadgetText(int64_t gadget);
bool GadgetEnabled(int64_t gadget);

// A fresh home folder (HOME) with Desktop and Documents, removed at the end of the test,
// and a folder of stand-in tools put first on PATH.
class ScratchHome {
 public:
  ScratchHome();
  ~ScratchHome();
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

  const std::string& home() const { return home_; }
  std::string desktop() const { return home_ + "/Desktop"; }
  const std::string& tools() const { return tools_; }

  // A stand-in for a tool: writes a line to standard error and one to standard output,
  // waits the given time, then records its arguments and exits with status. A pump that
  // stopped at the first error line would return before the arguments are recorded.
  void AddStandInTool(const std::string& name, int status, double seconds = 0);
  // A stand-in that runs the shell script body.
  void AddStandInScript(const std::string& name, const std::string& body);
  // The arguments the stand-in received after its name; empty when it never ran.
  std::vector<std::string> RecordedArguments(const std::string& name) const;

 private:
  std::string root_;
  std::string home_;
  std::string tools_;
  std::optional<EnvironmentChange> home_variable_;
  std::optional<EnvironmentChange> path_variable_;
};

// What a modal message box showed, and how many boxes were answered. An answer still
// waiting for its box is called off when this goes, so that it cannot answer the box of a
// later test.
struct SeenBox {
  SeenBox() = default;
  SeenBox(const SeenBox&) = delete;
  SeenBox& operator=(const SeenBox&) = delete;
  ~SeenBox() { *alive = false; }

  QString title;
  QString text;
  QString default_button;  // its title, & left out
  int shown = 0;
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};
// Answers the next modal message box, once it is up, by pressing the button titled button.
void AnswerNextBox(const QString& button, SeenBox* seen);
// The same, once first has run while the box is up: for what is to happen meanwhile.
void AnswerNextBoxAfter(const QString& button, SeenBox* seen, std::function<void()> first);
// Presses the key at the next modal message box, once it is up, where the box's keyboard focus
// is, as a user's Return or Escape reaches it.
void PressKeyAtNextBox(Qt::Key key, SeenBox* seen);
// Asks the program to quit, as the system does, once the next message box is up.
void QuitAtNextBox(SeenBox* seen);

// True once the process has a handler for SIGTERM: brevik has reached its start routines.
bool CatchesSigterm(pid_t pid);

void MakeFolder(const std::string& path);
bool PathExists(const std::string& path);
