// The ProgramList: every live ProgramRecord, shared by the launcher, ReleaseProgram and the
// waiter threads under one recursive lock. Private to the process runner.
#pragma once

#include <cstdint>

#include "process/program_launch.h"

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
