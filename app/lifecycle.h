// The frame around the program: start routines in their fixed order, the main loop, the
// end routines and the exit.
#pragma once

#include <cstdint>

#include "app/controls.h"

// Set to 1 once the start routines have run.
extern uint8_t RunningFlag;
// The kind of the event the main loop took last; 0 before the loop.
extern int64_t LastEvent;
// The status given to exit(); nothing changes it.
extern int32_t ExitStatus;

struct ModuleRoutine {
  const char* module;  // what the routine sets up or releases
  void (*routine)();   // null: the module has no such work yet
};

// The start routines in the order they must run. Their number and places are fixed;
// later modules fill their slot.
extern const ModuleRoutine StartRoutines[21];
// The end routines, in their order (not the reverse of the start order).
extern const ModuleRoutine EndRoutines[4];

void RunStartRoutines();
// Waits for events until the end-request event or the quit menu item arrives.
void RunMainLoop();
void RunEndRoutines();
[[noreturn]] void EndProgram();

// The process entry: stores the command line, starts, builds the main window, loops and
// ends. Never returns.
[[noreturn]] void ProgramEntry(int argc, char** argv);
