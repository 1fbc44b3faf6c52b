// The one way to include libisofs.h: it uses the fixed-width integer types without including
// their header, and it declares struct burn_source, the reader of a finished image stream,
// only for programs that do not include libburn.h.
#pragma once

#include <cstdint>

#define LIBISOFS_WITHOUT_LIBBURN 1
#include <libisofs.h>
