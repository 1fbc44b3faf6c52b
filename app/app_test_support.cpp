#include "app/app_test_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/lifecycle.h"
#include "app/main_window.h"
#include "gui/gadgets/gadgets.h"
#include "runtime/qstring_bridge.h"
#include "runtime/string_stack.h"

namespace {

std::string Environment(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

void RebuildMainWindow() {
  static const bool started = [] {
    RunStartRoutines();
    return true;
  }();
  static_cast<void>(started);
  BuildMainWindow();
}

QWidget* GadgetWidget(int64_t gadget) {
  GadgetRecord* record = GadgetExists(gadget);
  return record == nullptr ? nullptr : record->view;
}

std::u16string GadgetText(int64_t gadget) {
  StringMark mark;
  return GetGadgetText(gadget, mark.Offset());
}

bool GadgetEnabled(int64_t gadget) {
  QWidget* widget = GadgetWidget(gadget);
  return widget != nullptr && widget->isEnabled();
}

ScratchHome::ScratchHome() {
  char pattern[] = "/tmp/brevik-app-XXXXXX";
  root_ = mkdtemp(pattern);
  // A blank in every path: whatever the workflows pass on must survive it.
  home_ = root_ + "/my home";
  tools_ = root_ + "/tools";
  MakeFolder(home_ + "/Desktop");
  MakeFolder(home_ + "/Documents");
  MakeFolder(tools_);
  home_variable_.emplace("HOME", home_.c_str());
  const std::string path = tools_ + ":" + Environment("PATH");
  path_variable_.emplace("PATH", path.c_str());
}

ScratchHome::~ScratchHome() {
  home_variable_.reset();
  path_variable_.reset();
  std::error_code ignored;
  std::filesystem::permissions(root_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(root_, ignored);
}

void ScratchHome::AddStandInTool(const std::string& name, int status, double seconds) {
  const std::string record = tools_ + "/" + name + ".args";
  std::ostringstream script;
  script << "echo 'working' >&2\n"
         << "echo 'progress'\n"
         << "sleep " << seconds << "\n"
         << "printf '%s\\0' \"$@\" > '" << record << "'\n"
         << "exit " << status << "\n";
  AddStandInScript(name, script.str());
  unlink(record.c_str());
}

void ScratchHome::AddStandInScript(const std::string& name, const std::string& body) {
  const std::string path = tools_ + "/" + name;
  WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

std::vector<std::string> ScratchHome::RecordedArguments(const std::string& name) const {
  std::vector<std::string> arguments;
  const std::string record = tools_ + "/" + name + ".args";
  if (!PathExists(record)) return arguments;
  std::string all = ReadFile(record);
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find('\0', start);
    arguments.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return arguments;
}

namespace {

// The box runs its own modal loop inside the handler; the timer fires inside that loop.
// It looks again a little later while the box is not up yet, for a while at most.
void WhenBoxIsUp(SeenBox* seen, int attempts_left, std::function<void(QMessageBox*)> act) {
  QTimer::singleShot(10, [seen, alive = seen->alive, attempts_left, act = std::move(act)] {
    if (!*alive) return;
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) {
      if (attempts_left > 0) WhenBoxIsUp(seen, attempts_left - 1, act);
      return;
    }
    // The headline is the box's text; the body, escaped as rich text, its informative text.
    seen->title = box->text();
    seen->text = QTextDocumentFragment::fromHtml(box->informativeText()).toPlainText();
    seen->default_button =
        box->defaultButton() != nullptr ? box->defaultButton()->text().remove('&') : QString();
    ++seen->shown;
    act(box);
  });
}

void PressBoxButton(QMessageBox* box, const QString& button) {
  for (QAbstractButton* candidate : box->buttons()) {
    if (candidate->text().remove('&') == button) {
      candidate->click();
      return;
    }
  }
  QStringList titles;
  for (QAbstractButton* candidate : box->buttons())
    titles << candidate->text();
  ADD_FAILURE() << "no button " << button.toStdString() << " among "
                << titles.join(", ").toStdString();
  box->reject();
}

}  // namespace

void AnswerNextBox(const QString& button, SeenBox* seen) {
  WhenBoxIsUp(seen, 500, [button](QMessageBox* box) { PressBoxButton(box, button); });
}

void AnswerNextBoxAfter(const QString& button, SeenBox* seen, std::function<void()> first) {
  WhenBoxIsUp(seen, 500, [button, first = std::move(first)](QMessageBox* box) {
    first();
    PressBoxButton(box, button);
  });
}

void PressKeyAtNextBox(Qt::Key key, SeenBox* seen) {
  WhenBoxIsUp(seen, 500, [key](QMessageBox* box) {
    // The key goes where the box's focus is: a focused button takes Return for itself.
    QWidget* focus = box->focusWidget();
    QTest::keyClick(focus != nullptr ? focus : box, key);
  });
}

void QuitAtNextBox(SeenBox* seen) {
  // As the session manager's logout or a SIGTERM reaches the program.
  WhenBoxIsUp(seen, 500, [](QMessageBox*) {
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(QCoreApplication::instance(), &quit);
  });
}

bool CatchesSigterm(pid_t pid) {
  // Bit 15 of the process's caught-signal mask.
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (SIGTERM - 1)) & 1;
    }
  }
  return false;
}

void MakeFolder(const std::string& path) {
  std::filesystem::create_directories(path);
}

bool PathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}
