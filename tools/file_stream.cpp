#include "tools/file_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

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
  // While open: the file's data is [begin, end) of buffer, then what the descriptor still
  // holds; or, when the data is put in place apart from libisofs, nothing at all.
  std::unique_ptr<unsigned char[]> buffer;
  bool is_open = false;
  bool placed = false;
  int fd = -1;
  size_t begin = 0;
  size_t end = 0;
  off_t read_from_file = 0;
  off_t delivered = 0;
};

// The stream and its state in one allocation, which libisofs's free() releases whole
// ([stream layout] in libisofs_api.h).
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
  return Fail(file, SystemFailure("cannot read", PathOf(file), error_number), code);
}

int Close(IsoStream* stream) {
  FileStream& file = Of(stream);
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  file.is_open = false;
  if (file.buffer) file.context->ReturnBuffer(std::move(file.buffer));
  return ISO_SUCCESS;
}

int Open(IsoStream* stream) {
  FileStream& file = Of(stream);
  Close(stream);
  file.begin = file.end = 0;
  file.read_from_file = file.delivered = 0;
  file.placed = file.context->hand_off().DataPlaced(*file.file);
  if (file.placed) {
    file.is_open = true;
    return ISO_SUCCESS;
  }
  std::string failure;
  file.fd = file.context->OpenFile(*file.file, failure);
  if (file.fd < 0) return Fail(file, std::move(failure), ISO_FILE_ERROR);
  file.buffer = file.context->TakeBuffer();
  file.is_open = true;
  return ISO_SUCCESS;
}

// Fills the buffer with the file's next bytes; a file that ends before its scanned size
// has shrunk since the scan.
int Refill(FileStream& file) {
  size_t want = std::min(StreamContext::ReadBufferSize,
                         static_cast<size_t>(SizeOf(file) - file.read_from_file));
  int result = ReadExactlyAt(file.fd, file.buffer.get(), want, file.read_from_file);
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
  if (file.placed) {
    // libisofs's block stays as it is: the image's bytes there come from elsewhere.
    size_t part = static_cast<size_t>(
        std::min<off_t>(SizeOf(file) - file.delivered, static_cast<off_t>(count)));
    file.delivered += static_cast<off_t>(part);
    return static_cast<int>(part);
  }
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

// The order libisofs keeps the image's files in, by which it finds the hard links that share
// their data; it compares pairs of files many times per file while it lays the image out. Its own
// comparison asks each stream for its identity and size through three calls. Streams of other
// kinds, which no image of this tool holds, come after these, ordered by interface.
int Compare(IsoStream* first, IsoStream* second) {
  if (first->iface != second->iface) {
    bool first_is_file = first->iface == &FileStreamInterface;
    bool second_is_file = second->iface == &FileStreamInterface;
    if (first_is_file != second_is_file) return first_is_file ? -1 : 1;
    return std::less<>()(first->iface, second->iface) ? -1 : 1;
  }
  auto order = DataOrderOf(*Of(first).file) <=> DataOrderOf(*Of(second).file);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

}  // namespace

int ReadExactlyAt(int fd, unsigned char* destination, size_t size, off_t offset) {
  size_t got = 0;
  int interruptions = 0;
  while (got < size) {
    ssize_t count = pread(fd, destination + got, size - got, offset + static_cast<off_t>(got));
    if (count < 0 && errno == EINTR && ++interruptions < InterruptRetries) continue;
    if (count < 0) return -1;
    if (count == 0) return 1;
    got += static_cast<size_t>(count);
  }
  return 0;
}

FolderCache::~FolderCache() {
  for (const OpenFolder& folder : folders_) {
    if (folder.fd >= 0) close(folder.fd);
  }
}

int FolderCache::OpenAsScanned(const SourceSnapshot::File& file, std::string& failure) {
  int fd = Open(file);
  if (fd < 0) {
    failure = SystemFailure("cannot read", snapshot_.PathOf(file), errno);
    return -1;
  }
  struct stat now;
  if (fstat(fd, &now) != 0) {
    failure = SystemFailure("cannot read", snapshot_.PathOf(file), errno);
  } else if (!file.state.Matches(now)) {
    failure = ChangedReason(snapshot_.PathOf(file));
  } else {
    return fd;
  }
  close(fd);
  return -1;
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
  // Should a FIFO or a device have taken the file's place, its opening must not wait for a
  // writer or a medium; OpenAsScanned then finds that it is not the file scanned. Reading a
  // regular file ignores the flag.
  return openat(slot->fd, file.name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

void StreamContext::RecordFailure(std::string reason) {
  std::lock_guard lock(mutex_);
  if (failure_.empty()) failure_ = std::move(reason);
}

std::string StreamContext::FailureReason() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

int StreamContext::OpenFile(const SourceSnapshot::File& file, std::string& failure) {
  std::lock_guard lock(writer_folders_mutex_);
  return writer_folders_.OpenAsScanned(file, failure);
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

const SourceSnapshot::File* FileOfStream(IsoStream* stream) {
  if (stream == nullptr || stream->iface != &FileStreamInterface) return nullptr;
  return Of(stream).file;
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
