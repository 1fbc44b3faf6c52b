// The stream libisofs reads a local file's data through.
//
// libisofs's own stream for local files makes one read(2) per 2048-byte block; this one reads
// up to 64 KiB per call and hands the blocks out of its buffer. It also refuses to deliver
// data that is not the file that was scanned: opening fails when the file is gone or has
// another identity, size or modification time, and a file that ends early fails the read
// instead of being padded with zeros.
//
// For many small files, opening, examining, reading and closing each costs libisofs's writer
// thread more than everything else it does for the file, while the thread that consumes the
// image mostly waits for it. So that thread reads the small files ahead (ReadAhead), in the
// order libisofs writes them, and the writer thread finds their data in memory.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

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

  // Returns the descriptor of the file opened for reading, or -1 with errno set.
  int Open(const SourceSnapshot::File& file);

 private:
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

// What the streams of one image share. Streams are read on libisofs's writer thread; the
// failure and the read-ahead are the consuming thread's.
class StreamContext {
 public:
  // Files up to this size are read in one call, and read ahead.
  static constexpr size_t ReadBufferSize = size_t{64} << 10;
  // How much file data read ahead waits in memory at most.
  static constexpr size_t ReadAheadBytes = size_t{1} << 20;
  // How many files the writer thread is left to read itself when it catches up.
  static constexpr size_t ReadAheadGap = 32;

  explicit StreamContext(const SourceSnapshot& snapshot)
      : snapshot_(snapshot), writer_folders_(snapshot), reader_folders_(snapshot) {}
  StreamContext(const StreamContext&) = delete;
  StreamContext& operator=(const StreamContext&) = delete;

  // Keeps the first reason a stream failed.
  void RecordFailure(std::string reason);
  std::string FailureReason() const;

  const SourceSnapshot& snapshot() const { return snapshot_; }

  // Reads the next small file that libisofs has not yet opened, unless ReadAheadBytes wait
  // already. Returns whether it did anything; false also once all are read. A file that
  // cannot be read, or is not as scanned, is left for its stream to fail on. For the thread
  // that consumes the image.
  bool ReadAhead();

  // For the streams, on the writer thread:
  // Opens the file for reading; returns the descriptor, or -1 with errno set.
  int OpenFile(const SourceSnapshot::File& file);
  // The file's data if it was read ahead, else null. Data read ahead for files before this
  // one in libisofs's order, which libisofs did not open, is dropped.
  std::unique_ptr<unsigned char[]> TakeReadAhead(const SourceSnapshot::File& file);
  // A read buffer of ReadBufferSize bytes; one buffer goes from each stream closed to the
  // next one opened.
  std::unique_ptr<unsigned char[]> TakeBuffer();
  void ReturnBuffer(std::unique_ptr<unsigned char[]> buffer);

 private:
  // The order in which libisofs writes the files' data (see Compare in file_stream.cpp).
  using Order = std::tuple<dev_t, ino_t, off_t>;
  static Order OrderOf(const SourceSnapshot::File& file) {
    return {file.state.device, file.state.inode, file.state.size};
  }
  struct ReadAheadFile {
    const SourceSnapshot::File* file;
    std::unique_ptr<unsigned char[]> data;
  };
  void PlanReadAhead();
  std::unique_ptr<unsigned char[]> ReadWhole(const SourceSnapshot::File& file);

  const SourceSnapshot& snapshot_;
  mutable std::mutex mutex_;  // guards what follows, up to the consuming thread's own
  std::string failure_;
  std::unique_ptr<unsigned char[]> spare_buffer_;
  std::deque<ReadAheadFile> read_ahead_;
  size_t read_ahead_bytes_ = 0;
  std::optional<Order> last_opened_;

  std::mutex writer_folders_mutex_;
  FolderCache writer_folders_;

  // The consuming thread's own.
  FolderCache reader_folders_;
  bool planned_ = false;
  std::vector<const SourceSnapshot::File*> plan_;
  size_t next_in_plan_ = 0;
};

// A new stream (one reference, for iso_image_add_new_file to take) over a file of the
// context's snapshot, as scanned. context must outlive the stream.
IsoStream* NewFileStream(StreamContext& context, const SourceSnapshot::File& file);
