#include "gui/events/event_binding.h"

// Bindings arrive with the binding map; until then no event has bound callbacks.
void RunBoundCallbacks(int32_t, int64_t, int64_t, int64_t) {}
