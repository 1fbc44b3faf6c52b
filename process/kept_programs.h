// Kept programs: the ProgramList of every live ProgramRecord, shared by the launcher,
// ReleaseProgram and the waiter threads under one recursive lock, and what is decided about
// a kept program's end: the waiter that collects it, the exit code and the record it goes
// into. Private to the process runner.
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

// Waits for the program's end, reaps it and gives its exit code, by the rule of
// ProgramRecord::exitCode; 1 when its status is lost, since the program has ended.
int32_t WaitForProgram(int32_t pid);
// Starts the ProgramWaiter that reaps the record's program, stores its exit code and then
// closes the write end of the record's endNotice pipe; false when the waiter could not be
// started (endNotice is then -1).
bool StartProgramWaiter(ProgramRecord* record);
// For records without a waiter: collects the end now (blocking) or only if it has come
// (not blocking) and stores the exit code. True when the end is collected.
bool CollectProgramEnd(ProgramRecord* record, bool block);
// The number of ProgramWaiter threads that have not yet finished (after they reaped their
// program); for diagnostics and tests.
int32_t ProgramWaitersRunning();
