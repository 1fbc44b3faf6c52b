#include "app/field_texts.h"

#include "app/controls.h"
#include "gui/gadgets/gadgets.h"
#include "runtime/string_utils.h"

StringVariable GadgetTextOf(int64_t gadget) {
  StringMark mark;
  GetGadgetText(gadget, mark.Offset());
  return std::move(mark).Keep();
}

StringVariable TrimmedGadgetText(int64_t gadget) {
  StringMark mark;
  TrimSpaces(GetGadgetText(gadget, mark.Offset()), mark.Offset());
  return std::move(mark).Keep();
}

StringVariable TrimmedSourcePath() {
  return TrimmedGadgetText(GadgetSourcePath);
}
