// The POSIX layer of the process runner: the check of a program file, fork and exec, the
// detached double fork, the waits for children, the waiter threads, and the pauses, clock
// and signals the neutral files need. It carries out what the neutral files decide and
// knows nothing of their records. Private to the process runner.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>

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
  ChildPipes* pipes;     // null when the program is not kept
  int input_descriptor;  // the input source's output descriptor, or -1
  // When not 0, the process id of the launching process: the program is ended (SIGTERM)
  // when the thread that launched it ends, which for this application's main thread is the
  // end of the process, however it ends.
  pid_t end_with_parent;
};

// What a wait for a child found.
struct ChildWait {
  enum Outcome {
    Ended,    // collected; exited tells a normal exit from a death by a signal
    Running,  // not ended yet (a wait that does not block), or every wait was interrupted
    Lost,     // it cannot be waited for: reaped elsewhere (SIGCHLD ignored, a stray
              // waitpid(-1)), its status unknown
  };
  Outcome outcome;
  bool exited;
  int32_t exit_status;  // 0-255 after a normal exit
};

// A regular, non-empty file that this process may execute.
bool ProgramFileUsable(const char* path);
// One fork; the child becomes the program. The child's pid, or -1.
pid_t ForkProgram(const ProgramImage& image);
// Double fork: the program is not a child of this process. Its pid, or -1.
pid_t ForkDetachedProgram(const ProgramImage& image);
// Collects the child's end (reaping it), waiting for it when block, retrying interrupted
// waits.
ChildWait WaitForChild(pid_t pid, bool block);
// Blocks until the child has ended without reaping it, so that its pid stays its own.
void AwaitExitUnreaped(pid_t pid);

// How waiter threads are created: pthread_create, replaceable by tests that need the
// creation to fail.
using ThreadCreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern ThreadCreateFunction ProgramWaiterThreadCreate;
// Starts a detached thread with a small stack that runs body(argument), every signal blocked
// in it so that its waits are never interrupted; false when it could not be started.
bool StartWaiterThread(void* (*body)(void*), void* argument);

// Sleeps for the given nanoseconds (below a second).
void PauseNanoseconds(long nanoseconds);
// A steady clock in milliseconds, for measuring time-outs.
int64_t MonotonicMilliseconds();
// kill(); true when the signal was sent.
bool SignalProcess(pid_t pid, int signal_number);
