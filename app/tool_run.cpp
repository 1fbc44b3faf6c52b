#include "app/tool_run.h"

#include <signal.h>

#include <cassert>
#include <chrono>

#include "gui/events/event_loop.h"
#include "process/program_launch.h"
#include "process/program_output.h"
#include "process/program_pump.h"
#include "runtime/string_stack.h"
#include "runtime/string_utils.h"

namespace {

constexpr uint32_t kToolLaunchFlags = LaunchReadOutput | LaunchReadError;

// How long a tool asked to end with SIGTERM may take to clean up before SIGKILL.
constexpr std::chrono::milliseconds kKillGrace{2000};

struct ToolRunState {
  ProgramRecord* record = nullptr;
  const char16_t* tool = nullptr;
  ToolOutputHandler on_output = nullptr;
  bool cancel_requested = false;
  bool killed = false;
  std::chrono::steady_clock::time_point terminated_at{};
  bool terminated = false;
  StringVariable reason;     // the last line that starts with the tool's name
  StringVariable last_line;  // the last line at all
};

ToolRunState* CurrentRun = nullptr;
StringVariable LastReason;

// The text after "tool: " when the line starts so, else null.
const char16_t* AfterToolName(const char16_t* tool, const char16_t* line) {
  const char16_t* rest = SkipPrefix(line, tool);
  return rest == nullptr ? nullptr : SkipPrefix(rest, u": ");
}

void TakeOutputLine(const char16_t* line, void* context) {
  auto* run = static_cast<ToolRunState*>(context);
  if (run->on_output != nullptr) run->on_output(line);
}

void TakeErrorLine(const char16_t* line, void* context) {
  auto* run = static_cast<ToolRunState*>(context);
  if (*line == u'\0') return;
  run->last_line = line;
  if (const char16_t* reason = AfterToolName(run->tool, line)) run->reason = reason;
}

// The pump's wait: the window is served until the tool has something to say or has ended.
// A cancel request wakes it, and the next wait sends the signals.
void WaitServingWindows(const int* descriptors, int32_t count, void* context) {
  auto* run = static_cast<ToolRunState*>(context);
  int32_t timeout = -1;
  if (run->cancel_requested && !run->killed) {
    const auto now = std::chrono::steady_clock::now();
    if (!run->terminated) {
      SignalProgram(run->record, SIGTERM);
      run->terminated = true;
      run->terminated_at = now;
    }
    const auto left = kKillGrace - (now - run->terminated_at);
    if (left <= std::chrono::milliseconds::zero()) {
      SignalProgram(run->record, SIGKILL);
      run->killed = true;
    } else {
      // Rounded up, so that the wait does not end just before the grace has passed.
      timeout = static_cast<int32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }
  }
  WaitForDescriptors(descriptors, count, timeout);
}

// The workflows' pumping loop: the tool's lines go to the run, and the window is served,
// until the tool's end has been collected. REQUIRES: CurrentRun is the run of the record.
void PumpProgram(ProgramRecord* record) {
  assert(CurrentRun != nullptr && CurrentRun->record == record);
  PumpProgramOutput(record,
                    ProgramPump{&TakeOutputLine, &TakeErrorLine, &WaitServingWindows, CurrentRun});
}

ToolOutcome OutcomeOf(const ToolRunState& run) {
  if (ProgramExitCode(run.record) == 0) return ToolOutcome::Succeeded;
  return run.cancel_requested ? ToolOutcome::Cancelled : ToolOutcome::Failed;
}

// The name a tool gives itself in its messages: the last part of its path.
const char16_t* ToolName(const char16_t* tool) {
  const char16_t* name = tool;
  for (const char16_t* unit = tool; *unit != u'\0'; ++unit) {
    if (*unit == u'/') name = unit + 1;
  }
  return name;
}

}  // namespace

ToolOutcome RunTool(const char16_t* tool, std::span<const char16_t* const> arguments,
                    ToolOutputHandler on_output) {
  LastReason = u"";
  ToolRunState run;
  run.tool = ToolName(tool);
  run.on_output = on_output;
  run.record = LaunchKeptProgram(tool, arguments.data(), static_cast<int32_t>(arguments.size()),
                                 u"", kToolLaunchFlags);
  if (run.record == nullptr) return ToolOutcome::NotStarted;
  CurrentRun = &run;
  PumpProgram(run.record);
  // Input that reached the window while the tool ended belongs to the run: it is taken now,
  // while the controls still say so, rather than acted on once they are back.
  WaitForDescriptors(nullptr, 0, 0);
  CurrentRun = nullptr;
  const ToolOutcome outcome = OutcomeOf(run);
  LastReason = run.reason.Get()[0] != u'\0' ? run.reason.Get() : run.last_line.Get();
  ReleaseProgram(run.record);
  return outcome;
}

bool ToolRunning() {
  return CurrentRun != nullptr;
}

void CancelTool() {
  if (CurrentRun == nullptr || CurrentRun->cancel_requested) return;
  // A tool that has already ended, well or not, has an outcome of its own to report.
  if (ProgramExitCode(CurrentRun->record) != -1) return;
  CurrentRun->cancel_requested = true;
  WakeEventLoop();
}

const char16_t* LastToolErrorLine() {
  return LastReason.Get();
}
