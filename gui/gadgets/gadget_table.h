// The gadget table: the record behind every gadget number, its lookup and its release.
//
// A gadget is a view of its kind (gadget_view.h), a functions object that implements the
// gadget operations for the kind (gadget_functions.h) and a GadgetRecord in GadgetTable that
// ties the number to both and to its window. The views and drag and drop need no more of the
// gadgets than this; the operations on gadgets are in gadgets.h. Main thread only.
#pragma once

#include <cstdint>

class KzGadgetFunctions;
class QWidget;
struct ObjectTable;

// The gadget table's record; view is the live marker.
struct GadgetRecord {
  QWidget* view;       // receives text, state, font, tooltip, enabling and the focus
  QWidget* container;  // placed, sized, hidden and removed; the view itself for every kind
  KzGadgetFunctions* functions;  // owned: released with the record
  int64_t window;                // the window current at creation, -1 for none
  int32_t type;
  int32_t flags;  // as passed at creation
};

// Created by InitGadgets; its free function is FreeGadget.
extern ObjectTable* GadgetTable;

// The live record of a gadget number or handle, null when there is none.
GadgetRecord* GadgetExists(int64_t gadget);

// Releases the record: drops the gadget's bindings and its queued events, tells the
// functions object and releases it. The view is left alone; it is marked so that its
// destruction does not release the number again. Unknown numbers are ignored.
void ReleaseGadget(int64_t gadget);
