#include "process/program_launch.h"

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <string>

#include "process/descriptors.h"
#include "process/kept_programs.h"
#include "process/pipe_reader.h"
#include "process/runner_posix.h"
#include "runtime/text_conversion.h"

namespace {

// Owns a UTF-8 copy of a runtime string for the length of the launch.
class Utf8Copy {
 public:
  explicit Utf8Copy(const char16_t* s) : text_(StringToUtf8Copy(s)) {}
  ~Utf8Copy() { FreeConvertedCopy(text_); }
  Utf8Copy(const Utf8Copy&) = delete;
  Utf8Copy& operator=(const Utf8Copy&) = delete;
  char* Text() const { return text_; }

 private:
  char* text_;
};

// UTF-8 copies of a list of arguments, owned for the length of the launch, in an argument
// vector behind the program's name and before its null slot.
class Utf8ArgumentVector {
 public:
  // REQUIRES: 0 <= count <= ProgramArgumentLimit.
  Utf8ArgumentVector(char* name, const char16_t* const* arguments, int32_t count) : count_(count) {
    slots_[0] = name;
    for (int32_t i = 0; i < count; ++i)
      slots_[i + 1] = StringToUtf8Copy(arguments[i]);
    slots_[count + 1] = nullptr;
  }
  ~Utf8ArgumentVector() {
    for (int32_t i = 1; i <= count_; ++i)
      FreeConvertedCopy(slots_[i]);
  }
  Utf8ArgumentVector(const Utf8ArgumentVector&) = delete;
  Utf8ArgumentVector& operator=(const Utf8ArgumentVector&) = delete;
  char* const* Slots() const { return slots_; }

 private:
  int32_t count_;
  char* slots_[ProgramArgumentLimit + 2];
};

bool IsSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// Skips a run of separators, ending the preceding argument at the first of them.
char* SkipSeparators(char* cursor) {
  while (IsSeparator(*cursor))
    *cursor++ = '\0';
  return cursor;
}

char* EndOfPlainArgument(char* cursor) {
  while (*cursor != '\0' && !IsSeparator(*cursor))
    ++cursor;
  return cursor;
}

// Empty PATH entries are skipped, the last one included: the check never looks in the
// current directory or at the root for a bare name.
bool FoundOnPath(const char* path, const char* name) {
  std::string candidate;
  const char* entry = path;
  while (*entry != '\0') {
    const char* end = strchr(entry, ':');
    size_t length = end == nullptr ? strlen(entry) : static_cast<size_t>(end - entry);
    if (length > 0) {
      candidate.assign(entry, length);
      if (candidate.back() != '/') candidate.push_back('/');
      candidate.append(name);
      if (ProgramFileUsable(candidate.c_str())) return true;
    }
    if (end == nullptr) break;
    entry = end + 1;
  }
  return false;
}

// Decides only whether to go on: execvp searches PATH again under the unchanged name.
bool ProgramExists(const char* name) {
  if (strchr(name, '/') != nullptr && ProgramFileUsable(name)) return true;
  if (name[0] == '/' || (name[0] == '.' && name[1] == '/')) return false;
  const char* path = getenv("PATH");
  if (path == nullptr) return false;
  return FoundOnPath(path, name);
}

int InputDescriptorOf(uint32_t flags, const ProgramRecord* source) {
  if ((flags & LaunchInputFromProgram) == 0 || source == nullptr) return -1;
  if (source->output == nullptr) return -1;
  return fileno(source->output->stream);
}

void CloseChildPipes(ChildPipes* pipes) {
  for (int* fds : {pipes->output, pipes->input, pipes->error}) {
    CloseIfOpen(&fds[0]);
    CloseIfOpen(&fds[1]);
  }
}

bool OpenChildPipes(uint32_t flags, ChildPipes* pipes) {
  *pipes = ChildPipes{{-1, -1}, {-1, -1}, {-1, -1}};
  bool opened = ((flags & LaunchReadOutput) == 0 || OpenPipe(pipes->output)) &&
                ((flags & LaunchWriteInput) == 0 || OpenPipe(pipes->input)) &&
                ((flags & LaunchReadError) == 0 || OpenPipe(pipes->error));
  if (!opened) CloseChildPipes(pipes);
  return opened;
}

// Closes the child's pipe ends and wraps this process's ends into the record's readers and
// input stream.
void AttachChildPipes(ProgramRecord* record, ChildPipes* pipes) {
  CloseIfOpen(&pipes->output[1]);
  CloseIfOpen(&pipes->input[0]);
  CloseIfOpen(&pipes->error[1]);
  if (pipes->output[0] >= 0) {
    record->output = PipeReaderOpen(pipes->output[0], "r");
    if (record->output == nullptr) CloseDescriptor(pipes->output[0]);
  }
  if (pipes->input[1] >= 0) {
    record->input = fdopen(pipes->input[1], "w");
    if (record->input == nullptr) CloseDescriptor(pipes->input[1]);
    if (record->input != nullptr) fwide(record->input, -1);
  }
  if (pipes->error[0] >= 0) {
    record->error = PipeReaderOpen(pipes->error[0], "r");
    if (record->error == nullptr) CloseDescriptor(pipes->error[0]);
  }
  *pipes = ChildPipes{{-1, -1}, {-1, -1}, {-1, -1}};
}

intptr_t StartUnkeptProgram(const ProgramImage& image, uint32_t flags) {
  if ((flags & LaunchWait) == 0) return ForkDetachedProgram(image) < 0 ? 0 : 1;
  pid_t pid = ForkProgram(image);
  if (pid < 0) return 0;
  WaitForProgram(pid);
  return 1;
}

intptr_t StartKeptProgram(ProgramImage image, uint32_t flags, const ProgramRecord* source) {
  ChildPipes pipes;
  if (!OpenChildPipes(flags, &pipes)) return 0;
  // The record exists before the fork, so that a short heap cannot leave a started
  // program without anyone to reap it.
  ProgramRecord* record = NewListedProgramRecord();
  if (record == nullptr) {
    CloseChildPipes(&pipes);
    return 0;
  }
  image.pipes = &pipes;
  image.input_descriptor = InputDescriptorOf(flags, source);
  // The record's owner reads the program's pipes and waits for its end; nobody would once
  // this process is gone, and the program would write on unattended.
  image.end_with_parent = getpid();
  pid_t pid = ForkProgram(image);
  if (pid < 0) {
    CloseChildPipes(&pipes);
    FreeListedProgramRecord(record);
    return 0;
  }
  record->pid = pid;
  record->flags = flags;
  AttachChildPipes(record, &pipes);
  if ((flags & LaunchWait) != 0) {
    StoreProgramExitCode(record, record->launchSerial, WaitForProgram(pid));
  } else if (!StartProgramWaiter(record)) {
    record->reapByOwner = 1;
  }
  return reinterpret_cast<intptr_t>(record);
}

// What both forms share once the argument vector is built: the pipes, the fork and exec,
// the record and its waiter.
intptr_t StartProgramWithVector(char* const* vector, const char16_t* working_directory,
                                uint32_t flags, ProgramRecord* input_source) {
  Utf8Copy directory(working_directory);
  ProgramImage image{vector[0], vector, directory.Text(), nullptr, -1, 0};
  if ((flags & LaunchKeep) == 0) return StartUnkeptProgram(image, flags);
  return StartKeptProgram(image, flags, input_source);
}

}  // namespace

