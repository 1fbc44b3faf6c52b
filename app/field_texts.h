// The texts of the window's fields, kept beyond the StringStack's next use.
#pragma once

#include <cstdint>

#include "runtime/string_stack.h"

// A gadget's text, kept beyond the StringStack's next use; trimmed, without its leading and
// trailing blanks.
StringVariable GadgetTextOf(int64_t gadget);
StringVariable TrimmedGadgetText(int64_t gadget);
// The source field's text without its leading and trailing blanks.
StringVariable TrimmedSourcePath();
