#include "app/floppy_workflow.h"

#include "app/main_window.h"
#include "app/workflow_support.h"
#include "gui/gadgets/gadgets.h"
#include "gui/requesters/message_requester.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

constexpr int64_t kFloppyBlocks = 1440;
constexpr int64_t kFloppyBlockSize = 1024;
constexpr const char16_t* kFloppyImageName = u"Empty_Floppy.img";

void CreateFloppy(const char16_t* desktop) {
  StringVariable image;
  {
    StringMark mark;
    AppendStrings({desktop, u"/", kFloppyImageName});
    mark.AssignTo(image.Address());
  }
  if (IsExistingFile(image.Get()) &&
      ShowMessageBox(u"File Exists", u"File already exists - overwrite it?",
                     MessageCaution | MessageYesNo) == AnswerNo) {
    return;
  }
  SetGadgetText(GadgetStatus, u"Starting...");
  if (!MakeFloppyImage(kFloppyBlocks, kFloppyBlockSize, kFloppyImageName, desktop)) {
    SetGadgetText(GadgetStatus, u"ERROR: Failed to create floppy image");
    return;
  }
  StringMark mark;
  AppendStrings({u"Finished... Floppy image saved to ", image.Get()});
  SetGadgetText(GadgetStatus, mark.Finish());
}

}  // namespace

int64_t OnCreateFloppy() {
  StringVariable desktop = HomeSubfolder(u"Desktop");
  DisableGadget(GadgetCreateFloppy, 1);
  CreateFloppy(desktop.Get());
  DisableGadget(GadgetCreateFloppy, 0);
  return 0;
}

bool MakeFloppyImage(int64_t count, int64_t block_size, const char16_t* name,
                     const char16_t* folder) {
  StringVariable desktop;
  if (name == nullptr || *name == u'\0') name = u"myfloppy.img";
  if (folder == nullptr || *folder == u'\0') {
    desktop = HomeSubfolder(u"Desktop");
    folder = desktop.Get();
  }
  if (!IsFolder(folder) || !CanQuoteForTool(folder) || !CanQuoteForTool(name)) return false;

  // The whole of=... argument goes between quotes so that a blank in the path cannot
  // split it.
  StringMark mark;
  AppendStrings({u"if=/dev/zero \"of=", folder, u"/", name, u"\" bs="});
  IntegerToString(block_size, StringStackPosition);
  AppendString(u" count=");
  IntegerToString(count, StringStackPosition);
  return RunToolToCompletion(u"dd", mark.Finish());
}
