#include "tools/file_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/source_snapshot.h"

// libisofs.h leaves the stream object undefined for C++ (a member is named "class"); this is
// the same layout. libisofs frees it with free() when the last reference goes.
struct iso_stream {
  IsoStreamIface* iface;
  int refcount;
  void* data;
};

namespace {

// Large enough to make the system calls few, small enough to stay in the CPU's cache on its
// way into libisofs's ring buffer: 1 MiB was slower than 64 KiB by half.
constexpr size_t MaxBufferSize = size_t{64} << 10;
constexpr int InterruptRetries = 100;
// With the device and inode, the stream's identity: libisofs writes the data of streams with
// one identity once, so hard-linked files share it. The id keeps these streams apart from
// libisofs's own kinds.
constexpr unsigned int StreamFilesystemId = 0x42726576;

struct FileStream {
  FileStream(std::string path, const struct stat& scanned, StreamFailure& failure)
      : path(std::move(path)), scanned(scanned), failure(&failure) {}

  std::string path;
  struct stat scanned;
  StreamFailure* failure;
  int fd = -1;
  std::unique_ptr<unsigned char[]> buffer;
  size_t buffer_size = 0;
  size_t begin = 0;  // the buffered bytes not yet delivered are [begin, end)
  size_t end = 0;
  off_t read_from_file = 0;
  off_t delivered = 0;
};

FileStream& Of(IsoStream* stream) {
  return *static_cast<FileStream*>(stream->data);
}

int Fail(FileStream& file, std::string reason, int code) {
  file.failure->Record(std::move(reason));
  return code;
}

int FailWithErrno(FileStream& file, int error_number, int code) {
  if (error_number == ENOENT) return Fail(file, VanishedReason(file.path), code);
  return Fail(file, "cannot read " + file.path + ": " + std::strerror(error_number), code);
}

int Close(IsoStream* stream) {
  FileStream& file = Of(stream);
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  file.buffer.reset();
  return ISO_SUCCESS;
}

int Open(IsoStream* stream) {
  FileStream& file = Of(stream);
  Close(stream);
  file.fd = open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) return FailWithErrno(file, errno, ISO_FILE_ERROR);
  struct stat now;
  if (fstat(file.fd, &now) != 0) return FailWithErrno(file, errno, ISO_FILE_ERROR);
  if (!SameFileState(file.scanned, now)) {
    return Fail(file, ChangedReason(file.path), ISO_FILE_ERROR);
  }
  file.buffer_size = std::min(MaxBufferSize, static_cast<size_t>(now.st_size));
  file.buffer.reset(new unsigned char[file.buffer_size]);
  file.begin = file.end = 0;
  file.read_from_file = file.delivered = 0;
  return ISO_SUCCESS;
}

// Fills the buffer with the file's next bytes; a file that ends before its scanned size
// has shrunk since the scan.
int Refill(FileStream& file) {
  size_t want =
      std::min(file.buffer_size, static_cast<size_t>(file.scanned.st_size - file.read_from_file));
  size_t got = 0;
  int interruptions = 0;
  while (got < want) {
    ssize_t count = read(file.fd, file.buffer.get() + got, want - got);
    if (count < 0 && errno == EINTR && ++interruptions < InterruptRetries) continue;
    if (count < 0) return FailWithErrno(file, errno, ISO_FILE_READ_ERROR);
    if (count == 0) return Fail(file, ChangedReason(file.path), ISO_FILE_READ_ERROR);
    got += static_cast<size_t>(count);
  }
  file.begin = 0;
  file.end = got;
  file.read_from_file += static_cast<off_t>(got);
  return ISO_SUCCESS;
}

int Read(IsoStream* stream, void* destination, size_t count) {
  FileStream& file = Of(stream);
  if (file.fd < 0) return ISO_FILE_NOT_OPENED;
  auto* out = static_cast<unsigned char*>(destination);
  size_t done = 0;
  while (done < count && file.delivered < file.scanned.st_size) {
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
  return Of(stream).scanned.st_size;
}

int IsRepeatable(IsoStream*) {
  return 1;
}

void GetId(IsoStream* stream, unsigned int* filesystem_id, dev_t* device, ino_t* inode) {
  *filesystem_id = StreamFilesystemId;
  *device = Of(stream).scanned.st_dev;
  *inode = Of(stream).scanned.st_ino;
}

void Free(IsoStream* stream) {
  Close(stream);
  delete &Of(stream);
}

IsoStreamIface FileStreamInterface = {0,
                                      {'u', 's', 'e', 'r'},
                                      Open,
                                      Close,
                                      GetSize,
                                      Read,
                                      IsRepeatable,
                                      GetId,
                                      Free,
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      nullptr};

}  // namespace

void StreamFailure::Record(std::string reason) {
  std::lock_guard lock(mutex_);
  if (reason_.empty()) reason_ = std::move(reason);
}

std::string StreamFailure::Reason() const {
  std::lock_guard lock(mutex_);
  return reason_;
}

IsoStream* NewFileStream(std::string path, const struct stat& scanned, StreamFailure& failure) {
  auto* stream = static_cast<IsoStream*>(std::malloc(sizeof(IsoStream)));
  if (stream == nullptr) return nullptr;
  stream->iface = &FileStreamInterface;
  stream->refcount = 1;
  stream->data = new FileStream(std::move(path), scanned, failure);
  return stream;
}
