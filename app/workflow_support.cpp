#include "app/workflow_support.h"

#include "files/file_queries.h"
#include "process/program_launch.h"
#include "process/program_output.h"
#include "runtime/string_utils.h"

namespace {

// Both workflows keep a record of the tool, with its standard output and standard error
// piped.
constexpr uint32_t kToolLaunchFlags = LaunchKeep | LaunchReadOutput | LaunchReadError;

// How long a silent tool is left alone before the pump looks again; data wakes it earlier.
constexpr int32_t kPumpWaitMilliseconds = 250;

void DiscardErrorLines(ProgramRecord* record) {
  for (;;) {
    StringMark mark;
    if (*ReadProgramErrorLine(record, mark.Offset()) == u'\0') return;
  }
}

void DiscardBufferedOutput(ProgramRecord* record) {
  char bytes[4096];
  // Only what is buffered is taken, so this never waits for the rest of a line.
  while (uint64_t available = ProgramOutputAvailable(record)) {
    PipeReaderRead(record->output, bytes, available < sizeof bytes ? available : sizeof bytes);
  }
}

}  // namespace

bool IsFolder(const char16_t* path) {
  return QueryFileSize(path) == FileSizeFolder;
}

bool IsExistingFile(const char16_t* path) {
  return QueryFileSize(path) >= 0;
}

bool CanQuoteForTool(const char16_t* path) {
  for (const char16_t* unit = path; *unit != u'\0'; ++unit) {
    if (*unit == u'"' || *unit == u'\n') return false;
  }
  return true;
}

void AppendStrings(std::initializer_list<const char16_t*> pieces) {
  for (const char16_t* piece : pieces)
    AppendString(piece);
}

StringVariable HomeSubfolder(const char16_t* name) {
  StringVariable path;
  StringMark mark;
  UserHomeFolder(mark.Offset());
  AppendString(name);
  mark.AssignTo(path.Address());
  return path;
}

void PumpProgram(ProgramRecord* record) {
  while (ProgramIsRunning(record)) {
    DiscardErrorLines(record);
    DiscardBufferedOutput(record);
    WaitProgramOutput(record, kPumpWaitMilliseconds);
  }
}

bool RunToolToCompletion(const char16_t* tool, const char16_t* parameters) {
  auto* record =
      reinterpret_cast<ProgramRecord*>(LaunchProgram(tool, parameters, u"", kToolLaunchFlags));
  if (record == nullptr) return false;
  PumpProgram(record);
  const int32_t exit_code = ProgramExitCode(record);
  ReleaseProgram(record);
  return exit_code == 0;
}
