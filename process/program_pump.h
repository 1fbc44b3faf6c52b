// Pumping a kept program: its standard output and standard error are taken line by line as
// they come, until the program's end has been collected. The pump never waits for the
// pipes to reach end of file, so neither a program that floods one pipe after closing the
// other nor a child of it that keeps a pipe open can hold it up.
#pragma once

#include <cstdint>

struct ProgramRecord;

// What the pump does with the lines and how it waits for more.
struct ProgramPump {
  // Each line without its line feed, decoded as the record's output lines are (UTF-8, or
  // one byte per character under LaunchByteOutput), valid for the call only. A last line
  // without a line feed is delivered too. Null discards the stream's lines.
  void (*outputLine)(const char16_t* line, void* context);
  void (*errorLine)(const char16_t* line, void* context);
  // Blocks until one of the descriptors is readable; may return earlier, and is called
  // again. Null waits without a time limit.
  void (*wait)(const int* descriptors, int32_t count, void* context);
  void* context;
};

// Delivers the program's lines until its end has been collected, then what its pipes
// already hold. A record without a waiter (endNotice -1) is watched through its pipes alone
// and then waited for. REQUIRES: the record was launched with LaunchKeep.
void PumpProgramOutput(ProgramRecord* record, const ProgramPump& pump);
