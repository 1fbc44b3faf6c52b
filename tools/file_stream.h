// The stream libisofs reads a local file's data through.
//
// libisofs's own stream for local files makes one read(2) per 2048-byte block; this one reads
// up to 64 KiB per call and hands the blocks out of its buffer. It also refuses to deliver
// data that is not the file that was scanned: opening fails when the file is gone or has
// another identity, size, modification or change time, and a file that ends early fails the read
// instead of being padded with zeros.
//
// Mostly, though, libisofs only lays the image out and writes its trees: the files' data is
// copied into the image by this program (see data_copy.h), and the streams deliver nothing.
// The two agree on where the data starts when libisofs's writer thread opens its first
// stream (see data_hand_off.h).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "tools/data_hand_off.h"
#include "tools/libisofs_api.h"
#include "tools/source_snapshot.h"

// Opens a snapshot's files by their names in their folders, which stay open for the files
// after them, rather than walking each file's whole path again: for small files, looking up
// the path is a good part of what opening one costs. For one thread at a time.
class FolderCache {
 public:
  explicit FolderCache(const SourceSnapshot& snapshot) : snapshot_(snapshot) {}
  FolderCache(const FolderCache&) = delete;
  FolderCache& operator=(const FolderCache&) = delete;
  ~FolderCache();

  // Returns the descriptor of the file opened for reading, or -1 with the reason in failure
  // when it cannot be opened or is not the file that was scanned (another identity, size,
  // modification or change time): data from another file must not reach the image.
  int OpenAsScanned(const SourceSnapshot::File& file, std::string& failure);

 private:
  // Returns the descriptor of the file opened for reading, or -1 with errno set.
  int Open(const SourceSnapshot::File& file);

  struct OpenFolder {
    uint32_t folder = 0;
    int fd = -1;
    uint64_t last_used = 0;
  };
  // libisofs reads the files in the order of their inodes, which mostly, not always, keeps
  // a folder's files together.
  static constexpr size_t OpenFolderCount = 16;

  const SourceSnapshot& snapshot_;
  std::array<OpenFolder, OpenFolderCount> folders_;
  uint64_t uses_ = 0;
};

// The order in which the files' data is laid out, and by which libisofs finds the hard links
// that share their data (see Compare in file_stream.cpp).
using DataOrder = std::tuple<dev_t, ino_t, off_t>;
inline DataOrder DataOrderOf(const SourceSnapshot::File& file) {
  return {file.state.device, file.state.inode, file.state.size};
}

// What the streams of one image share. Streams are opened and read on libisofs's writer
// thread; the failure is every thread's.
class StreamContext {
 public:
  // Files up to this size are read in one call.
  static constexpr size_t ReadBufferSize = size_t{64} << 10;

  explicit StreamContext(const SourceSnapshot& snapshot)
      : snapshot_(snapshot), writer_folders_(snapshot) {}
  StreamContext(const StreamContext&) = delete;
  StreamContext& operator=(const StreamContext&) = delete;

  // Keeps the first reason a stream failed.
  void RecordFailure(std::string reason);
  std::string FailureReason() const;

  const SourceSnapshot& snapshot() const { return snapshot_; }

  // Where libisofs's writer thread hands the data over to this program, or not.
  DataHandOff& hand_off() { return hand_off_; }

  // For the streams, on the writer thread:
  // FolderCache::OpenAsScanned.
  int OpenFile(const SourceSnapshot::File& file, std::string& failure);
  // A read buffer of ReadBufferSize bytes; one buffer goes from each stream closed to the
  // next one opened.
  std::unique_ptr<unsigned char[]> TakeBuffer();
  void ReturnBuffer(std::unique_ptr<unsigned char[]> buffer);

 private:
  const SourceSnapshot& snapshot_;
  DataHandOff hand_off_;
  mutable std::mutex mutex_;  // guards what follows
  std::string failure_;
  std::unique_ptr<unsigned char[]> spare_buffer_;

  std::mutex writer_folders_mutex_;
  FolderCache writer_folders_;
};

// Reads exactly size bytes from offset, resuming after interruptions and short reads.
// Returns 0, -1 with errno set, or 1 when the file ended first.
int ReadExactlyAt(int fd, unsigned char* destination, size_t size, off_t offset);

// The file a stream of NewFileStream's reads, else null.
const SourceSnapshot::File* FileOfStream(IsoStream* stream);

// A new stream (one reference, for iso_image_add_new_file to take) over a file of the
// context's snapshot, as scanned. context must outlive the stream.
IsoStream* NewFileStream(StreamContext& context, const SourceSnapshot::File& file);
