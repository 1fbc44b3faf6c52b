#include "app/controls.h"

#include <QEvent>
#include <QObject>
#include <QWidget>
#include <array>
#include <optional>
#include <span>

#include "gui/gadgets/drag_drop.h"
#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/progress_bar_gadget.h"

int64_t FloppyDescription = 0;

namespace {

std::optional<RunKind> ActiveRun;

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

// Disables (or enables again) what would start something else during a run of kind. The
// other tab goes with its page and every gadget on it, which keep their own states.
void SetRunControls(RunKind kind, bool running) {
  const int32_t disable = running ? 1 : 0;
  SetGadgetItemAttribute(GadgetTabs, kind == RunKind::Iso ? FloppyTab : IsoTab,
                         PanelItemAttributeDisabled, disable);
  static constexpr std::array<int64_t, 5> kIsoInputs = {
      GadgetSourcePath, GadgetBrowse, GadgetVolumeName, GadgetIsoImagePath, GadgetIsoImageBrowse};
  static constexpr std::array<int64_t, 5> kFloppyInputs = {
      GadgetFloppyImagePath, GadgetFloppyImageBrowse, GadgetFloppyFormat, GadgetFloppySize,
      GadgetFloppyLabel};
  const std::span<const int64_t> inputs = kind == RunKind::Iso
                                              ? std::span<const int64_t>(kIsoInputs)
                                              : std::span<const int64_t>(kFloppyInputs);
  for (int64_t input : inputs)
    DisableGadget(input, disable);
  if (kind == RunKind::Iso) {
    SetGadgetText(GadgetCreateIso, running ? u"Cancel" : u"Create ISO");
    DisableGadget(GadgetCreateIso, 0);
    FilterSecondClicks(GadgetCreateIso, running);
  }
  // A drag over the window is refused while it could not be taken.
  for (int64_t target : FolderDropTargets)
    EnableGadgetDrop(target, running ? 0 : DropTypeFiles);
  SetGadgetAttribute(GadgetProgress, ProgressBarMaximum, kind == RunKind::Iso ? 100 : 0);
  SetGadgetState(GadgetProgress, 0);
  HideGadget(GadgetProgress, disable ^ 1);
}

}  // namespace

void BeginRunControls(RunKind kind) {
  ActiveRun = kind;
  SetRunControls(kind, true);
}

void EndRunControls(RunKind kind) {
  SetRunControls(kind, false);
  ActiveRun.reset();
}

bool IsoRunActive() {
  return ActiveRun == RunKind::Iso;
}
