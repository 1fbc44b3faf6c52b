#include "app/workflow_support.h"

#include "app/main_window.h"
#include "files/file_queries.h"
#include "gui/events/event_loop.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "runtime/string_utils.h"

bool IsFolder(const char16_t* path) {
  return QueryFileSize(path) == FileSizeFolder;
}

bool IsExistingFile(const char16_t* path) {
  return QueryFileSize(path) >= 0;
}

bool CanQuoteForTool(const char16_t* path) {
  for (const char16_t* unit = path; *unit != u'\0'; ++unit) {
    if (*unit == u'"' || *unit == u'\n') return false;
  }
  return true;
}

StringVariable UnquotablePathText(const char16_t* path) {
  // Copied first: a StringStack result would move as the text is built on the stack.
  const StringVariable kept(path);
  StringVariable text;
  StringMark mark;
  AppendStrings(
      {u"The path ", kept.Get(), u" contains a character that cannot be passed to the tool"});
  mark.AssignTo(text.Address());
  return text;
}

void AppendStrings(std::initializer_list<const char16_t*> pieces) {
  for (const char16_t* piece : pieces)
    AppendString(piece);
}

namespace {

StringVariable Kept(char16_t* (*query)(StringResultPosition)) {
  StringVariable folder;
  StringMark mark;
  query(mark.Offset());
  mark.AssignTo(folder.Address());
  return folder;
}

}  // namespace

StringVariable DesktopFolder() {
  return Kept(&UserDesktopFolder);
}

StringVariable DocumentsFolder() {
  return Kept(&UserDocumentsFolder);
}

StringVariable BundledToolIn(const char16_t* program_folder, const char16_t* name) {
  if (*program_folder == u'\0') return StringVariable(name);
  for (const char16_t* place : {u"", u"../libexec/brevik/"}) {
    StringVariable candidate;
    StringMark mark;
    AppendStrings({program_folder, place, name});
    mark.AssignTo(candidate.Address());
    if (IsExistingFile(candidate.Get())) return candidate;
  }
  return StringVariable(name);
}

StringVariable BundledTool(const char16_t* name) {
  StringVariable folder;
  {
    StringMark mark;
    ProgramFolder(mark.Offset());
    mark.AssignTo(folder.Address());
  }
  return BundledToolIn(folder.Get(), name);
}

void ShowStatus(const char16_t* text) {
  SetGadgetText(GadgetStatus, text);
  PaintPendingUpdates();
}

void ReportMissingFolder(const char16_t* folder) {
  StringMark mark;
  AppendStrings({u"Folder ", folder, u" not found"});
  ShowMessageBox(u"Error", mark.Finish(), MessageCaution);
}

void ReportToolReason(const char16_t* reason) {
  if (*reason != u'\0') ShowMessageBox(u"Error", reason, MessageCaution);
}
