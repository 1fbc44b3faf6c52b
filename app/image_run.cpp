#include "app/image_run.h"

#include "app/places.h"
#include "app/status_line.h"
#include "gui/requesters/message_requester.h"
#include "gui/shell/desktop_services.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

// A run that ends while the user is at another window is told by the desktop: a notification
// with the image or the reason, and the window asks for attention.
void NotifyIfAway(const char16_t* summary, const char16_t* body, const char16_t* image) {
  const KzWindow* window = NativeWindow(MainWindow);
  if (window == nullptr || window->isActiveWindow()) return;
  NotifyJobEnded(summary, body, image);
  AlertWindow(MainWindow);
}

// A cancelled run was the user's own doing, told by the status alone.
void ReportOutcome(ToolOutcome outcome, const char16_t* image, const RunTexts& texts) {
  if (outcome == ToolOutcome::Cancelled) return ShowStatus(texts.cancelled);
  if (outcome == ToolOutcome::Succeeded) {
    StringMark mark;
    AppendStrings({texts.saved, image});
    ShowStatus(mark.Finish(), image);
    return NotifyIfAway(texts.created, image, image);
  }
  ShowStatus(texts.failed);
  const StringVariable reason(outcome == ToolOutcome::Failed ? texts.reason(LastToolErrorLine())
                                                             : u"");
  NotifyIfAway(texts.not_created, *reason.Get() != u'\0' ? reason.Get() : texts.failed, u"");
  ReportToolReason(reason.Get());
}

}  // namespace

ToolOutcome RunImageWorkflow(const char16_t* image, RunKind kind,
                             const std::function<ToolOutcome()>& run, const RunTexts& texts) {
  // No is the default: Return must not replace an image that may have taken an hour to make.
  if (IsExistingFile(image) &&
      ShowMessageBox(u"File Exists", u"File already exists - overwrite it?",
                     MessageCaution | MessageYesNo | MessageDefaultNo,
                     MessageBoxOptions{.detail = image}) == AnswerNo) {
    // Said as for every other way a run does not start, so that the status does not go on
    // reading "Checking..." as if something were still under way.
    ShowStatus(texts.cancelled);
    return ToolOutcome::NotStarted;
  }
  ShowStatus(u"Starting...");
  BeginRunControls(kind);
  const ToolOutcome outcome = run();
  EndRunControls(kind);
  ReportOutcome(outcome, image, texts);
  return outcome;
}

void ReportMissingFolder(const char16_t* folder) {
  ShowMessageBox(u"Error", MissingFolderText(folder).Get(), MessageCaution);
}

void ReportToolReason(const char16_t* reason) {
  if (*reason != u'\0') ShowMessageBox(u"Error", reason, MessageCaution);
}
