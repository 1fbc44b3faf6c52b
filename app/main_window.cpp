#include "app/main_window.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <memory>
#include <optional>

#include "app/command_line.h"
#include "app/floppy_workflow.h"
#include "app/iso_workflow.h"
#include "app/tool_run.h"
#include "app/version.h"
#include "app/workflow_support.h"
#include "files/file_queries.h"
#include "gui/events/event_binding.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/button_gadget.h"
#include "gui/gadgets/drag_drop.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/progress_bar_gadget.h"
#include "gui/gadgets/string_gadget.h"
#include "gui/gadgets/text_gadget.h"
#include "gui/requesters/message_requester.h"
#include "gui/requesters/path_requester.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

// Centred on the screen with a close button: WinCentreOnScreen + WinClosable.
constexpr int32_t kMainWindowFlags = WinCentreOnScreen | WinClosable;

// Escape alone, in the main window, is the Cancel of a run.
class EscapeKey final : public KzWindowShortcut {
 public:
  bool isEventMatch(const QKeyEvent* event, int32_t* item) const override {
    if (event->key() != Qt::Key_Escape || event->modifiers() != Qt::NoModifier) return false;
    *item = CancelMenuItem;
    return true;
  }
};

// "Source Folder:" takes the room its text needs at the user's font size, which the field
// gives up at its left end; at the usual sizes both keep their places.
void FitSourceLabel(int64_t label) {
  constexpr int kLabelX = 20, kLabelWidth = 100, kFieldRight = 490, kGap = 6;
  const std::optional<QFont> font = GetGadgetFont(label);
  if (!font) return;
  const int needed = QFontMetrics(*font).horizontalAdvance(QStringLiteral("Source Folder:")) + kGap;
  if (needed <= kLabelWidth) return;
  ResizeGadget(label, KeepValue, KeepValue, needed, KeepValue);
  ResizeGadget(GadgetSourcePath, kLabelX + needed, KeepValue, kFieldRight - kLabelX - needed,
               KeepValue);
}

void LayOutControls() {
  CreatePanelGadget(GadgetTabs, 10, 10, 580, 170);

  AddGadgetItem(GadgetTabs, -1, u"ISO from Folder");
  const int64_t source_label = CreateTextGadget(AnyObject, 20, 20, 100, 25, u"Source Folder:", 0);
  CreateStringGadget(GadgetSourcePath, 120, 20, 370, 25, u"", 0);
  FitSourceLabel(source_label);
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
  // The free right part of the status row, level with the status text; shown during runs.
  CreateProgressBarGadget(GadgetProgress, 410, 193, 170, 16, 0, 100);
  HideGadget(GadgetProgress, 1);
}

void BindHandlers() {
  BindGadgetHandler(GadgetBrowse, &OnBrowseFolder);
  BindGadgetHandler(GadgetSourcePath, &OnSourcePathChanged, SubtypeChange);
  BindGadgetHandler(GadgetCreateIso, &OnCreateIso);
  BindGadgetHandler(GadgetCreateFloppy, &OnCreateFloppy);
  BindEventHandler(EvCloseRequest, &OnMainWindowClose, MainWindow);
  // A folder dragged from a file manager onto the field or anywhere on the ISO tab.
  for (int64_t target : FolderDropTargets) {
    EnableGadgetDrop(target, DropTypeFiles);
    BindObjectHandlerAnySubtype(EvDropOnGadget, &OnFolderDropped, MainWindow, target);
  }
  AddWindowShortcut(MainWindow, std::make_unique<EscapeKey>());
  BindObjectHandlerAnySubtype(EvMenuItem, &OnCancelKey, MainWindow, CancelMenuItem);
  // The quit command comes from the application menu, which belongs to no window.
  BindObjectHandlerAnySubtype(EvMenuItem, &OnQuitRequest, -1, QuitMenuItem);
}

}  // namespace

int64_t BuildMainWindow() {
  if (OpenWindow(MainWindow, DefaultPosition, DefaultPosition, 600, 230, MainWindowTitle,
                 kMainWindowFlags) == 0) {
    return 0;
  }
  LayOutControls();
  BindHandlers();
  ResetControls();
  // A folder named on the command line takes the Documents folder's place.
  if (PutCommandLineFolder()) return 0;
  StringVariable documents = DocumentsFolder();
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
  // The chooser starts at the folder in the field, else at the home folder.
  StringVariable start = TrimmedSourcePath();
  if (!IsFolder(start.Get())) {
    StringMark mark;
    UserHomeFolder(mark.Offset());
    start = std::move(mark).Keep();
  }
  StringMark mark;
  const char16_t* chosen = ChooseFolder(u"Select source folder", start.Get(), mark.Offset());
  // A cancelled chooser leaves the field as it was.
  if (StringsEqual(chosen, u"")) return 0;
  SetGadgetText(GadgetSourcePath, mark.Finish());
  // Setting the text raises no change event; the choice is judged as typing would be.
  return OnSourcePathChanged();
}

int64_t OnSourcePathChanged() {
  // An empty path names no folder.
  DisableGadget(GadgetCreateIso, IsFolder(TrimmedSourcePath().Get()) ? 0 : 1);
  return 0;
}

int64_t OnFolderDropped() {
  if (ToolRunning()) return 0;
  // A folder dropped on the floppy tab is meant for an ISO: the tab with the field comes to
  // the front.
  SetGadgetState(GadgetTabs, IsoTab);
  const DropRecord* drop = CurrentDropRecord();
  if (CountDropFiles(drop) != 1) {
    ShowStatus(u"Drop a single folder to make an ISO of it.");
    return 0;
  }
  StringMark mark;
  const char16_t* path = DropFile(drop, 0, mark.Offset());
  if (!IsFolder(path)) {
    ShowStatus(u"Only a folder can be made into an ISO.");
    return 0;
  }
  if (!CanQuoteForTool(path)) {
    ShowStatus(UnquotablePathText(path).Get());
    return 0;
  }
  SetGadgetText(GadgetSourcePath, path);
  ShowStatus(u"");
  return OnSourcePathChanged();
}

int64_t OnMainWindowClose() {
  // A run ends first; its handler returns once the tool has gone. The window stays open:
  // the main loop ends the program when it takes this event.
  CancelTool();
  PostUserEvent(EndRequestEvent);
  return 0;
}

int64_t OnCancelKey() {
  if (IsoRunActive()) CancelTool();
  return 0;
}

int64_t OnQuitRequest() {
  // The event stays queued, and the main loop ends the program once the run's handler has
  // returned. A question that is up is answered No, so that no run begins.
  DismissRequesters();
  CancelTool();
  return 0;
}
