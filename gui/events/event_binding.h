// Callbacks bound to event patterns (kind, window, object, subtype).
#pragma once

#include <cstdint>

// Runs the callbacks bound under the key (kind, window, object) whose subtype equals
// subtype or is -1.
void RunBoundCallbacks(int32_t kind, int64_t window, int64_t object, int64_t subtype);
