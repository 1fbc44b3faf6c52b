#include "process/program_output.h"

#include <cstdio>
#include <cstdlib>

#include "process/descriptors.h"
#include "process/kept_programs.h"
#include "process/pipe_reader.h"
#include "process/runner_posix.h"

namespace {

// The pause between two looks at a program that is expected to end.
constexpr long kGonePollNanoseconds = 2'000'000;

void WaitUntilGone(ProgramRecord* record) {
  while (!ProgramEndCollected(record))
    PauseNanoseconds(kGonePollNanoseconds);
}

}  // namespace

int32_t ProgramIsRunning(ProgramRecord* record) {
  if (record == nullptr) return 0;
  if (record->output == nullptr) return ProgramEndCollected(record) ? 0 : 1;
  if (PipeReaderAtEnd(record->output) == 0) return 1;
  WaitUntilGone(record);
  return 0;
}

uint64_t ProgramOutputAvailable(ProgramRecord* record) {
  if (record == nullptr || record->output == nullptr) return 0;
  return PipeReaderFill(record->output);
}

char16_t* ReadProgramOutputLine(ProgramRecord* record, StringResultPosition p) {
  if (record == nullptr || record->output == nullptr) return SetEmptyStringResult(p);
  return PipeReaderReadLine(record->output, (record->flags & LaunchByteOutput) != 0, p);
}

char16_t* ReadProgramErrorLine(ProgramRecord* record, StringResultPosition p) {
  if (record == nullptr || record->error == nullptr) return SetEmptyStringResult(p);
  return PipeReaderReadCompleteLine(record->error, &record->pendingError,
                                    &record->pendingErrorLength, p);
}

int32_t WaitProgramEnd(ProgramRecord* record, int32_t timeout_ms) {
  if (record == nullptr) return 0;
  if (timeout_ms == 0) return ProgramEndCollected(record) ? 1 : 0;
  int64_t start = MonotonicMilliseconds();
  if (ProgramEndCollected(record)) return 1;
  for (;;) {
    PauseNanoseconds(kGonePollNanoseconds);
    if (timeout_ms != -1 && MonotonicMilliseconds() - start > timeout_ms) return 0;
    if (ProgramEndCollected(record)) return 1;
  }
}

void ReleaseProgram(ProgramRecord* record) {
  if (record == nullptr) return;
  PipeReaderClose(record->output);
  if (record->input != nullptr) fclose(record->input);
  PipeReaderClose(record->error);
  if (record->endNotice >= 0) CloseDescriptor(record->endNotice);
  free(record->pendingError);
  // Without a waiter nobody else would collect the end; the pipes are closed first, so a
  // program still writing gets a broken pipe instead of blocking this wait.
  if (record->reapByOwner != 0 && ProgramExitCode(record) == -1) {
    CollectProgramEnd(record, true);
  }
  FreeListedProgramRecord(record);
}

int32_t SignalProgram(ProgramRecord* record, int signal_number) {
  if (record == nullptr) return 0;
  // The waiter reaps under this lock, so while the end is not collected the pid is still
  // the program's own, even if it has just exited.
  ProgramListGuard guard;
  if (record->exitCode != -1) return 0;
  return SignalProcess(record->pid, signal_number) ? 1 : 0;
}

bool ProgramEndCollected(ProgramRecord* record) {
  if (ProgramExitCode(record) != -1) return true;
  return record->reapByOwner != 0 && CollectProgramEnd(record, false);
}

int32_t ProgramExitCode(ProgramRecord* record) {
  if (record == nullptr) return -1;
  ProgramListGuard guard;
  return record->exitCode;
}
