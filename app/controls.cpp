#include "app/controls.h"

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <algorithm>
#include <array>
#include <optional>
#include <span>

#include "gui/gadgets/drag_drop.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/progress_bar_gadget.h"
#include "gui/shell/desktop_services.h"

int64_t FloppyDescription = 0;

namespace {

std::optional<RunKind> ActiveRun;

// Set by RunFocus while the focus belongs to the run's button; where it is during the run.
bool RunKeepsFocus = false;
QPointer<QWidget> FocusDuringRun;

QWidget* ViewOf(int64_t gadget) {
  const GadgetRecord* record = GadgetExists(gadget);
  return record != nullptr ? record->view : nullptr;
}

// The second click of a double click on "Create ISO" reaches the button once it already
// reads "Cancel". The window system delivers that click as a double-click press, which this
// swallows, so that only a click of its own cancels.
class SecondClickFilter final : public QObject {
 public:
  bool eventFilter(QObject*, QEvent* event) override {
    return event->type() == QEvent::MouseButtonDblClick;
  }
};

SecondClickFilter SecondClicks;

void FilterSecondClicks(int64_t gadget, bool filter) {
  GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return;
  if (filter) {
    record->view->installEventFilter(&SecondClicks);
  } else {
    record->view->removeEventFilter(&SecondClicks);
  }
}

// The inputs of the tab of a run of kind.
std::span<const int64_t> RunInputs(RunKind kind) {
  static constexpr std::array<int64_t, 5> kIsoInputs = {
      GadgetSourcePath, GadgetBrowse, GadgetVolumeName, GadgetIsoImagePath, GadgetIsoImageBrowse};
  static constexpr std::array<int64_t, 5> kFloppyInputs = {
      GadgetFloppyImagePath, GadgetFloppyImageBrowse, GadgetFloppyFormat, GadgetFloppySize,
      GadgetFloppyLabel};
  if (kind == RunKind::Iso) return kIsoInputs;
  return kFloppyInputs;
}

// Disables (or enables again) what would start something else during a run of kind. The
// other tab goes with its page and every gadget on it, which keep their own states.
void SetRunControls(RunKind kind, bool running) {
  const int32_t disable = running ? 1 : 0;
  SetGadgetItemAttribute(GadgetTabs, kind == RunKind::Iso ? FloppyTab : IsoTab,
                         PanelItemAttributeDisabled, disable);
  for (int64_t input : RunInputs(kind))
    DisableGadget(input, disable);
  if (kind == RunKind::Iso) {
    SetGadgetText(GadgetCreateIso, running ? u"Cancel" : u"Create ISO");
    DisableGadget(GadgetCreateIso, 0);
    FilterSecondClicks(GadgetCreateIso, running);
  }
  // A drag over the window is refused while it could not be taken.
  for (int64_t target : FolderDropTargets)
    EnableGadgetDrop(target, running ? 0 : DropTypeFiles);
  // A busy bar, until the tool says how far it has come (a floppy's never does).
  SetGadgetAttribute(GadgetProgress, ProgressBarMaximum, 0);
  SetGadgetState(GadgetProgress, 0);
  HideGadget(GadgetProgress, disable ^ 1);
  FitStatusRow();
}

}  // namespace

void BeginRunControls(RunKind kind) {
  ActiveRun = kind;
  SetRunControls(kind, true);
  if (!RunKeepsFocus) return;
  // Disabling the focused control sent the focus on to the tab bar, where Space no longer
  // cancels.
  if (kind == RunKind::Iso) ActivateGadget(GadgetCreateIso);
  FocusDuringRun = QApplication::focusWidget();
}

void EndRunControls(RunKind kind) {
  SetRunControls(kind, false);
  HideTaskbarProgress();
  ActiveRun.reset();
}

bool IsoRunActive() {
  return ActiveRun == RunKind::Iso;
}

RunFocus::RunFocus(RunKind kind)
    : button_(kind == RunKind::Iso ? GadgetCreateIso : GadgetCreateFloppy) {
  const QWidget* focus = QApplication::focusWidget();
  // The button and the inputs of its tab go disabled, and the focus with them.
  const std::span<const int64_t> inputs = RunInputs(kind);
  RunKeepsFocus = focus != nullptr &&
                  (focus == ViewOf(button_) || std::ranges::any_of(inputs, [focus](int64_t input) {
                     return focus == ViewOf(input);
                   }));
  FocusDuringRun = nullptr;
}

RunFocus::~RunFocus() {
  const QWidget* focus = QApplication::focusWidget();
  const bool moved_by_user =
      FocusDuringRun != nullptr && focus != nullptr && focus != FocusDuringRun;
  if (RunKeepsFocus && !moved_by_user) ActivateGadget(button_);
  RunKeepsFocus = false;
  FocusDuringRun = nullptr;
}