intptr_t StartProgram(const char16_t* name, const char16_t* parameters,
                      const char16_t* working_directory, uint32_t flags,
                      ProgramRecord* input_source) {
  Utf8Copy program(name);
  if (!ProgramExists(program.Text())) return 0;
  Utf8Copy arguments_text(parameters);
  // Split here rather than in the child: too many arguments must fail the launch itself.
  char* arguments[ProgramArgumentLimit + 2];
  arguments[0] = program.Text();
  if (SplitParameters(arguments_text.Text(), arguments + 1, ProgramArgumentLimit + 1) < 0) {
    return 0;
  }
  return StartProgramWithVector(arguments, working_directory, flags, input_source);
}

intptr_t LaunchProgramArguments(const char16_t* name, const char16_t* const* arguments,
                                int32_t count, const char16_t* working_directory, uint32_t flags) {
  if (count < 0 || count > ProgramArgumentLimit) return 0;
  Utf8Copy program(name);
  if (!ProgramExists(program.Text())) return 0;
  const Utf8ArgumentVector vector(program.Text(), arguments, count);
  return StartProgramWithVector(vector.Slots(), working_directory, flags, nullptr);
}

ProgramRecord* LaunchKeptProgram(const char16_t* name, const char16_t* const* arguments,
                                 int32_t count, const char16_t* working_directory, uint32_t flags) {
  // With LaunchKeep the handle is the record's address, or 0.
  return reinterpret_cast<ProgramRecord*>(
      LaunchProgramArguments(name, arguments, count, working_directory, flags | LaunchKeep));
}

intptr_t LaunchProgram(const char16_t* name, const char16_t* parameters,
                       const char16_t* working_directory, uint32_t flags) {
  return StartProgram(name, parameters, working_directory, flags, nullptr);
}

intptr_t LaunchProgramDetached(const char16_t* name, const char16_t* parameters,
                               const char16_t* working_directory) {
  return StartProgram(name, parameters, working_directory, 0, nullptr);
}

intptr_t LaunchProgramByName(const char16_t* name) {
  return StartProgram(name, u"", u"", 0, nullptr);
}

int SplitParameters(char* text, char** slots, int slot_count) {
  int count = 0;
  char* cursor = text;
  for (;;) {
    cursor = SkipSeparators(cursor);
    if (*cursor == '\0') break;
    if (count == slot_count - 1) {
      slots[count] = nullptr;
      return -1;
    }
    if (*cursor != '"') {
      slots[count++] = cursor;
      cursor = EndOfPlainArgument(cursor);
      continue;
    }
    // A quoted argument runs to the next quote, separators included; the character after
    // that quote starts the next argument at once.
    slots[count++] = ++cursor;
    char* closing = strchr(cursor, '"');
    if (closing == nullptr) break;
    *closing = '\0';
    cursor = closing + 1;
  }
  slots[count] = nullptr;
  return count;
}
