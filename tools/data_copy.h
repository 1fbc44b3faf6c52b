// Puts the files' data into the image file where libisofs lays it out, on two threads, while
// libisofs's writer thread makes the trees before it.
//
// Through libisofs, every byte of a file went from the file into a stream buffer, into
// libisofs's block, through its ring buffer and into the image, one 2048-byte block at a
// time, handed between threads. Here a file is read and written to its place in the image
// in one call each (a larger one in pieces), and two files are copied at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/file_stream.h"
#include "tools/image_file.h"
#include "tools/source_snapshot.h"

// What copying a file costs besides its bytes (opening it, examining it, closing it), in bytes
// whose copying takes as long: on a warm cache, a file of a few kilobytes takes about three
// microseconds, the copying of its bytes a fraction of one. Weighed by their bytes alone, many
// small files would show a run's progress racing ahead or crawling wherever the files' sizes
// change.
constexpr uint64_t PerFileCopyWork = 8 << 10;

// Where each file's data goes, relative to the start of the data: the files in libisofs's
// order, each hard-linked one once, each starting on a block of its own.
struct DataLayout {
  struct Entry {
    const SourceSnapshot::File* file;
    uint64_t offset;
    uint64_t work_before;  // of the files before this one
  };
  std::vector<Entry> files;
  uint64_t size = 0;  // in whole blocks
  // Of copying every file that is not empty: its bytes and PerFileCopyWork.
  uint64_t work = 0;

  // The work done once the data is in place up to offset, from the data's start.
  uint64_t WorkThrough(uint64_t offset) const;
};

DataLayout LayOutData(const SourceSnapshot& snapshot);

class DataCopy {
 public:
  // A larger file is copied a piece of this size at a time, the pieces shared between the
  // threads.
  static constexpr size_t PieceSize = size_t{1} << 20;

  // The data goes to data_start of image, which must be long enough to hold it. Failures go
  // to streams, as the streams' do. All must outlive the copy.
  DataCopy(const DataLayout& layout, uint64_t data_start, const ImageFile& image,
           StreamContext& streams);
  DataCopy(const DataCopy&) = delete;
  DataCopy& operator=(const DataCopy&) = delete;
  ~DataCopy() { Stop(); }

  // Starts copying on a thread of its own.
  void Start();
  // Copies on the calling thread too until every file is copied or one failed, telling
  // copied after each of this thread's pieces the work done so far (see DataLayout::work) and
  // where that piece ended, from the data's start; then waits for the other thread. Returns
  // whether every file was copied (else streams holds the reason).
  using Copied = std::function<void(uint64_t work, uint64_t piece_end)>;
  bool Finish(const Copied& copied);
  // Stops both threads after the pieces they are copying.
  void Stop();

 private:
  struct Piece {
    const DataLayout::Entry* entry;
    uint64_t from;  // within the file
    size_t size;
  };

  bool TakePiece(Piece& piece);
  void Work(const Copied* copied);
  bool CopyPiece(const Piece& piece, FolderCache& folders, std::vector<unsigned char>& buffer);

  const DataLayout& layout_;
  uint64_t data_start_;
  const ImageFile& image_;
  StreamContext& streams_;
  std::mutex mutex_;  // guards the next piece
  size_t next_entry_ = 0;
  uint64_t next_from_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> work_done_{0};
  std::thread helper_;
};
