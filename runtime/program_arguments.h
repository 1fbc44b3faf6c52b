// The command line as the process entry received it, kept for the runtime (the
// application object is made from it).
#pragma once

#include <cstdint>

extern int32_t ProgramArgumentCount;
extern char** ProgramArgumentVector;
