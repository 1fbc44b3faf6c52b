#include "process/program_pump.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "process/descriptors.h"
#include "process/pipe_reader.h"
#include "process/program_launch.h"
#include "process/program_output.h"
#include "runtime/string_stack.h"
#include "runtime/text_conversion.h"

namespace {

// What one round takes from a pipe before the caller's wait runs again: a program that
// writes without pause must not keep the caller (a window, say) from being served.
constexpr size_t kRoundBytes = 256 * 1024;
// A line longer than this is delivered in pieces, so that output without line feeds
// cannot make the held text grow without bound.
constexpr size_t kLongestLine = 64 * 1024;

// Cuts one pipe's bytes into lines.
class LineSplitter {
 public:
  LineSplitter(PipeReader* reader, bool byte_mode, void (*deliver)(const char16_t*, void*),
               void* context)
      : reader_(reader), byte_mode_(byte_mode), deliver_(deliver), context_(context) {}

  // Takes what the pipe holds now, up to one round's worth. Never waits.
  void TakeAvailable() {
    if (reader_ == nullptr) return;
    char bytes[4096];
    for (size_t taken = 0; taken < kRoundBytes;) {
      uint64_t buffered = PipeReaderFill(reader_);
      if (buffered == 0) return;
      size_t n = buffered < sizeof bytes ? static_cast<size_t>(buffered) : sizeof bytes;
      PipeReaderRead(reader_, bytes, n);
      Split(bytes, n);
      taken += n;
    }
  }

  // Delivers a last line that has no line feed.
  void Finish() {
    if (!held_.empty()) Deliver();
  }

  // The descriptor to wait on, or -1 when the pipe has ended (it would wake every wait).
  int Descriptor() const {
    if (reader_ == nullptr || feof(reader_->stream)) return -1;
    return fileno(reader_->stream);
  }

 private:
  void Split(const char* bytes, size_t n) {
    for (size_t start = 0; start < n;) {
      const void* found = memchr(bytes + start, '\n', n - start);
      size_t end =
          found == nullptr ? n : static_cast<size_t>(static_cast<const char*>(found) - bytes);
      held_.append(bytes + start, end - start);
      if (found != nullptr || held_.size() >= kLongestLine) Deliver();
      start = found == nullptr ? n : end + 1;
    }
  }

  void Deliver() {
    if (deliver_ != nullptr) {
      StringMark mark;
      deliver_(byte_mode_ ? Latin1ToStringStack(held_.c_str(), mark.Offset())
                          : Utf8ToStringStack(held_.c_str(), mark.Offset()),
               context_);
    }
    held_.clear();
  }

  PipeReader* reader_;
  bool byte_mode_;
  void (*deliver_)(const char16_t*, void*);
  void* context_;
  std::string held_;
};

// An interrupted wait simply returns; the pump looks and calls again.
void WaitWithoutLimit(const int* descriptors, int32_t count, void*) {
  WaitForReadable(descriptors, count, -1);
}

}  // namespace

void PumpProgramOutput(ProgramRecord* record, const ProgramPump& pump) {
  const bool byte_mode = (record->flags & LaunchByteOutput) != 0;
  LineSplitter output(record->output, byte_mode, pump.outputLine, pump.context);
  LineSplitter error(record->error, false, pump.errorLine, pump.context);
  auto wait = pump.wait != nullptr ? pump.wait : &WaitWithoutLimit;
  for (;;) {
    // Asked before the pipes are read: whatever the program wrote is in them by the time
    // its end has been collected, so this round's reads take the last of it.
    const bool ended = ProgramEndCollected(record);
    output.TakeAvailable();
    error.TakeAvailable();
    if (ended) break;
    int descriptors[3];
    int32_t count = 0;
    for (int fd : {output.Descriptor(), error.Descriptor(), static_cast<int>(record->endNotice)}) {
      if (fd >= 0) descriptors[count++] = fd;
    }
    // Without a waiter and with both pipes ended, only the end itself is left to wait for.
    if (count == 0) {
      WaitProgramEnd(record, -1);
      continue;
    }
    wait(descriptors, count, pump.context);
  }
  output.Finish();
  error.Finish();
}
