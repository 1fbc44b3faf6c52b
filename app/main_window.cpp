#include "app/main_window.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>

#include "app/choices.h"
#include "app/command_line.h"
#include "app/field_texts.h"
#include "app/floppy_workflow.h"
#include "app/identity.h"
#include "app/iso_workflow.h"
#include "app/places.h"
#include "app/status_line.h"
#include "app/tool_run.h"
#include "app/version.h"
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
#include "gui/shell/desktop_services.h"
#include "gui/windows/windows.h"
#include "runtime/object_table.h"
#include "runtime/qstring_bridge.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

// The layout's coordinates are drawn for text whose lines are at most 16 pixels high, as
// the usual 9 and 10 point fonts' are. Taller text scales every coordinate and size, the
// window's too, by its height, so that the whole layout keeps its proportions.
constexpr double kDesignLineHeight = 16;
double LayoutScale = 1;

void MeasureLayoutScale() {
  // A widget takes the font of a style sheet only when polished, as the window's will be.
  QWidget probe;
  probe.ensurePolished();
  LayoutScale = std::max(1.0, QFontMetrics(probe.font()).height() / kDesignLineHeight);
}

}  // namespace

int32_t Units(int32_t design) {
  return static_cast<int32_t>(std::lround(design * LayoutScale));
}

