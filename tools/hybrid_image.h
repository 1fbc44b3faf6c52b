// Writing a hybrid image: an ISO 9660 tree (interchange level 3, so files of 4 GiB and more
// fit) with Rock Ridge, and optionally a Joliet tree with long names in UTF-16, of the
// contents of a folder. Built on libisofs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/command_line.h"
#include "tools/result.h"

// Told how a run proceeds; every call comes from the thread that runs MakeHybridImage.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // The folder has been scanned and its files' state recorded; image_size bytes follow.
  virtual void Started(uint64_t image_size) = 0;
  // Of the work that follows, which takes about as long for each unit of total, done is
  // done: each call more of it, and all of it (done == total) only once the image is at its
  // destination. total stays the same through a run.
  virtual void Advanced(uint64_t done, uint64_t total) = 0;
  // Something worth knowing that does not fail the run, e.g. a symbolic link that the
  // Joliet tree cannot hold.
  virtual void Warned(std::string_view text) = 0;
};

// How the files' data reaches the image: put in place by this program while libisofs writes
// the trees, or delivered by libisofs through its image stream, which is slower. Placed
// falls back to Streamed where the image file cannot be given its size ahead, or libisofs
// lays the image out otherwise than expected.
enum class DataPath { Placed, Streamed };

// The path a run's data took and, where it fell back from Placed, why, naming the
// assumptions of libisofs_api.h that did not hold.
struct DataPathTaken {
  DataPath path = DataPath::Placed;
  std::string why_streamed;
};

// Writes the image of options.source to options.output. Fails with a reason worded to follow
// "makehybrid failed - ". A failed run leaves options.output as it was; a successful one
// leaves SIGTERM, SIGINT and SIGHUP blocked in the calling thread (see ImageFile::Commit).
// taken, if given, receives the path the data took. Not reentrant: libisofs keeps its
// settings and messages process-wide.
// REQUIRES: options.source is a folder.
Result MakeHybridImage(const MakeHybridOptions& options, ProgressSink& progress,
                       DataPath requested = DataPath::Placed, DataPathTaken* taken = nullptr);
