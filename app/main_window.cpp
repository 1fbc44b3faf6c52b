#include "app/main_window.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <memory>
#include <optional>
#include <utility>

#include "app/choices.h"
#include "app/command_line.h"
#include "app/floppy_workflow.h"
#include "app/identity.h"
#include "app/iso_workflow.h"
#include "app/tool_run.h"
#include "app/version.h"
#include "app/workflow_support.h"
#include "files/file_queries.h"
#include "gui/events/event_binding.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/button_gadget.h"
#include "gui/gadgets/combo_box_gadget.h"
#include "gui/gadgets/drag_drop.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/progress_bar_gadget.h"
#include "gui/gadgets/string_gadget.h"
#include "gui/gadgets/text_gadget.h"
#include "gui/requesters/message_requester.h"
#include "gui/requesters/path_requester.h"
#include "gui/shell/application.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"
#include "runtime/qstring_bridge.h"
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

// A label takes the room its text needs at the user's font size, which its field gives up at
// its left end; at the usual sizes both keep their places.
void FitLabel(int64_t label, const QString& text, int64_t field) {
  constexpr int kLabelX = 20, kLabelWidth = 100, kFieldRight = 490, kGap = 6;
  const std::optional<QFont> font = GetGadgetFont(label);
  if (!font) return;
  const int needed = QFontMetrics(*font).horizontalAdvance(text) + kGap;
  if (needed <= kLabelWidth) return;
  ResizeGadget(label, KeepValue, KeepValue, needed, KeepValue);
  ResizeGadget(field, kLabelX + needed, KeepValue, kFieldRight - kLabelX - needed, KeepValue);
}

// A labelled field across a page, with an optional "..." button at its right.
void CreateFieldRow(int32_t y, const char16_t* label_text, int64_t field, int64_t button) {
  const int64_t label = CreateTextGadget(AnyObject, 20, y, 100, 25, label_text, 0);
  CreateStringGadget(field, 120, y, 370, 25, u"", 0);
  if (button != AnyObject) CreateButtonGadget(button, 500, y, 40, 25, u"...", 0);
  FitLabel(label, StringToQString(label_text), field);
  NameGadgetByLabel(field, label);
}

// The rows below the original controls of each page, and the room the window grows by for
// them: the panel grows, and the status row moves down with its bottom. Each page's rows line
// up with the other's.
constexpr int32_t kAddedHeight = 100;
constexpr int32_t kFirstRowY = 125;
constexpr int32_t kSecondRowY = 155;
constexpr int32_t kImageRowY = 185;

// The floppy's "Format:" and "Size:" choices on one row, and its "Label:" below them.
void CreateFloppyRows() {
  const int64_t format = CreateTextGadget(AnyObject, 20, kFirstRowY, 100, 25, u"Format:", 0);
  CreateComboBoxGadget(GadgetFloppyFormat, 120, kFirstRowY, 170, 25);
  const int64_t size = CreateTextGadget(AnyObject, 310, kFirstRowY, 50, 25, u"Size:", 0);
  CreateComboBoxGadget(GadgetFloppySize, 360, kFirstRowY, 130, 25);
  const int64_t label = CreateTextGadget(AnyObject, 20, kSecondRowY, 100, 25, u"Label:", 0);
  // A FAT volume label: eleven characters, in upper case as DOS shows it.
  CreateStringGadget(GadgetFloppyLabel, 120, kSecondRowY, 170, 25, u"", StringFlagUpperCase);
  SetGadgetAttribute(GadgetFloppyLabel, StringAttributeMaximumLength, 11);
  NameGadgetByLabel(GadgetFloppyFormat, format);
  NameGadgetByLabel(GadgetFloppySize, size);
  NameGadgetByLabel(GadgetFloppyLabel, label);
}

