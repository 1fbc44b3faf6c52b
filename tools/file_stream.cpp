#include "tools/file_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

// libisofs.h leaves the stream object undefined for C++ (a member is named "class"); this is
// the same layout. libisofs frees it with free() when the last reference goes.
struct iso_stream {
  IsoStreamIface* iface;
  int refcount;
  void* data;
};

namespace {

constexpr int InterruptRetries = 100;
// With the device and inode, the stream's identity: libisofs writes the data of streams with
// one identity once, so hard-linked files share it. The id keeps these streams apart from
// libisofs's own kinds.
constexpr unsigned int StreamFilesystemId = 0x42726576;

struct FileStream {
  FileStream(StreamContext& context, const SourceSnapshot::File& file)
      : context(&context), file(&file) {}

  StreamContext* context;
  const SourceSnapshot::File* file;
  // While open: the file's data is [begin, end) of buffer, then what the descriptor (if any)
  // still holds. A buffer of the context's size goes back to it on closing.
  std::unique_ptr<unsigned char[]> buffer;
  bool is_open = false;
  bool context_buffer = false;
  int fd = -1;
  size_t begin = 0;
  size_t end = 0;
  off_t read_from_file = 0;
  off_t delivered = 0;
};

// The stream and its state in one allocation, which libisofs's free() releases whole.
struct StreamAllocation {
  IsoStream stream;
  FileStream file;
};

FileStream& Of(IsoStream* stream) {
  return *static_cast<FileStream*>(stream->data);
}

off_t SizeOf(const FileStream& file) {
  return file.file->state.size;
}

std::string PathOf(const FileStream& file) {
  return file.context->snapshot().PathOf(*file.file);
}

int Fail(FileStream& file, std::string reason, int code) {
  file.context->RecordFailure(std::move(reason));
  return code;
}

int FailWithErrno(FileStream& file, int error_number, int code) {
  if (error_number == ENOENT) return Fail(file, VanishedReason(PathOf(file)), code);
  return Fail(file, "cannot read " + PathOf(file) + ": " + std::strerror(error_number), code);
}

// Reads exactly size bytes, resuming after interruptions and short reads. Returns 0, -1 with
// errno set, or 1 when the file ended first.
int ReadExactly(int fd, unsigned char* destination, size_t size) {
  size_t got = 0;
  int interruptions = 0;
  while (got < size) {
    ssize_t count = read(fd, destination + got, size - got);
    if (count < 0 && errno == EINTR && ++interruptions < InterruptRetries) continue;
    if (count < 0) return -1;
    if (count == 0) return 1;
    got += static_cast<size_t>(count);
  }
  return 0;
}

int Close(IsoStream* stream) {
  FileStream& file = Of(stream);
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  file.is_open = false;
  if (file.context_buffer) file.context->ReturnBuffer(std::move(file.buffer));
  file.buffer.reset();
  return ISO_SUCCESS;
}

int Open(IsoStream* stream) {
  FileStream& file = Of(stream);
  Close(stream);
  file.begin = file.end = 0;
  file.read_from_file = file.delivered = 0;
  file.buffer = file.context->TakeReadAhead(*file.file);
  if (file.buffer) {
    file.context_buffer = false;
    file.end = static_cast<size_t>(SizeOf(file));
    file.read_from_file = SizeOf(file);
    file.is_open = true;
    return ISO_SUCCESS;
  }
  file.fd = file.context->OpenFile(*file.file);
  if (file.fd < 0) return FailWithErrno(file, errno, ISO_FILE_ERROR);
  struct stat now;
  if (fstat(file.fd, &now) != 0) return FailWithErrno(file, errno, ISO_FILE_ERROR);
  if (!file.file->state.Matches(now))
    return Fail(file, ChangedReason(PathOf(file)), ISO_FILE_ERROR);
  file.buffer = file.context->TakeBuffer();
  file.context_buffer = true;
  file.is_open = true;
  return ISO_SUCCESS;
}

// Fills the buffer with the file's next bytes; a file that ends before its scanned size
// has shrunk since the scan.
int Refill(FileStream& file) {
  size_t want = std::min(StreamContext::ReadBufferSize,
                         static_cast<size_t>(SizeOf(file) - file.read_from_file));
  int result = ReadExactly(file.fd, file.buffer.get(), want);
  if (result < 0) return FailWithErrno(file, errno, ISO_FILE_READ_ERROR);
  if (result > 0) return Fail(file, ChangedReason(PathOf(file)), ISO_FILE_READ_ERROR);
  file.begin = 0;
  file.end = want;
  file.read_from_file += static_cast<off_t>(want);
  return ISO_SUCCESS;
}

int Read(IsoStream* stream, void* destination, size_t count) {
  FileStream& file = Of(stream);
  if (!file.is_open) return ISO_FILE_NOT_OPENED;
  auto* out = static_cast<unsigned char*>(destination);
  size_t done = 0;
  while (done < count && file.delivered < SizeOf(file)) {
    if (file.begin == file.end) {
      int result = Refill(file);
      if (result < 0) return result;
    }
    size_t part = std::min(count - done, file.end - file.begin);
    std::memcpy(out + done, file.buffer.get() + file.begin, part);
    file.begin += part;
    done += part;
    file.delivered += static_cast<off_t>(part);
  }
  return static_cast<int>(done);
}

off_t GetSize(IsoStream* stream) {
  return SizeOf(Of(stream));
}

int IsRepeatable(IsoStream*) {
  return 1;
}

void GetId(IsoStream* stream, unsigned int* filesystem_id, dev_t* device, ino_t* inode) {
  *filesystem_id = StreamFilesystemId;
  *device = Of(stream).file->state.device;
  *inode = Of(stream).file->state.inode;
}

void Free(IsoStream* stream) {
  Close(stream);
  Of(stream).~FileStream();
}

int UpdateSize(IsoStream*) {
  return ISO_SUCCESS;
}

IsoStream* NoInputStream(IsoStream*, int) {
  return nullptr;
}

int Compare(IsoStream* first, IsoStream* second);

IsoStreamIface FileStreamInterface = {
    3,    {'u', 's', 'e', 'r'}, Open,          Close,   GetSize, Read, IsRepeatable, GetId,
    Free, UpdateSize,           NoInputStream, Compare, nullptr};

// The order libisofs sorts the image's files in, and writes their data in, and by which it
// finds the hard links that share their data; it compares pairs of files many times per file
// while it lays the image out. Its own comparison asks each stream for its identity and size
// through three calls. Streams of other kinds, which no image of this tool holds, come after
// these, ordered by interface.
int Compare(IsoStream* first, IsoStream* second) {
  if (first->iface != second->iface) {
    bool first_is_file = first->iface == &FileStreamInterface;
    bool second_is_file = second->iface == &FileStreamInterface;
    if (first_is_file != second_is_file) return first_is_file ? -1 : 1;
    return std::less<>()(first->iface, second->iface) ? -1 : 1;
  }
  const FileState& a = Of(first).file->state;
  const FileState& b = Of(second).file->state;
  auto order = std::tuple(a.device, a.inode, a.size) <=> std::tuple(b.device, b.inode, b.size);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

}  // namespace

FolderCache::~FolderCache() {
  for (const OpenFolder& folder : folders_) {
    if (folder.fd >= 0) close(folder.fd);
  }
}

int FolderCache::Open(const SourceSnapshot::File& file) {
  ++uses_;
  OpenFolder* slot = &folders_[0];
  for (OpenFolder& folder : folders_) {
    if (folder.fd >= 0 && folder.folder == file.folder) {
      slot = &folder;
      break;
    }
    if (folder.last_used < slot->last_used) slot = &folder;
  }
  if (slot->fd < 0 || slot->folder != file.folder) {
    if (slot->fd >= 0) close(slot->fd);
    slot->folder = file.folder;
    // A path-only descriptor: it serves as the base of the files' names and needs no right
    // to read the folder.
    slot->fd = open(snapshot_.FolderPath(file.folder).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (slot->fd < 0) return -1;
  }
  slot->last_used = uses_;
  return openat(slot->fd, file.name, O_RDONLY | O_CLOEXEC);
}

void StreamContext::RecordFailure(std::string reason) {
  std::lock_guard lock(mutex_);
  if (failure_.empty()) failure_ = std::move(reason);
}

std::string StreamContext::FailureReason() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

int StreamContext::OpenFile(const SourceSnapshot::File& file) {
  std::lock_guard lock(writer_folders_mutex_);
  return writer_folders_.Open(file);
}

std::unique_ptr<unsigned char[]> StreamContext::TakeBuffer() {
  {
    std::lock_guard lock(mutex_);
    if (spare_buffer_) return std::move(spare_buffer_);
  }
  return std::make_unique_for_overwrite<unsigned char[]>(ReadBufferSize);
}

void StreamContext::ReturnBuffer(std::unique_ptr<unsigned char[]> buffer) {
  std::lock_guard lock(mutex_);
  if (!spare_buffer_) spare_buffer_ = std::move(buffer);
}

std::unique_ptr<unsigned char[]> StreamContext::TakeReadAhead(const SourceSnapshot::File& file) {
  Order order = OrderOf(file);
  std::unique_ptr<unsigned char[]> taken;
  std::lock_guard lock(mutex_);
  if (!last_opened_ || *last_opened_ < order) last_opened_ = order;
  while (!read_ahead_.empty() && OrderOf(*read_ahead_.front().file) <= order) {
    ReadAheadFile& front = read_ahead_.front();
    read_ahead_bytes_ -= static_cast<size_t>(front.file->state.size);
    // Hard links share an order, and their data.
    if (OrderOf(*front.file) == order) taken = std::move(front.data);
    read_ahead_.pop_front();
  }
  return taken;
}

// The small files in libisofs's order, each hard-linked one once.
void StreamContext::PlanReadAhead() {
  planned_ = true;
  for (const SourceSnapshot::File& file : snapshot_.files()) {
    size_t size = static_cast<size_t>(file.state.size);
    if (size > 0 && size <= ReadBufferSize) plan_.push_back(&file);
  }
  std::ranges::sort(plan_, {}, [](const SourceSnapshot::File* file) { return OrderOf(*file); });
  auto duplicates = std::ranges::unique(
      plan_, {}, [](const SourceSnapshot::File* file) { return OrderOf(*file); });
  plan_.erase(duplicates.begin(), duplicates.end());
}

bool StreamContext::ReadAhead() {
  if (!planned_) {
    PlanReadAhead();
    return true;
  }
  {
    std::lock_guard lock(mutex_);
    if (read_ahead_bytes_ >= ReadAheadBytes) return false;
    // Once the writer thread has caught up with the files read ahead, reading the very next
    // one would race it for that file, and mostly lose. Leaving it the next few instead, the
    // two threads share the reading.
    bool caught_up = false;
    while (next_in_plan_ < plan_.size() && last_opened_ &&
           OrderOf(*plan_[next_in_plan_]) <= *last_opened_) {
      ++next_in_plan_;
      caught_up = true;
    }
    if (caught_up) next_in_plan_ = std::min(plan_.size(), next_in_plan_ + ReadAheadGap);
  }
  if (next_in_plan_ == plan_.size()) return false;
  const SourceSnapshot::File& file = *plan_[next_in_plan_++];
  std::unique_ptr<unsigned char[]> data = ReadWhole(file);
  if (!data) return true;
  std::lock_guard lock(mutex_);
  if (last_opened_ && OrderOf(file) <= *last_opened_) return true;  // too late
  read_ahead_bytes_ += static_cast<size_t>(file.state.size);
  read_ahead_.push_back({&file, std::move(data)});
  return true;
}

std::unique_ptr<unsigned char[]> StreamContext::ReadWhole(const SourceSnapshot::File& file) {
  int fd = reader_folders_.Open(file);
  if (fd < 0) return nullptr;
  size_t size = static_cast<size_t>(file.state.size);
  auto data = std::make_unique_for_overwrite<unsigned char[]>(size);
  struct stat now;
  bool whole =
      fstat(fd, &now) == 0 && file.state.Matches(now) && ReadExactly(fd, data.get(), size) == 0;
  close(fd);
  if (!whole) data.reset();
  return data;
}

IsoStream* NewFileStream(StreamContext& context, const SourceSnapshot::File& file) {
  void* memory = std::malloc(sizeof(StreamAllocation));
  if (memory == nullptr) return nullptr;
  auto* allocation = static_cast<StreamAllocation*>(memory);
  IsoStream* stream = &allocation->stream;
  stream->iface = &FileStreamInterface;
  stream->refcount = 1;
  stream->data = new (&allocation->file) FileStream(context, file);
  return stream;
}
