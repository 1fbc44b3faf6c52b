#include "app/controls.h"

#include <optional>

#include "gui/gadgets/gadgets.h"
#include "gui/gadgets/panel_gadget.h"
#include "gui/gadgets/progress_bar_gadget.h"

namespace {

std::optional<RunKind> ActiveRun;

// Disables (or enables again) what would start something else during a run of kind. The
// other tab goes with its page and every gadget on it, which keep their own states.
void SetRunControls(RunKind kind, bool running) {
  const int32_t disable = running ? 1 : 0;
  SetGadgetItemAttribute(GadgetTabs, kind == RunKind::Iso ? FloppyTab : IsoTab,
                         PanelItemAttributeDisabled, disable);
  if (kind == RunKind::Iso) {
    DisableGadget(GadgetSourcePath, disable);
    DisableGadget(GadgetBrowse, disable);
    SetGadgetText(GadgetCreateIso, running ? u"Cancel" : u"Create ISO");
    DisableGadget(GadgetCreateIso, 0);
  }
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
