#include "app/status_line.h"

#include <array>

#include "app/controls.h"
#include "app/tool_run.h"
#include "gui/events/event_loop.h"
#include "gui/gadgets/gadgets.h"
#include "runtime/string_stack.h"

namespace {

// The last status of each tab, by tab item, and the image it offers to show.
struct TabStatus {
  StringVariable text;
  StringVariable image;
};
std::array<TabStatus, 2> TabStatuses;

TabStatus& FrontTabStatus() {
  return TabStatuses[GetGadgetState(GadgetTabs) == FloppyTab ? FloppyTab : IsoTab];
}

}  // namespace

void ShowStatus(const char16_t* text, const char16_t* image) {
  TabStatus& status = FrontTabStatus();
  status.text = text;
  status.image = image;
  ShowFrontTabStatus();
  PaintPendingUpdates();
}

void ShowFrontTabStatus() {
  const TabStatus& status = FrontTabStatus();
  ShowStatusRow(status.text.Get(), status.image.Get());
}

void ClearEndedStatus() {
  if (!ToolRunning()) ShowStatus(u"");
}

void ClearStatuses() {
  for (TabStatus& status : TabStatuses)
    status = {};
  ShowStatusRow(u"");
}
