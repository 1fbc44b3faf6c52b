#include "gui/gadgets/gadget_table.h"

#include "gui/events/event_binding.h"
#include "gui/events/event_queue.h"
#include "gui/gadgets/gadget_functions.h"
#include "gui/gadgets/gadget_view.h"
#include "runtime/object_table.h"

ObjectTable* GadgetTable = nullptr;

GadgetRecord* GadgetExists(int64_t gadget) {
  if (GadgetTable == nullptr) return nullptr;
  return static_cast<GadgetRecord*>(LookupObject(GadgetTable, gadget));
}

void ReleaseGadget(int64_t gadget) {
  GadgetRecord* record = GadgetExists(gadget);
  if (record == nullptr) return;
  UnbindObjectHandler(EvGadgetNotify, nullptr, record->window, gadget, -1);
  PurgeEvents(EvGadgetNotify, gadget, -1, -1);
  if (KzGadgetView* view = AsGadgetView(record->view)) view->setAlreadyDestroyed(true);
  KzGadgetFunctions* functions = record->functions;
  functions->FreeGadget();
  functions->detach();
  // The release may come from inside one of the functions object's own slots (a bound
  // callback that frees the gadget whose event it handles).
  functions->deleteLater();
  ReleaseObjectSlot(GadgetTable, gadget);
}
