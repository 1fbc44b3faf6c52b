// Reading a kept program's standard output and standard error, waiting for its end and
// releasing its record; underneath, the PipeReader, a non-blocking ring-buffer reader.
//
// All operations run on the thread that holds the record. A null record does nothing and
// gives 0 or the empty string. Blocking waits sleep between polls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "process/program_launch.h"
#include "runtime/string_stack.h"

inline constexpr size_t PipeReaderCapacity = 10240;
// Given by PipeReaderReadByte and PipeReaderReadChar at end of file; never a byte or a
// character.
inline constexpr uint32_t PipeReaderEnd = 0xFFFFFFFF;

// Wraps the read end of a pipe. The descriptor is non-blocking: a read that would wait
// delivers nothing without counting as end of file. The reader never moves, so the
// positions may point into its own ring.
struct PipeReader {
  FILE* stream;
  uint8_t* bufferStart;
  uint8_t* readPosition;   // next byte to hand out
  uint8_t* writePosition;  // where the next byte from the stream goes
  uint64_t count;          // bytes held in the ring
  uint8_t ring[PipeReaderCapacity];
};

// Makes the descriptor non-blocking and opens a stream on it; null when either fails (the
// descriptor then stays open and belongs to the caller).
PipeReader* PipeReaderOpen(int fd, const char* mode);
// The bytes buffered after moving in what can be read now (nothing is read while bytes
// are still buffered).
uint64_t PipeReaderFill(PipeReader* reader);
// Delivers n bytes, waiting for them; fewer only at end of file.
uint64_t PipeReaderRead(PipeReader* reader, void* dest, uint64_t n);
// A byte 0-255, or PipeReaderEnd.
uint32_t PipeReaderReadByte(PipeReader* reader);
// One UTF-8 character as UTF-16: a unit, or for a four-byte character the two units of its
// surrogate pair packed (first in bits 0-15, second in bits 16-31). A byte that cannot
// start a character reads as a space; a sequence cut short by end of file as PipeReaderEnd.
uint32_t PipeReaderReadChar(PipeReader* reader);
// Whole items of item_size bytes delivered, as fread; 0 when the total size is 0.
uint64_t PipeReaderReadItems(void* dest, uint64_t item_size, uint64_t item_count,
                             PipeReader* reader);
// 1 when nothing is buffered, nothing can be read now and the stream is at end of file.
int32_t PipeReaderAtEnd(PipeReader* reader);
// Closes the stream (and so the descriptor) and frees the reader. Null is ignored.
void PipeReaderClose(PipeReader* reader);

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
// Waits until standard output or standard error has something to read or reaches end of
// file, or the timeout (ms; -1 without limit) passes; 1 when there is something to take, 0
// on timeout or when neither pipe is open. Lets a caller drain both pipes without spinning.
int32_t WaitProgramOutput(ProgramRecord* record, int32_t timeout_ms);
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
