#include "app/workflow_support.h"

#include <QStandardPaths>
#include <QString>
#include <array>
#include <string>

#include "app/controls.h"
#include "files/file_queries.h"
#include "gui/events/event_loop.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "gui/shell/desktop_services.h"
#include "gui/windows/kz_window.h"
#include "gui/windows/windows.h"
#include "runtime/qstring_bridge.h"
#include "runtime/string_utils.h"

bool IsFolder(const char16_t* path) {
  return QueryFileSize(path) == FileSizeFolder;
}

bool IsExistingFile(const char16_t* path) {
  return QueryFileSize(path) >= 0;
}

namespace {

StringVariable Kept(char16_t* (*query)(StringResultPosition)) {
  StringMark mark;
  query(mark.Offset());
  return std::move(mark).Keep();
}

}  // namespace

StringVariable GadgetTextOf(int64_t gadget) {
  StringMark mark;
  GetGadgetText(gadget, mark.Offset());
  return std::move(mark).Keep();
}

StringVariable TrimmedGadgetText(int64_t gadget) {
  StringMark mark;
  TrimSpaces(GetGadgetText(gadget, mark.Offset()), mark.Offset());
  return std::move(mark).Keep();
}

StringVariable TrimmedSourcePath() {
  return TrimmedGadgetText(GadgetSourcePath);
}

StringVariable DesktopFolder() {
  return Kept(&UserDesktopFolder);
}

StringVariable DocumentsFolder() {
  return Kept(&UserDocumentsFolder);
}

StringVariable BundledToolIn(const char16_t* program_folder, const char16_t* name) {
  if (*program_folder == u'\0') return StringVariable(name);
  for (const char16_t* place : {u"", u"../libexec/brevik/"}) {
    StringMark mark;
    AppendStrings({program_folder, place, name});
    StringVariable candidate = std::move(mark).Keep();
    if (IsExistingFile(candidate.Get())) return candidate;
  }
  return StringVariable(name);
}

StringVariable BundledTool(const char16_t* name) {
  return BundledToolIn(Kept(&ProgramFolder).Get(), name);
}

StringVariable SystemToolPath(const char16_t* name) {
  const QString tool = StringToQString(name);
  QString found = QStandardPaths::findExecutable(tool);
  if (found.isEmpty()) {
    found = QStandardPaths::findExecutable(tool,
                                           {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
  }
  StringMark mark;
  QStringToStringStackResult(found, mark.Offset());
  return std::move(mark).Keep();
}

StringVariable ImagePath(const char16_t* folder, const char16_t* name) {
  StringMark mark;
  AppendStrings({folder, u"/", name});
  return std::move(mark).Keep();
}

ImagePlace ImagePlaceIn(int64_t field, const char16_t* default_name) {
  const StringVariable text = TrimmedGadgetText(field);
  const char16_t* whole = text.Get();
  const char16_t* last_slash = nullptr;
  for (const char16_t* unit = whole; *unit != u'\0'; ++unit) {
    if (*unit == u'/') last_slash = unit;
  }
  ImagePlace place;
  const char16_t* name = last_slash == nullptr ? whole : last_slash + 1;
  place.name = *name == u'\0' ? default_name : name;
  if (last_slash == nullptr) {
    place.folder = DesktopFolder();
  } else if (last_slash == whole) {
    place.folder = u"/";
  } else {
    place.folder = std::u16string(whole, last_slash).c_str();
  }
  // The root folder already ends in its "/".
  place.path = last_slash == whole ? ImagePath(u"", place.name.Get())
                                   : ImagePath(place.folder.Get(), place.name.Get());
  return place;
}

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

namespace {

// The last status of each tab, by tab item, and the image it offers to show.
struct TabStatus {
  StringVariable text;
  StringVariable image;
};
std::array<TabStatus, 2> TabStatuses;

TabStatus& FrontTabStatus() {
  return TabStatuses[GetGadgetState(GadgetTabs) == FloppyTab ? FloppyTab : IsoTab];
}

}  // namespace

void ShowStatus(const char16_t* text, const char16_t* image) {
  TabStatus& status = FrontTabStatus();
  status.text = text;
  status.image = image;
  ShowFrontTabStatus();
  PaintPendingUpdates();
}

void ShowFrontTabStatus() {
  const TabStatus& status = FrontTabStatus();
  ShowStatusRow(status.text.Get(), status.image.Get());
}

void ClearEndedStatus() {
  if (!ToolRunning()) ShowStatus(u"");
}

void ClearStatuses() {
  for (TabStatus& status : TabStatuses)
    status = {};
  ShowStatusRow(u"");
}

StringVariable MissingFolderText(const char16_t* folder) {
  // Copied first: a StringStack result would move as the text is built on the stack.
  const StringVariable kept(folder);
  StringMark mark;
  AppendStrings({u"Folder ", kept.Get(), u" not found"});
  return std::move(mark).Keep();
}

void ReportMissingFolder(const char16_t* folder) {
  ShowMessageBox(u"Error", MissingFolderText(folder).Get(), MessageCaution);
}

void ReportToolReason(const char16_t* reason) {
  if (*reason != u'\0') ShowMessageBox(u"Error", reason, MessageCaution);
}
