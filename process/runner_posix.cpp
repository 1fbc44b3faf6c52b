// The POSIX layer of the process runner: fork and exec, the detached double fork, the waits
// for children and the ProgramWaiter threads.
#include "process/runner_posix.h"

#include <fcntl.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "process/descriptors.h"

ThreadCreateFunction ProgramWaiterThreadCreate = &pthread_create;

namespace {

// A waiter only waits for its program and takes a lock; 16000 bytes is below the least stack
// that Linux threads accept, so the larger of the two is used.
constexpr long kWaiterStackSize = 16000;

// Blocks every signal in the calling thread for a scope. Around fork it keeps this
// process's handlers from running in the child before the child resets them; around
// pthread_create it hands the new thread a mask under which waitpid is never interrupted.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
};

// ---- In the child: only async-signal-safe calls from here to execvp ----

void MoveOnto(int fd, int target) {
  // dup2 onto itself would leave close-on-exec set, and exec would close the stream.
  if (fd == target) {
    fcntl(fd, F_SETFD, 0);
    return;
  }
  dup2(fd, target);
}

// "/proc/self/fd/" + fd, without snprintf, which is not async-signal-safe.
void DescriptorPath(int fd, char* path) {
  static constexpr char kPrefix[] = "/proc/self/fd/";
  char* out = path;
  for (const char* in = kPrefix; *in != '\0'; ++in)
    *out++ = *in;
  char digits[12];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + fd % 10);
    fd /= 10;
  } while (fd > 0);
  while (count > 0)
    *out++ = digits[--count];
  *out = '\0';
}

// The input source's descriptor is non-blocking for its PipeReader, and O_NONBLOCK belongs
// to the open file description that a dup2 would share with the program, which then reads
// EAGAIN instead of waiting. Opening the pipe again through /proc gives the program a
// description of its own. O_NONBLOCK on the open keeps it from waiting for a writer when the
// source has already ended; it is cleared at once. Without /proc the shared one serves.
int OwnReadDescriptor(int fd) {
  char path[32];
  DescriptorPath(fd, path);
  int fresh = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fresh < 0) return fd;
  fcntl(fresh, F_SETFL, fcntl(fresh, F_GETFL) & ~O_NONBLOCK);
  return fresh;
}

// The original descriptors are close-on-exec; execvp closes them, which is the closing of
// the unused pipe ends.
void RedirectStandardStreams(const ProgramImage& image) {
  const ChildPipes* pipes = image.pipes;
  if (pipes == nullptr) return;
  if (pipes->output[1] >= 0) MoveOnto(pipes->output[1], 1);
  if (pipes->input[0] >= 0) MoveOnto(pipes->input[0], 0);
  if (pipes->error[1] >= 0) MoveOnto(pipes->error[1], 2);
  if (image.input_descriptor >= 0) MoveOnto(OwnReadDescriptor(image.input_descriptor), 0);
}

// Descriptors that this process holds without close-on-exec (opened by a library, or
// inherited itself) are none of the program's business: it gets standard input, output and
// error only. Runs after the redirection, which reads the pipes above 2.
void CloseAboveStandardStreams() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (close_range(3, ~0U, 0) == 0) return;
#endif
  // Kernels before 5.9 have no close_range: every number below the descriptor limit is
  // closed. getrlimit is a bare system call, as safe here as close itself.
  constexpr rlim_t kHighestWithoutLimit = 1 << 20;
  rlimit limit;
  rlim_t end = kHighestWithoutLimit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kHighestWithoutLimit) {
    end = limit.rlim_cur;
  }
  for (rlim_t fd = 3; fd < end; ++fd)
    close(static_cast<int>(fd));
}

