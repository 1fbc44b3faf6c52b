// Starting external programs: the existence check, the argument vector (split from one
// parameter text, or given as a list), the pipes, the fork and exec, and the records of
// kept programs with the waiter threads that reap them.
//
// A kept program (LaunchKeep) is described by a ProgramRecord whose address is the handle
// the launch returns, or which LaunchKeptProgram returns as it is; its output, error and
// input are read and written through the operations of program_output.h, and ReleaseProgram
// frees it. Launches run on the thread that owns the records (the main thread); only the
// waiter threads run elsewhere. The ProgramList, the waiters and the platform layer behind
// this are private to the folder (kept_programs.h, runner_posix.h).
#pragma once

#include <cstdint>
#include <cstdio>

struct PipeReader;

// Launch flags (bit values). The pipe flags take effect only together with LaunchKeep;
// every standard stream without its pipe flag is inherited from this process.
inline constexpr uint32_t LaunchWait = 1;  // return only after the program has ended
inline constexpr uint32_t LaunchKeep = 4;  // create and return a ProgramRecord
inline constexpr uint32_t LaunchReadOutput = 8;
inline constexpr uint32_t LaunchWriteInput = 16;
inline constexpr uint32_t LaunchReadError = 32;
// Standard input is the standard-output pipe of the input source given to StartProgram.
inline constexpr uint32_t LaunchInputFromProgram = 64;
// Output lines are read one byte per character instead of as UTF-8.
inline constexpr uint32_t LaunchByteOutput = 128;

// The name and at most this many arguments fit the argument vector, with its null slot.
inline constexpr int ProgramArgumentLimit = 510;

// One per kept program; allocated zero-filled as a sized block inside a ProgramList node.
// Every field but exitCode belongs to the thread that holds the handle; exitCode is
// written by the ProgramWaiter and read under ProgramListLock (see ProgramExitCode).
struct ProgramRecord {
  int32_t pid;
  // -1 until the end has been collected; then the exit status (0-255), or 1 after a signal.
  int32_t exitCode;
  uint32_t flags;
  PipeReader* output;      // null without LaunchReadOutput or when the reader could not be made
  FILE* input;             // null without LaunchWriteInput
  PipeReader* error;       // null without LaunchReadError or when the reader could not be made
  char16_t* pendingError;  // the start of an error line not yet completed, or null
  int64_t pendingErrorLength;
  // Tells this record from a later one that the allocator placed at the same address, so
  // that a waiter whose record was released never writes into its successor.
  uint64_t launchSerial;
  // 1 when no ProgramWaiter could be started: whoever asks for the end collects it.
  int32_t reapByOwner;
  // The read end of a pipe whose write end the ProgramWaiter closes once it has stored the
  // exit code: it becomes readable (end of file) when the end has been collected, so that a
  // caller can wait for the end and for the program's output in one poll. -1 when none.
  int32_t endNotice;
};

// Creates ProgramListLock (a recursive mutex). Launches with LaunchKeep fail (result 0)
// until it has run successfully. Calling it again does nothing.
void InitProgramRunner();

// The core launcher. Strings are UTF-16 (null reads as empty); input_source is a kept
// program whose output pipe becomes standard input under LaunchInputFromProgram, or null.
// Result: 0 on failure, the ProgramRecord's address with LaunchKeep, else 1.
intptr_t StartProgram(const char16_t* name, const char16_t* parameters,
                      const char16_t* working_directory, uint32_t flags,
                      ProgramRecord* input_source);
intptr_t LaunchProgram(const char16_t* name, const char16_t* parameters,
                       const char16_t* working_directory, uint32_t flags);
// The same launch with the arguments given one by one: each reaches the program exactly as
// it is (blanks, tabs, line feeds, quotes, a leading "-", an empty one), since nothing is
// split or unquoted. arguments holds count strings (null reads as empty) and may be null
// when count is 0; a count below 0 or above ProgramArgumentLimit fails the launch.
intptr_t LaunchProgramArguments(const char16_t* name, const char16_t* const* arguments,
                                int32_t count, const char16_t* working_directory, uint32_t flags);
// The list form for a kept program, typed: its record, or null when the launch failed.
// LaunchKeep is implied; the other flags act as in LaunchProgramArguments.
ProgramRecord* LaunchKeptProgram(const char16_t* name, const char16_t* const* arguments,
                                 int32_t count, const char16_t* working_directory, uint32_t flags);
// Flags 0: the program runs fully detached (not a child of this process).
intptr_t LaunchProgramDetached(const char16_t* name, const char16_t* parameters,
                               const char16_t* working_directory);
// The program found by its name as LaunchProgram finds it (a bare name on PATH), run
// detached with no arguments. Part of the runner's interface for its callers, though Brevik's own
// code has no use for it.
intptr_t LaunchProgramByName(const char16_t* name);

// Splits the UTF-8 text in place at blanks, tabs and line feeds ("..." keeps blanks in one
// argument, no escapes) and writes the argument pointers into slots, then a null slot.
// Returns the number of arguments, or -1 when they need more than slot_count - 1 slots; the
// slots then hold the arguments that fitted and a null in the last slot.
// REQUIRES: slot_count >= 1.
int SplitParameters(char* text, char** slots, int slot_count);
