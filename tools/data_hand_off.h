// Where libisofs's writer thread hands the files' data over to this program.
//
// Mostly libisofs only lays the image out and writes its trees: its writer thread stops where
// the data starts, in the opening of the first file's stream, and DataCopy puts the data in
// place, much faster than libisofs would (see data_copy.h).
//
// The thread that reads the image stream announces the file it expects libisofs to open first
// of those that are not empty (Expect), takes the image up to where it expects that file's
// data, and meets the writer thread there: the writer thread waits in that file's opening
// until Decide. The image is agreed on when the writer thread stands at the expected file with
// nothing left in the image stream; then the streams deliver nothing and this program puts the
// data in place. Otherwise they deliver it. What this rests on is listed in libisofs_api.h.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "tools/libisofs_api.h"
#include "tools/result.h"
#include "tools/source_snapshot.h"

class DataHandOff {
 public:
  DataHandOff() = default;
  DataHandOff(const DataHandOff&) = delete;
  DataHandOff& operator=(const DataHandOff&) = delete;

  // For the thread that reads the image stream. Expect comes before the writer thread starts,
  // which may reach the data at once.
  void Expect(const SourceSnapshot::File& first);
  // Returns how many bytes to read next from stream, at most want: want once the stream holds
  // them, or when no more are coming; fewer when the writer thread waits at the data, until
  // Decide.
  size_t AwaitChunk(burn_source* stream, size_t want);
  // Whether the image is agreed on, else why not; reached: the image has been read up to where
  // the data is expected to start. While the writer thread has yet to arrive, more bytes in the
  // image stream, or its end, mean that it will not arrive there.
  Result Agree(burn_source* stream, bool reached);
  // Lets the writer thread go on; placed tells the streams to deliver nothing. Later calls
  // change nothing.
  void Decide(bool placed);
  // Whether the writer thread waits in the opening of its first file; waits up to timeout
  // for it.
  bool WriterAtData(std::chrono::milliseconds timeout);
  // Whether that first file is the one expected. REQUIRES: WriterAtData() is true.
  bool WriterAtExpectedFile() const;

  // For the streams, on the writer thread: whether the data is put in place by this program,
  // waiting for the decision in the first opening of a file that is not empty after Expect.
  bool DataPlaced(const SourceSnapshot::File& file);

 private:
  enum class Placement { Unexpected, Expected, Placed, Streamed };

  mutable std::mutex mutex_;  // guards what follows
  std::condition_variable placement_changed_;
  Placement placement_ = Placement::Unexpected;
  const SourceSnapshot::File* expected_first_ = nullptr;
  const SourceSnapshot::File* first_opened_ = nullptr;
};