void LayOutControls() {
  CreatePanelGadget(GadgetTabs, 10, 10, 580, 170 + kAddedHeight);

  AddGadgetItem(GadgetTabs, -1, u"ISO from Folder");
  CreateFieldRow(20, u"Source Folder:", GadgetSourcePath, GadgetBrowse);
  CreateButtonGadget(GadgetCreateIso, 440, 60, 100, 25, u"Create ISO", 0);
  CreateFieldRow(kFirstRowY, u"Volume name:", GadgetVolumeName, AnyObject);
  CreateTextGadget(GadgetVolumeNote, 120, kFirstRowY + 26, 420, 20, u"", 0);
  CreateFieldRow(kImageRowY, u"Save as:", GadgetIsoImagePath, GadgetIsoImageBrowse);

  AddGadgetItem(GadgetTabs, -1, u"Create Empty Floppy");
  FloppyDescription = CreateTextGadget(AnyObject, 20, 20, 320, 100, BlankFloppyDescription, 0);
  CreateButtonGadget(GadgetCreateFloppy, 430, 60, 110, 25, u"Create Floppy", 0);
  CreateFloppyRows();
  CreateFieldRow(kImageRowY, u"Save as:", GadgetFloppyImagePath, GadgetFloppyImageBrowse);
  EndGadgetList();

  CreateTextGadget(GadgetStatus, 20, 190 + kAddedHeight, 380, 25, u"", 0);
  // The free right part of the status row, level with the status text; shown during runs.
  CreateProgressBarGadget(GadgetProgress, 410, 193 + kAddedHeight, 170, 16, 0, 100);
  HideGadget(GadgetProgress, 1);
}

// Return in the source field presses "Create ISO" when it may be pressed. The field itself
// keeps Return to itself, as every field does.
void PressCreateIsoOnReturn() {
  const GadgetRecord* field = GadgetExists(GadgetSourcePath);
  const GadgetRecord* button = GadgetExists(GadgetCreateIso);
  if (field == nullptr || button == nullptr) return;
  auto* line_edit = qobject_cast<QLineEdit*>(field->view);
  auto* create_iso = qobject_cast<QAbstractButton*>(button->view);
  if (line_edit == nullptr || create_iso == nullptr) return;
  QObject::connect(line_edit, &QLineEdit::returnPressed, create_iso, [create_iso] {
    if (create_iso->isEnabled()) create_iso->click();
  });
}

// What screen readers say of the controls that show no words of their own; the "..." buttons
// tell sighted users the same in a tooltip.
void NameControls() {
  constexpr std::pair<int64_t, const char16_t*> kButtons[] = {
      {GadgetBrowse, u"Choose source folder"},
      {GadgetIsoImageBrowse, u"Choose where to save the ISO image"},
      {GadgetFloppyImageBrowse, u"Choose where to save the floppy image"},
  };
  for (const auto& [button, name] : kButtons) {
    GadgetAccessibleName(button, name);
    GadgetToolTip(button, name);
  }
  GadgetAccessibleName(GadgetProgress, u"Progress");
}

void BindHandlers() {
  BindGadgetHandler(GadgetBrowse, &OnBrowseFolder);
  BindGadgetHandler(GadgetSourcePath, &OnSourcePathChanged, SubtypeChange);
  BindGadgetHandler(GadgetCreateIso, &OnCreateIso);
  BindGadgetHandler(GadgetCreateFloppy, &OnCreateFloppy);
  BindGadgetHandler(GadgetIsoImageBrowse, &OnChooseIsoImage);
  BindGadgetHandler(GadgetFloppyImageBrowse, &OnChooseFloppyImage);
  BindGadgetHandler(GadgetVolumeName, &OnVolumeNameChanged, SubtypeChange);
  BindGadgetHandler(GadgetFloppyFormat, &OnFloppyFormatChanged, SubtypeChange);
  for (int64_t field : {GadgetIsoImagePath, GadgetFloppyImagePath, GadgetFloppyLabel})
    BindGadgetHandler(field, &OnTabFieldEdited, SubtypeChange);
  BindGadgetHandler(GadgetTabs, &OnTabChanged, SubtypeChange);
  PressCreateIsoOnReturn();
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
  SetApplicationIcon();
  if (OpenWindow(MainWindow, DefaultPosition, DefaultPosition, 600, 230 + kAddedHeight,
                 MainWindowTitle, kMainWindowFlags) == 0) {
    return 0;
  }
  LayOutControls();
  NameControls();
  BindHandlers();
  ResetControls();
  StringVariable documents = DocumentsFolder();
  SetGadgetText(GadgetSourcePath, documents.Get());
  const StringVariable desktop = DesktopFolder();
  SetGadgetText(GadgetIsoImagePath, ImagePath(desktop.Get(), DefaultIsoImageName).Get());
  SetGadgetText(GadgetFloppyImagePath, ImagePath(desktop.Get(), DefaultFloppyImageName).Get());
  OfferFloppyChoices();
  RestoreChoices();
  // A folder named on the command line takes the place of the remembered one; it is judged
  // as a typed one, while the Documents folder is enabled without looking: the field's next
  // edit decides again.
  if (!PutCommandLineFolder()) DisableGadget(GadgetCreateIso, 0);
  ShowVolumeName();
  ShowFloppyFormat();
  return 0;
}

