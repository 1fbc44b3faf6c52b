#include "tools/data_hand_off.h"

#include <time.h>

#include <algorithm>
#include <optional>

#include "tools/file_stream.h"

namespace {

// While the image stream holds less than a chunk, the reading thread sleeps for about the time
// the writer thread takes to make the rest at this rate, within these bounds.
constexpr long BytesPerMicrosecond = 1000;
constexpr long ShortestPauseMicroseconds = 20;
constexpr long LongestPauseMicroseconds = 2000;

// What the image stream holds, or nullopt once the writer no longer writes or the stream is no
// longer read.
std::optional<size_t> HeldBytes(burn_source* stream, size_t& capacity) {
  size_t free_bytes = 0;
  if (iso_ring_buffer_get_status(stream, &capacity, &free_bytes) != 1) return std::nullopt;
  return capacity - free_bytes;
}

}  // namespace

void DataHandOff::Expect(const SourceSnapshot::File& first) {
  std::lock_guard lock(mutex_);
  if (placement_ == Placement::Unexpected) placement_ = Placement::Expected;
  expected_first_ = &first;
}

// A read waits only until some bytes are there and then takes what there is. While the writer
// thread makes the trees, that is a block or two, and the writer wakes the reading thread for
// each: the threads then spend more time handing blocks over than making and writing them.
// Waiting until a chunk is there lets the writer fill the ring buffer undisturbed, while the
// reading thread sleeps.
size_t DataHandOff::AwaitChunk(burn_source* stream, size_t want) {
  for (;;) {
    size_t capacity = 0;
    std::optional<size_t> held = HeldBytes(stream, capacity);
    if (!held || *held >= std::min(want, capacity)) return want;
    if (WriterAtData(std::chrono::milliseconds(0))) {
      // What the stream holds once the writer waits is all it will hold until Decide.
      size_t free_bytes = 0;
      iso_ring_buffer_get_status(stream, &capacity, &free_bytes);
      return std::min(want, capacity - free_bytes);
    }
    long pause = static_cast<long>(want - *held) / BytesPerMicrosecond;
    pause = std::clamp(pause, ShortestPauseMicroseconds, LongestPauseMicroseconds);
    timespec duration{0, pause * 1000};
    nanosleep(&duration, nullptr);
  }
}

Result DataHandOff::Agree(burn_source* stream, bool reached) {
  size_t capacity = 0;
  while (!WriterAtData(std::chrono::milliseconds(2))) {
    std::optional<size_t> held = HeldBytes(stream, capacity);
    if (!held) return Result::Failure("the image ended with no file opened [opened at data]");
    if (*held != 0) {
      return Result::Failure(
          "the image went on past the expected start of the data "
          "[data last] [shared data] [opened at data]");
    }
  }
  if (!reached) {
    return Result::Failure(
        "the writer stood at the data before the expected start of it "
        "[data last] [shared data]");
  }
  if (HeldBytes(stream, capacity).value_or(1) != 0) {
    return Result::Failure(
        "the image went on past the expected start of the data "
        "[data last] [shared data] [opened at data]");
  }
  if (!WriterAtExpectedFile()) {
    return Result::Failure("the writer opened another file first [data order] [shared data]");
  }
  return Result::Success();
}

void DataHandOff::Decide(bool placed) {
  {
    std::lock_guard lock(mutex_);
    if (placement_ == Placement::Placed || placement_ == Placement::Streamed) return;
    placement_ = placed ? Placement::Placed : Placement::Streamed;
  }
  placement_changed_.notify_all();
}

bool DataHandOff::WriterAtData(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return placement_changed_.wait_for(lock, timeout, [this] {
    return placement_ == Placement::Expected && first_opened_ != nullptr;
  });
}

bool DataHandOff::WriterAtExpectedFile() const {
  std::lock_guard lock(mutex_);
  return first_opened_ != nullptr && DataOrderOf(*first_opened_) == DataOrderOf(*expected_first_);
}

bool DataHandOff::DataPlaced(const SourceSnapshot::File& file) {
  std::unique_lock lock(mutex_);
  // Empty files have no data, and libisofs may open them or not.
  if (placement_ == Placement::Expected && first_opened_ == nullptr && file.state.size > 0) {
    first_opened_ = &file;
    placement_changed_.notify_all();
    placement_changed_.wait(lock, [this] { return placement_ != Placement::Expected; });
  }
  return placement_ == Placement::Placed;
}
