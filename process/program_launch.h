// Starting external programs: the existence check, the argument vector, the pipes, the
// fork and exec, and the records of kept programs with the waiter threads that reap them.
//
// A kept program (LaunchKeep) is described by a ProgramRecord whose address is the handle
// the launch returns; its output, error and input are read and written through the
// operations of program_output.h, and ReleaseProgram frees it. Launches run on the thread
// that owns the records (the main thread); only the waiter threads run elsewhere.
#pragma once

#include <pthread.h>
#include <sys/types.h>

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
// Flags 0: the program runs fully detached (not a child of this process).
intptr_t LaunchProgramDetached(const char16_t* name, const char16_t* parameters,
                               const char16_t* working_directory);
intptr_t LaunchProgramByName(const char16_t* name);

// Splits the UTF-8 text in place at blanks, tabs and line feeds ("..." keeps blanks in one
// argument, no escapes) and writes the argument pointers into slots, then a null slot.
// Returns the number of arguments, or -1 when they need more than slot_count - 1 slots; the
// slots then hold the arguments that fitted and a null in the last slot.
// REQUIRES: slot_count >= 1.
int SplitParameters(char* text, char** slots, int slot_count);

// ---- The ProgramList, shared by the launcher, ReleaseProgram and the waiters ----

// Holds ProgramListLock for a scope. REQUIRES: InitProgramRunner has run.
class ProgramListGuard {
 public:
  ProgramListGuard();
  ~ProgramListGuard();
  ProgramListGuard(const ProgramListGuard&) = delete;
  ProgramListGuard& operator=(const ProgramListGuard&) = delete;
};

// A new zero-filled record linked at the head of the ProgramList with a fresh
// launchSerial; null when the runner is not started or memory is short.
ProgramRecord* NewListedProgramRecord();
// Unlinks the record and frees it (and its node).
void FreeListedProgramRecord(ProgramRecord* record);
// Whether the record with this serial is still in the list. REQUIRES: the caller holds the
// lock.
bool ProgramRecordListed(const ProgramRecord* record, uint64_t serial);
// Stores the exit code when the record with this serial is still listed.
void StoreProgramExitCode(ProgramRecord* record, uint64_t serial, int32_t exit_code);
// The number of ProgramWaiter threads that have not yet finished (after they reaped their
// program); for diagnostics and tests.
int32_t ProgramWaitersRunning();

// ---- Platform layer (program_launch_posix.cpp) ----

// Descriptors of the pipes a kept launch asks for; -1 where a pipe is not wanted.
// Index 0 is the read end, 1 the write end, as pipe() returns them.
struct ChildPipes {
  int output[2];
  int input[2];
  int error[2];
};

// What the program's process executes.
struct ProgramImage {
  const char* name;
  char* const* arguments;  // name, the arguments, null
  const char* working_directory;
  ChildPipes* pipes;     // null without LaunchKeep
  int input_descriptor;  // the input source's output descriptor, or -1
  // When not 0, the process id of the launching process: the program is ended (SIGTERM)
  // when the thread that launched it ends, which for this application's main thread is the
  // end of the process, however it ends.
  pid_t end_with_parent;
};

// A regular, non-empty file that this process may execute.
bool ProgramFileUsable(const char* path);
// Creates the pipes the flags ask for (close-on-exec); false when a pipe() failed, in which
// case none stays open.
bool OpenChildPipes(uint32_t flags, ChildPipes* pipes);
void CloseChildPipes(ChildPipes* pipes);
// One fork; the child becomes the program. The child's pid, or -1.
pid_t ForkProgram(const ProgramImage& image);
// Double fork: the program is not a child of this process. Its pid, or -1.
pid_t ForkDetachedProgram(const ProgramImage& image);
// Closes the child's pipe ends and wraps this process's ends into the record's readers
// and input stream.
void AttachChildPipes(ProgramRecord* record, ChildPipes* pipes);
// Waits for a child (retrying interrupted waits) and applies the exit code rule; 1 when the
// wait failed, since the status is then lost but the program has ended.
int32_t WaitForProgram(pid_t pid);
// The exit code rule: the exit status after a normal exit, else 1.
int32_t ExitCodeFromWaitStatus(int status);
// Starts the detached thread that reaps the record's program, stores its exit code and
// then closes the write end of the record's endNotice pipe; false when the thread could not
// be started (endNotice is then -1).
bool StartProgramWaiter(ProgramRecord* record);
// For records without a waiter: collects the end now (blocking) or only if it has come
// (not blocking) and stores the exit code. True when the end is collected.
bool CollectProgramEnd(ProgramRecord* record, bool block);

// How waiter threads are created: pthread_create, replaceable by tests that need the
// creation to fail.
using ThreadCreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern ThreadCreateFunction ProgramWaiterThreadCreate;