// Handlers are reset by exec anyway, but ignored signals (SIGPIPE in many hosts) stay
// ignored across it, and the mask is inherited. The mask is cleared last, after no handler
// of this process is left to run.
void ResetSignalState() {
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
    if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
    sigaction(signal_number, &defaults, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Asks the kernel to send SIGTERM to the program when the launching thread ends; SIGTERM
// rather than SIGKILL, so that a tool can still remove what it was writing. A parent that
// ended before the request took hold has already missed its chance to signal.
void EndWithParent(pid_t parent) {
  if (parent == 0) return;
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(1);
#endif
}

[[noreturn]] void RunProgram(const ProgramImage& image) {
  EndWithParent(image.end_with_parent);
  if (image.working_directory[0] != '\0') {
    // A directory that cannot be entered leaves the program in the inherited one.
    [[maybe_unused]] int entered = chdir(image.working_directory);
  }
  RedirectStandardStreams(image);
  CloseAboveStandardStreams();
  ResetSignalState();
  execvp(image.name, image.arguments);
  // _exit, not exit: the child shares this process's stdio buffers and atexit handlers, and
  // exit would flush the one and run the other a second time. Status 1 and the pipes
  // reaching end of file tell the caller that the program could not be run.
  _exit(1);
}

// The intermediate child of the detached launch: reports the program's pid and leaves at
// once, so the program is inherited by the system's reaper instead of this process.
[[noreturn]] void RunIntermediate(const ProgramImage& image, int ids[2]) {
  close(ids[0]);
  pid_t program = fork();
  if (program == 0) {
    close(ids[1]);
    RunProgram(image);
  }
  int32_t id = program;
  bool sent = program > 0 && WriteAll(ids[1], &id, sizeof id);
  // _exit for the same reason as after a failed exec: this copy of the process must not
  // run the parent's exit handlers or flush its buffers.
  _exit(sent ? 0 : 1);
}

// The 4-byte pid from the intermediate child; a short read gives -1.
int32_t ReadProgramId(int fd) {
  int32_t id = -1;
  return ReadAll(fd, &id, sizeof id) ? id : -1;
}

// waitpid, retrying interrupted waits.
pid_t RetryingWaitpid(pid_t pid, int* status, int options) {
  pid_t result = -1;
  for (int attempt = 0; attempt < InterruptRetries; ++attempt) {
    result = waitpid(pid, status, options);
    if (result >= 0 || errno != EINTR) break;
  }
  return result;
}

size_t WaiterStackSize() {
  long least = sysconf(_SC_THREAD_STACK_MIN);
  return static_cast<size_t>(least > kWaiterStackSize ? least : kWaiterStackSize);
}

}  // namespace

bool ProgramFileUsable(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return false;
  if (S_ISDIR(info.st_mode) || info.st_size < 1) return false;
  return access(path, X_OK) == 0;
}

pid_t ForkProgram(const ProgramImage& image) {
  SignalBlock block;
  pid_t pid = fork();
  if (pid == 0) RunProgram(image);
  return pid;
}

pid_t ForkDetachedProgram(const ProgramImage& image) {
  int ids[2];
  if (!OpenPipe(ids)) return -1;
  pid_t intermediate;
  {
    SignalBlock block;
    intermediate = fork();
    if (intermediate == 0) RunIntermediate(image, ids);
  }
  close(ids[1]);
  int32_t id = intermediate < 0 ? -1 : ReadProgramId(ids[0]);
  close(ids[0]);
  if (intermediate < 0) return -1;
  int status;
  if (RetryingWaitpid(intermediate, &status, 0) < 0) return -1;
  return id;
}

ChildWait WaitForChild(pid_t pid, bool block) {
  int status;
  pid_t reaped = RetryingWaitpid(pid, &status, block ? 0 : WNOHANG);
  if (reaped == 0 || (reaped < 0 && errno == EINTR)) return {ChildWait::Running, false, 0};
  if (reaped < 0) return {ChildWait::Lost, false, 0};
  if (!WIFEXITED(status)) return {ChildWait::Ended, false, 0};
  return {ChildWait::Ended, true, WEXITSTATUS(status)};
}

void AwaitExitUnreaped(pid_t pid) {
  siginfo_t info;
  for (int attempt = 0; attempt < InterruptRetries; ++attempt) {
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0 || errno != EINTR) {
      return;
    }
  }
}

bool StartWaiterThread(void* (*body)(void*), void* argument) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  // A size the system refuses leaves the default, which is larger.
  pthread_attr_setstacksize(&attributes, WaiterStackSize());
  int result;
  {
    SignalBlock block;
    pthread_t thread;
    result = ProgramWaiterThreadCreate(&thread, &attributes, body, argument);
  }
  pthread_attr_destroy(&attributes);
  return result == 0;
}

void PauseNanoseconds(long nanoseconds) {
  timespec pause = {0, nanoseconds};
  nanosleep(&pause, nullptr);
}

int64_t MonotonicMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

bool SignalProcess(pid_t pid, int signal_number) {
  return kill(pid, signal_number) == 0;
}
