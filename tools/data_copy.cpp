#include "tools/data_copy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "tools/image_file.h"

namespace {

constexpr uint64_t BlockSize = 2048;

}  // namespace

DataLayout LayOutData(const SourceSnapshot& snapshot) {
  std::vector<const SourceSnapshot::File*> files;
  files.reserve(snapshot.files().size());
  for (const SourceSnapshot::File& file : snapshot.files())
    files.push_back(&file);
  auto order = [](const SourceSnapshot::File* file) { return DataOrderOf(*file); };
  std::ranges::sort(files, {}, order);
  auto links = std::ranges::unique(files, {}, order);
  files.erase(links.begin(), links.end());
  DataLayout layout;
  layout.files.reserve(files.size());
  for (const SourceSnapshot::File* file : files) {
    layout.files.push_back({file, layout.size, layout.work});
    uint64_t size = static_cast<uint64_t>(file->state.size);
    layout.size += (size + BlockSize - 1) / BlockSize * BlockSize;
    // An empty file is never opened.
    if (size > 0) layout.work += PerFileCopyWork + size;
  }
  return layout;
}

uint64_t DataLayout::WorkThrough(uint64_t offset) const {
  // The last file that starts before offset, of those that hold data.
  auto after = std::ranges::lower_bound(files, offset, {}, &Entry::offset);
  while (after != files.begin() && std::prev(after)->file->state.size == 0)
    --after;
  if (after == files.begin()) return 0;
  const Entry& entry = *std::prev(after);
  uint64_t size = static_cast<uint64_t>(entry.file->state.size);
  return entry.work_before + PerFileCopyWork + std::min(offset - entry.offset, size);
}

DataCopy::DataCopy(const DataLayout& layout, uint64_t data_start, const ImageFile& image,
                   StreamContext& streams)
    : layout_(layout), data_start_(data_start), image_(image), streams_(streams) {}

void DataCopy::Start() {
  // The terminating signals stay with the thread that names the image file.
  CleanupSignalsBlocked blocked;
  helper_ = std::thread([this] { Work(nullptr); });
}

bool DataCopy::Finish(const Copied& copied) {
  Work(&copied);
  if (helper_.joinable()) helper_.join();
  return !stopping_.load();
}

void DataCopy::Stop() {
  stopping_ = true;
  if (helper_.joinable()) helper_.join();
}

// The next piece in the image's order, skipping empty files; false once there is none.
bool DataCopy::TakePiece(Piece& piece) {
  std::lock_guard lock(mutex_);
  for (; next_entry_ < layout_.files.size(); ++next_entry_, next_from_ = 0) {
    const DataLayout::Entry& entry = layout_.files[next_entry_];
    auto size = static_cast<uint64_t>(entry.file->state.size);
    if (next_from_ >= size) continue;
    piece = {&entry, next_from_,
             static_cast<size_t>(std::min<uint64_t>(PieceSize, size - next_from_))};
    next_from_ += piece.size;
    return true;
  }
  return false;
}

void DataCopy::Work(const Copied* copied) {
  FolderCache folders(streams_.snapshot());
  std::vector<unsigned char> buffer;
  Piece piece;
  while (!stopping_.load(std::memory_order_relaxed) && TakePiece(piece)) {
    if (!CopyPiece(piece, folders, buffer)) {
      stopping_ = true;
      break;
    }
    // A file's first piece carries its opening.
    uint64_t work = piece.size + (piece.from == 0 ? PerFileCopyWork : 0);
    uint64_t done = work_done_.fetch_add(work, std::memory_order_relaxed) + work;
    if (copied != nullptr) (*copied)(done, piece.entry->offset + piece.from + piece.size);
  }
}

// The file is examined again once open, as its stream would: data from another file, or from
// this one changed since the scan, must not reach the image. The bytes after the file's end in
// its last block stay the zeros the image file holds where nothing was written.
bool DataCopy::CopyPiece(const Piece& piece, FolderCache& folders,
                         std::vector<unsigned char>& buffer) {
  const SourceSnapshot::File& file = *piece.entry->file;
  std::string failure;
  int fd = folders.OpenAsScanned(file, failure);
  if (fd >= 0) {
    buffer.resize(std::max(buffer.size(), piece.size));
    int status = ReadExactlyAt(fd, buffer.data(), piece.size, static_cast<off_t>(piece.from));
    int error_number = errno;
    // A file that ends before its scanned size has shrunk since the scan.
    if (status != 0) {
      const std::string path = streams_.snapshot().PathOf(file);
      failure = status > 0 ? ChangedReason(path) : SystemFailure("cannot read", path, error_number);
    }
    close(fd);
  }
  if (failure.empty()) {
    failure =
        image_.WriteAt(buffer.data(), piece.size, data_start_ + piece.entry->offset + piece.from);
  }
  if (failure.empty()) return true;
  streams_.RecordFailure(std::move(failure));
  return false;
}