int64_t ResetControls() {
  ClearStatuses();
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
  ShowVolumeName();
  ClearEndedStatus();
  return 0;
}

int64_t OnVolumeNameChanged() {
  ShowVolumeName();
  ClearEndedStatus();
  return 0;
}

int64_t OnTabFieldEdited() {
  ClearEndedStatus();
  return 0;
}

int64_t OnTabChanged() {
  ShowFrontTabStatus();
  return 0;
}

namespace {

// The save dialog at the image's present place; its choice fills the field. Whether to
// replace an existing image is asked when it comes to that, once.
void ChooseImagePath(int64_t field, const char16_t* title) {
  const StringVariable current = TrimmedGadgetText(field);
  StringMark mark;
  const char16_t* chosen =
      ChooseFileToSave(title, current.Get(), u"", 0, SaveWithoutReplaceQuestion, mark.Offset());
  if (!StringsEqual(chosen, u"")) SetGadgetText(field, chosen);
}

}  // namespace

int64_t OnChooseIsoImage() {
  ChooseImagePath(GadgetIsoImagePath, u"Save ISO image as");
  return 0;
}

int64_t OnChooseFloppyImage() {
  ChooseImagePath(GadgetFloppyImagePath, u"Save floppy image as");
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
  SetGadgetText(GadgetSourcePath, path);
  ShowStatus(u"");
  return OnSourcePathChanged();
}

namespace {

// A quit during a run would throw the image away, perhaps an hour's work: the user is asked,
// and Continue, the default, keeps the run. The question is asked inside the run's wait, so
// the run cannot end before it is answered even if its tool ends meanwhile. The question
// then stays rather than vanishing under the user's pointer, and its answer still counts:
// Continue shows the run's outcome, and Stop and Quit, with nothing left to stop, keeps the
// finished image and quits.
bool UserStopsTheRun() {
  if (!ToolRunning()) return true;
  return ShowMessageBox(u"Quit and stop creating the image?", nullptr,
                        MessageCaution | MessageYesNo | MessageDefaultNo,
                        MessageBoxOptions{.yes = u"Stop and Quit", .no = u"Continue"}) == AnswerYes;
}

}  // namespace

int64_t OnMainWindowClose() {
  if (!UserStopsTheRun()) return 0;
  StoreChoices();
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

namespace {

// The answer to the question about the user's quit now being handled. A quit event has no
// window, so its handlers run twice, one run right after the other; the second run takes
// the first one's answer rather than ask again.
std::optional<bool> AnsweredUserQuit;

// Whether the user's quit stands; asks only during a run.
bool UserQuitStands() {
  if (!ToolRunning()) return true;
  if (AnsweredUserQuit) return *std::exchange(AnsweredUserQuit, std::nullopt);
  AnsweredUserQuit = UserStopsTheRun();
  return *AnsweredUserQuit;
}

}  // namespace

int64_t OnQuitRequest() {
  // The subtype is read before the question, whose loop may take other events.
  if (CurrentEventSubtype() == QuitByUser && !UserQuitStands()) {
    // Taken from the queue, so that the main loop does not end on it. A quit of the
    // system's that came while the question was up stays queued and ends the program.
    PurgeEvents(EvMenuItem, QuitMenuItem, -1, QuitByUser);
    return 0;
  }
  // The event stays queued, and the main loop ends the program once the run's handler has
  // returned. A question that is up is answered No, so that no run begins.
  DismissRequesters();
  StoreChoices();
  CancelTool();
  return 0;
}
