// The POSIX layer of the process runner: pipes, fork and exec, the waiter threads, and the
// waits, pauses and signals the neutral files need. Private to the process runner.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

#include "process/program_launch.h"

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

// Sleeps for the given nanoseconds (below a second).
void PauseNanoseconds(long nanoseconds);
// A steady clock in milliseconds, for measuring time-outs.
int64_t MonotonicMilliseconds();
// kill(); true when the signal was sent.
bool SignalProcess(pid_t pid, int signal_number);
