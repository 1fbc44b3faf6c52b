#include "app/main_window.h"

#include "app/floppy_workflow.h"
#include "app/iso_workflow.h"
#include "app/lifecycle.h"
#include "app/workflow_support.h"
#include "files/file_queries.h"
#include "gui/events/event_binding.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/button_gadget.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/string_gadget.h"
#include "gui/gadgets/text_gadget.h"
#include "gui/requesters/path_requester.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

// Centred on the screen with a close button: WinCentreOnScreen + WinClosable.
constexpr int32_t kMainWindowFlags = WinCentreOnScreen | WinClosable;

void LayOutControls() {
  CreatePanelGadget(GadgetTabs, 10, 10, 580, 170);

  AddGadgetItem(GadgetTabs, -1, u"ISO from Folder");
  CreateTextGadget(AnyObject, 20, 20, 100, 25, u"Source Folder:", 0);
  CreateStringGadget(GadgetSourcePath, 120, 20, 370, 25, u"", 0);
  CreateButtonGadget(GadgetBrowse, 500, 20, 40, 25, u"...", 0);
  CreateButtonGadget(GadgetCreateIso, 440, 60, 100, 25, u"Create ISO", 0);

  AddGadgetItem(GadgetTabs, -1, u"Create Empty Floppy");
  CreateTextGadget(AnyObject, 20, 20, 320, 100,
                   u"This will create an empty, unformatted floppy disk image on your desktop, "
                   u"for use with, for example, VirtualBox, VMWare etc",
                   0);
  CreateButtonGadget(GadgetCreateFloppy, 430, 60, 110, 25, u"Create Floppy", 0);
  EndGadgetList();

  CreateTextGadget(GadgetStatus, 20, 190, 380, 25, u"", 0);
}

void BindHandlers() {
  BindGadgetHandler(GadgetBrowse, &OnBrowseFolder);
  BindGadgetHandler(GadgetSourcePath, &OnSourcePathChanged, SubtypeChange);
  BindGadgetHandler(GadgetCreateIso, &OnCreateIso);
  BindGadgetHandler(GadgetCreateFloppy, &OnCreateFloppy);
  BindEventHandler(EvCloseRequest, &OnMainWindowClose, MainWindow);
}

}  // namespace

int64_t BuildMainWindow() {
  if (OpenWindow(MainWindow, DefaultPosition, DefaultPosition, 600, 230, u"Brevik V1.2.5",
                 kMainWindowFlags) == 0) {
    return 0;
  }
  LayOutControls();
  BindHandlers();
  ResetControls();
  StringVariable documents = HomeSubfolder(u"Documents");
  SetGadgetText(GadgetSourcePath, documents.Get());
  // Enabled without looking: the field's next edit decides again.
  DisableGadget(GadgetCreateIso, 0);
  return 0;
}

int64_t ResetControls() {
  SetGadgetText(GadgetStatus, u"");
  SetGadgetText(GadgetSourcePath, u"");
  DisableGadget(GadgetCreateIso, 1);
  ActivateGadget(GadgetSourcePath);
  return 0;
}

int64_t OnBrowseFolder() {
  StringVariable home;
  {
    StringMark mark;
    UserHomeFolder(mark.Offset());
    mark.AssignTo(home.Address());
  }
  StringMark mark;
  const char16_t* chosen = ChooseFolder(u"Select source folder", home.Get(), mark.Offset());
  // A cancelled chooser leaves the field as it was. Setting the text raises no change
  // event, so "Create ISO" keeps its state until the next edit.
  if (!StringsEqual(chosen, u"")) SetGadgetText(GadgetSourcePath, mark.Finish());
  return 0;
}

int64_t OnSourcePathChanged() {
  StringMark mark;
  const char16_t* text = GetGadgetText(GadgetSourcePath, mark.Offset());
  text = TrimSpaces(text, mark.Offset());
  const bool usable = *text != u'\0' && IsFolder(text);
  DisableGadget(GadgetCreateIso, usable ? 0 : 1);
  return 0;
}

int64_t OnMainWindowClose() {
  // The window stays open: the main loop ends the program when it takes this event.
  PostUserEvent(EndRequestEvent);
  return 0;
}
