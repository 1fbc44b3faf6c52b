#include "process/kept_programs.h"

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <new>
#include <type_traits>

#include "process/descriptors.h"
#include "process/runner_posix.h"
#include "runtime/memory.h"

namespace {

// A ProgramList node: the links, then the record whose address is the handle.
struct ProgramListNode {
  ProgramListNode* next;
  ProgramListNode* previous;
  ProgramRecord record;
};

// Detached ProgramWaiter threads may still take the lock while static destructors run at
// exit, so the list and its lock are plain data that is never destroyed.
struct ProgramRunnerState {
  pthread_mutex_t lock;
  ProgramListNode* head;
  uint64_t next_serial;
  bool started;
};
static_assert(std::is_trivially_destructible_v<ProgramRunnerState>);

ProgramRunnerState Runner;
pthread_once_t RunnerOnce = PTHREAD_ONCE_INIT;

// Never destroyed, like the ProgramList: waiters decrement it after main has returned.
std::atomic<int32_t> WaitersRunning{0};

// The exit code of a program whose status was lost. It reads as a failure and, unlike -1,
// lets the callers that wait for the end stop waiting.
constexpr int32_t kEndNotCollectable = 1;

void CreateProgramListLock() {
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return;
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  Runner.started = pthread_mutex_init(&Runner.lock, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  Runner.next_serial = 1;
}

ProgramListNode* NodeOf(ProgramRecord* record) {
  return reinterpret_cast<ProgramListNode*>(reinterpret_cast<char*>(record) -
                                            offsetof(ProgramListNode, record));
}

// The exit status after a normal exit, else 1; a wait that collected nothing has lost the
// status.
int32_t ExitCodeOf(const ChildWait& end) {
  if (end.outcome != ChildWait::Ended) return kEndNotCollectable;
  return end.exited ? end.exit_status : 1;
}

struct WaiterTicket {
  ProgramRecord* record;
  uint64_t serial;
  int32_t pid;
  int end_notice;  // write end of the record's endNotice pipe
};

// Reaps the program even when its record was released meanwhile, so no zombie remains,
// and writes the exit code only into the record it was started for. The program is
// reaped under the lock (it no longer blocks, the program has ended), together with the
// store: until then the zombie keeps its pid, so a signal sent under the lock can never
// reach another process that took the number.
void* RunProgramWaiter(void* argument) {
  auto* ticket = static_cast<WaiterTicket*>(argument);
  AwaitExitUnreaped(ticket->pid);
  {
    ProgramListGuard guard;
    StoreProgramExitCode(ticket->record, ticket->serial, WaitForProgram(ticket->pid));
  }
  // Closing, not writing: a released record has no reader left, and a write would raise
  // SIGPIPE.
  CloseDescriptor(ticket->end_notice);
  delete ticket;
  WaitersRunning.fetch_sub(1);
  return nullptr;
}

}  // namespace

void InitProgramRunner() {
  pthread_once(&RunnerOnce, CreateProgramListLock);
}

ProgramListGuard::ProgramListGuard() {
  pthread_mutex_lock(&Runner.lock);
}

ProgramListGuard::~ProgramListGuard() {
  pthread_mutex_unlock(&Runner.lock);
}

ProgramRecord* NewListedProgramRecord() {
  if (!Runner.started) return nullptr;
  auto* node = static_cast<ProgramListNode*>(AllocateBlock(sizeof(ProgramListNode)));
  if (node == nullptr) return nullptr;
  ProgramListGuard guard;
  node->next = Runner.head;
  if (Runner.head != nullptr) Runner.head->previous = node;
  Runner.head = node;
  node->record.exitCode = -1;
  node->record.endNotice = -1;
  node->record.launchSerial = Runner.next_serial++;
  return &node->record;
}

void FreeListedProgramRecord(ProgramRecord* record) {
  ProgramListNode* node = NodeOf(record);
  ProgramListGuard guard;
  if (node->previous != nullptr) {
    node->previous->next = node->next;
  } else {
    Runner.head = node->next;
  }
  if (node->next != nullptr) node->next->previous = node->previous;
  FreeBlock(node);
}

bool ProgramRecordListed(const ProgramRecord* record, uint64_t serial) {
  for (const ProgramListNode* node = Runner.head; node != nullptr; node = node->next) {
    if (&node->record == record) return node->record.launchSerial == serial;
  }
  return false;
}

void StoreProgramExitCode(ProgramRecord* record, uint64_t serial, int32_t exit_code) {
  ProgramListGuard guard;
  if (ProgramRecordListed(record, serial)) record->exitCode = exit_code;
}

int32_t WaitForProgram(int32_t pid) {
  return ExitCodeOf(WaitForChild(pid, true));
}

bool StartProgramWaiter(ProgramRecord* record) {
  int notice[2];
  if (!OpenPipe(notice)) return false;
  auto* ticket =
      new (std::nothrow) WaiterTicket{record, record->launchSerial, record->pid, notice[1]};
  if (ticket != nullptr) {
    WaitersRunning.fetch_add(1);
    if (StartWaiterThread(&RunProgramWaiter, ticket)) {
      record->endNotice = notice[0];
      return true;
    }
    WaitersRunning.fetch_sub(1);
  }
  CloseDescriptor(notice[0]);
  CloseDescriptor(notice[1]);
  delete ticket;
  return false;
}

bool CollectProgramEnd(ProgramRecord* record, bool block) {
  const ChildWait end = WaitForChild(record->pid, block);
  if (end.outcome == ChildWait::Running) return false;
  StoreProgramExitCode(record, record->launchSerial, ExitCodeOf(end));
  return true;
}

int32_t ProgramWaitersRunning() {
  return WaitersRunning.load();
}
