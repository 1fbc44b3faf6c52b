// Reading a kept program's standard output and standard error, waiting for its end,
// signalling it and releasing its record.
//
// All operations run on the thread that holds the record. A null record does nothing and
// gives 0 or the empty string. Blocking waits sleep between polls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "process/program_launch.h"
#include "runtime/string_stack.h"

// 1 while the program runs. With an output reader the program counts as running until its
// output reaches end of file; the call then waits until the program's end is collected.
int32_t ProgramIsRunning(ProgramRecord* record);
// Standard-output bytes buffered now; 0 without an output reader.
uint64_t ProgramOutputAvailable(ProgramRecord* record);
// The next standard-output line without its line feed (a carriage return stays), waiting
// for it; the empty string at end of output. UTF-8, or one byte per character under
// LaunchByteOutput.
char16_t* ReadProgramOutputLine(ProgramRecord* record, StringResultPosition p);
// The next whole standard-error line, or the empty string when none is complete yet; never
// waits (except inside one multi-byte character). A partial line is held in the record and
// continued by the next call. A last line without a line feed is never returned.
char16_t* ReadProgramErrorLine(ProgramRecord* record, StringResultPosition p);
// 1 once the program's end has been collected, 0 when the timeout (ms) passed first.
// Timeout 0 only tests; -1 waits without limit.
int32_t WaitProgramEnd(ProgramRecord* record, int32_t timeout_ms);
// Closes the pipes and frees the record. The program is not stopped; its waiter still
// reaps it. A program without a waiter is reaped here, waiting for its end.
void ReleaseProgram(ProgramRecord* record);
// The record's exitCode read under ProgramListLock: -1 while the end has not been collected.
int32_t ProgramExitCode(ProgramRecord* record);
// Whether the program's end has been collected; a record without a waiter collects it
// here when it has come. Never waits.
bool ProgramEndCollected(ProgramRecord* record);
// Sends the signal to the program while its end has not been collected; 1 when sent. The
// program's pid cannot have passed to another process meanwhile.
int32_t SignalProgram(ProgramRecord* record, int signal_number);
