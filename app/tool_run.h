// Running a workflow's external tool while the window stays live: the handler that starts
// the tool does not return before the tool has ended, but while it waits the window paints,
// moves and takes the input that the workflow leaves enabled (Cancel, Escape, quitting).
// One run at a time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

enum class ToolOutcome {
  NotStarted,  // the tool could not be launched
  Succeeded,   // it exited with status 0
  Failed,      // it exited otherwise
  Cancelled,   // CancelTool ended it
};

// Called with each line the tool writes to standard output.
using ToolOutputHandler = void (*)(const char16_t* line);

// Launches the tool with the arguments (standard output and error piped) and pumps it until
// it has ended. Each argument reaches the tool as it is, whatever characters it holds: a
// path need not be quoted. on_output may be null.
ToolOutcome RunTool(const char16_t* tool, std::span<const char16_t* const> arguments,
                    ToolOutputHandler on_output);
inline ToolOutcome RunTool(const char16_t* tool, std::initializer_list<const char16_t*> arguments,
                           ToolOutputHandler on_output) {
  return RunTool(tool, std::span<const char16_t* const>(arguments.begin(), arguments.size()),
                 on_output);
}

// True from the launch until RunTool has taken the input that came during the run.
bool ToolRunning();

// Ends the running tool: SIGTERM at once, SIGKILL when it is still there two seconds later;
// RunTool then reports it cancelled, unless it ends with success all the same. Nothing happens
// when no tool runs or the tool has already ended.
void CancelTool();

// The tool's own reason for its failure in the last run: its last standard-error line that
// begins with the tool's name and ": ", that prefix removed, or else its last standard-error
// line at all; empty when it wrote none.
const char16_t* LastToolErrorLine();
