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

void AppendStrings(std::initializer_list<const char16_t*> pieces) {
  for (const char16_t* piece : pieces)
    AppendString(piece);
}

StringVariable HomeSubfolder(const char16_t* name) {
  StringVariable path;
  StringMark mark;
  UserHomeFolder(mark.Offset());
  AppendString(name);
  mark.AssignTo(path.Address());
  return path;
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
