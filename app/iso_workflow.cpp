#include "app/iso_workflow.h"

#include "app/main_window.h"
#include "app/workflow_support.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

constexpr const char16_t* kDefaultImageName = u"output.iso";

// Reports a folder that is missing and cancels.
void ReportMissingFolder(const char16_t* folder) {
  StringMark mark;
  AppendStrings({u"Folder ", folder, u" not found"});
  ShowMessageBox(u"Error", mark.Finish(), MessageCaution);
  SetGadgetText(GadgetStatus, u"ISO creation was cancelled");
}

// Refuses a path that the tool would receive changed, and cancels.
bool RefuseUnquotablePath(const char16_t* path) {
  if (CanQuoteForTool(path)) return false;
  StringMark mark;
  AppendStrings({u"The path ", path, u" contains a character that cannot be passed to the tool"});
  ShowMessageBox(u"Error", mark.Finish(), MessageCaution);
  SetGadgetText(GadgetStatus, u"ISO creation was cancelled");
  return true;
}

StringVariable TrimmedSourcePath() {
  StringVariable source;
  StringMark mark;
  const char16_t* text = GetGadgetText(GadgetSourcePath, mark.Offset());
  TrimSpaces(text, mark.Offset());
  mark.AssignTo(source.Address());
  return source;
}

StringVariable ImagePath(const char16_t* folder, const char16_t* name) {
  StringVariable path;
  StringMark mark;
  AppendStrings({folder, u"/", name});
  mark.AssignTo(path.Address());
  return path;
}

// Checks, asks and runs; the caller enables the button again whatever happens here.
void CreateIso(const char16_t* source, const char16_t* desktop) {
  if (!IsFolder(source)) return ReportMissingFolder(source);
  if (!IsFolder(desktop)) return ReportMissingFolder(desktop);
  StringVariable image = ImagePath(desktop, kDefaultImageName);
  if (RefuseUnquotablePath(source) || RefuseUnquotablePath(image.Get())) return;
  if (IsExistingFile(image.Get()) &&
      ShowMessageBox(u"File Exists", u"File already exists - overwrite it?",
                     MessageCaution | MessageYesNo) == AnswerNo) {
    return;
  }
  SetGadgetText(GadgetStatus, u"Starting...");
  if (!MakeIsoImage(source, desktop, u"")) {
    SetGadgetText(GadgetStatus, u"ERROR: Failed to create ISO");
    return;
  }
  StringMark mark;
  AppendStrings({u"Finished... ISO saved to ", image.Get()});
  SetGadgetText(GadgetStatus, mark.Finish());
}

}  // namespace

int64_t OnCreateIso() {
  StringVariable source = TrimmedSourcePath();
  StringVariable desktop = HomeSubfolder(u"Desktop");
  DisableGadget(GadgetCreateIso, 1);
  SetGadgetText(GadgetStatus, u"Checking...");
  CreateIso(source.Get(), desktop.Get());
  DisableGadget(GadgetCreateIso, 0);
  return 0;
}

bool MakeIsoImage(const char16_t* source, const char16_t* folder, const char16_t* name) {
  StringVariable desktop;
  if (folder == nullptr || *folder == u'\0') {
    desktop = HomeSubfolder(u"Desktop");
    folder = desktop.Get();
  }
  if (name == nullptr || *name == u'\0') name = kDefaultImageName;
  if (!IsFolder(source) || !IsFolder(folder)) return false;
  StringVariable image = ImagePath(folder, name);
  if (!CanQuoteForTool(image.Get()) || !CanQuoteForTool(source)) return false;

  // Each path between quotes reaches the tool as one argument. The user has been asked
  // before any replacement, so -ov lets the tool replace an existing image.
  StringMark mark;
  AppendStrings({u"makehybrid -o \"", image.Get(), u"\" \"", source, u"\" -iso -joliet -ov"});
  return RunToolToCompletion(u"hdiutil", mark.Finish());
}