namespace {

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

// A label takes the room its text needs at the user's font, which its field gives up at its
// left end; at the usual sizes both keep their places.
void FitLabel(int64_t label, const QString& text, int64_t field) {
  const int32_t label_x = Units(20), label_width = Units(100), field_right = Units(490);
  const std::optional<QFont> font = GetGadgetFont(label);
  if (!font) return;
  const int needed = QFontMetrics(*font).horizontalAdvance(text) + Units(6);
  if (needed <= label_width) return;
  ResizeGadget(label, KeepValue, KeepValue, needed, KeepValue);
  ResizeGadget(field, label_x + needed, KeepValue, field_right - label_x - needed, KeepValue);
}

// Gadgets at their places of the layout: a label, and a button of one row's height.
int64_t CreateLabel(int64_t number, int32_t x, int32_t y, int32_t width, int32_t height,
                    const char16_t* text, int32_t flags = 0) {
  return CreateTextGadget(number, Units(x), Units(y), Units(width), Units(height), text, flags);
}

void CreateButton(int64_t number, int32_t x, int32_t y, int32_t width, const char16_t* text) {
  CreateButtonGadget(number, Units(x), Units(y), Units(width), Units(25), text, 0);
}

// A labelled field across a page, with an optional "..." button at its right.
void CreateFieldRow(int32_t y, const char16_t* label_text, int64_t field, int64_t button) {
  const int64_t label = CreateLabel(AnyObject, 20, y, 100, 25, label_text);
  CreateStringGadget(field, Units(120), Units(y), Units(370), Units(25), u"", 0);
  if (button != AnyObject) CreateButton(button, 500, y, 40, u"...");
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

// The window, and the status row below the panel: the status text at its left, the progress
// bar or "Show in folder" at its right when one of them shows.
constexpr int32_t kWindowWidth = 600;
constexpr int32_t kWindowHeight = 230 + kAddedHeight;
constexpr int32_t kRowHeight = 25;
constexpr int32_t kStatusX = 20;
constexpr int32_t kStatusY = 190 + kAddedHeight;
constexpr int32_t kRowRight = 580;
constexpr int32_t kStatusBesideBar = 380;
constexpr int32_t kShowInFolderWidth = 120;
constexpr int32_t kRowGap = 10;

StringVariable ShownImage;

// The floppy's "Format:" and "Size:" choices on one row, and its "Label:" below them.
void CreateFloppyRows() {
  const int64_t format = CreateLabel(AnyObject, 20, kFirstRowY, 100, 25, u"Format:");
  CreateComboBoxGadget(GadgetFloppyFormat, Units(120), Units(kFirstRowY), Units(170), Units(25));
  const int64_t size = CreateLabel(AnyObject, 310, kFirstRowY, 50, 25, u"Size:");
  CreateComboBoxGadget(GadgetFloppySize, Units(360), Units(kFirstRowY), Units(130), Units(25));
  const int64_t label = CreateLabel(AnyObject, 20, kSecondRowY, 100, 25, u"Label:");
  // A FAT volume label: eleven characters, in upper case as DOS shows it.
  CreateStringGadget(GadgetFloppyLabel, Units(120), Units(kSecondRowY), Units(170), Units(25), u"",
                     StringFlagUpperCase);
  SetGadgetAttribute(GadgetFloppyLabel, StringAttributeMaximumLength, 11);
  NameGadgetByLabel(GadgetFloppyFormat, format);
  NameGadgetByLabel(GadgetFloppySize, size);
  NameGadgetByLabel(GadgetFloppyLabel, label);
}

void LayOutControls() {
  CreatePanelGadget(GadgetTabs, Units(10), Units(10), Units(580), Units(170 + kAddedHeight));

  AddGadgetItem(GadgetTabs, -1, u"ISO from Folder");
  CreateFieldRow(20, u"Source Folder:", GadgetSourcePath, GadgetBrowse);
  CreateButton(GadgetCreateIso, 440, 60, 100, u"Create ISO");
  CreateFieldRow(kFirstRowY, u"Volume name:", GadgetVolumeName, AnyObject);
  // Two lines' room, down to the "Save as:" row: a long name makes a long note.
  CreateLabel(GadgetVolumeNote, 120, kFirstRowY + 26, 450, kImageRowY - kFirstRowY - 26, u"");
  CreateFieldRow(kImageRowY, u"Save as:", GadgetIsoImagePath, GadgetIsoImageBrowse);

  AddGadgetItem(GadgetTabs, -1, u"Create Empty Floppy");
  FloppyDescription = CreateLabel(AnyObject, 20, 20, 320, 100, BlankFloppyDescription);
  CreateButton(GadgetCreateFloppy, 430, 60, 110, u"Create Floppy");
  CreateFloppyRows();
  CreateFieldRow(kImageRowY, u"Save as:", GadgetFloppyImagePath, GadgetFloppyImageBrowse);
  EndGadgetList();

  CreateLabel(GadgetStatus, kStatusX, kStatusY, kStatusBesideBar, kRowHeight, u"", TextFlagToolTip);
  // The free right part of the status row, level with the status text; shown during runs.
  constexpr int32_t kBarX = kStatusX + kStatusBesideBar + kRowGap;
  CreateProgressBarGadget(GadgetProgress, Units(kBarX), Units(kStatusY + 3),
                          Units(kRowRight - kBarX), Units(16), 0, 100);
  HideGadget(GadgetProgress, 1);
  // In the same place once a run has saved its image.
  CreateButton(GadgetShowInFolder, kRowRight - kShowInFolderWidth, kStatusY, kShowInFolderWidth,
               u"Show in folder");
  HideGadget(GadgetShowInFolder, 1);
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
  BindGadgetHandler(GadgetShowInFolder, &OnShowInFolder);
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
  MeasureLayoutScale();
  if (OpenWindow(MainWindow, DefaultPosition, DefaultPosition, Units(kWindowWidth),
                 Units(kWindowHeight), MainWindowTitle, kMainWindowFlags) == 0) {
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

int64_t OnShowInFolder() {
  ShowInFolder(ShownImage.Get());
  return 0;
}

void ShowStatusRow(const char16_t* text, const char16_t* image) {
  ShownImage = image;
  SetGadgetText(GadgetStatus, text);
  HideGadget(GadgetShowInFolder, *ShownImage.Get() == u'\0' ? 1 : 0);
  FitStatusRow();
}

void FitStatusRow() {
  const GadgetRecord* bar = GadgetExists(GadgetProgress);
  const GadgetRecord* show = GadgetExists(GadgetShowInFolder);
  if (bar == nullptr || show == nullptr) return;
  int32_t width = Units(kRowRight - kStatusX);
  if (!bar->view->isHidden()) {
    width = Units(kStatusBesideBar);
  } else if (!show->view->isHidden()) {
    width = Units(kRowRight - kShowInFolderWidth - kRowGap - kStatusX);
  }
  // A text that needs more lines than the row has gets them, and the window grows with it.
  const int32_t height = std::max(Units(kRowHeight), TextHeightAtWidth(GadgetStatus, width));
  ResizeGadget(GadgetStatus, KeepValue, KeepValue, width, height);
  SizeWindow(MainWindow, Units(kWindowWidth), Units(kWindowHeight) + height - Units(kRowHeight));
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
