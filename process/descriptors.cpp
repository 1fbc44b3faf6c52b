#include "process/descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

// A pipe end that lands on 0, 1 or 2 (this process runs with a standard stream closed)
// would be overwritten when the child moves another pipe onto that number.
int AboveStandardStreams(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return fd;
  close(fd);
  return moved;
}

}  // namespace

// Close-on-exec, so that no program started later inherits this pipe; the child's dup2
// onto 0, 1 or 2 gives the program its copy without the flag.
bool OpenPipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fds[0] = fds[1] = -1;
    return false;
  }
  fds[0] = AboveStandardStreams(fds[0]);
  fds[1] = AboveStandardStreams(fds[1]);
  return true;
}

void CloseIfOpen(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void CloseDescriptor(int fd) {
  close(fd);
}

bool MakeNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  int wanted = flags == -1 ? O_NONBLOCK : flags | O_NONBLOCK;
  return fcntl(fd, F_SETFL, wanted) != -1;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  for (int attempt = 0; attempt < InterruptRetries && size > 0; ++attempt) {
    ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno != EINTR) return false;
    if (written < 0) continue;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return size == 0;
}

bool ReadAll(int fd, void* data, size_t size) {
  auto* bytes = static_cast<char*>(data);
  size_t got = 0;
  for (int attempt = 0; attempt < InterruptRetries && got < size; ++attempt) {
    ssize_t n = read(fd, bytes + got, size - got);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
    if (n > 0) got += static_cast<size_t>(n);
  }
  return got == size;
}

int32_t WaitForReadable(const int* descriptors, int32_t count, int32_t timeout_ms) {
  pollfd requests[4];
  if (count < 1 || count > 4) return 0;
  for (int32_t i = 0; i < count; ++i)
    requests[i] = {descriptors[i], POLLIN, 0};
  return poll(requests, static_cast<nfds_t>(count), timeout_ms) > 0 ? 1 : 0;
}
