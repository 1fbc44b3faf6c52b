#include "image/mapped_file.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#include "runtime/memory.h"

namespace {

bool MapFile(ImageDecodeContext* context, uint64_t smallest_size) {
  struct stat status {};
  const int descriptor = fileno(context->file);
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const auto size = static_cast<uint64_t>(status.st_size);
  if (size < smallest_size) return false;
#if defined(MAP_POPULATE)
  constexpr int kFlags = MAP_PRIVATE | MAP_POPULATE;  // all pages at once, not one fault each
#else
  constexpr int kFlags = MAP_PRIVATE;
#endif
  void* mapping = mmap(nullptr, size, PROT_READ, kFlags, descriptor, 0);
  if (mapping == MAP_FAILED) return false;
  context->bytes = static_cast<const uint8_t*>(mapping);
  context->size = size;
  return true;
}

bool ReadFile(ImageDecodeContext* context, uint64_t smallest_size) {
  std::FILE* file = context->file;
  if (std::fseek(file, 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file);
  if (size < static_cast<long>(smallest_size) || std::fseek(file, 0, SEEK_SET) != 0) return false;
  auto* copy = static_cast<uint8_t*>(AllocateBlockNoClear(static_cast<uint64_t>(size)));
  if (copy == nullptr) return false;
  if (std::fread(copy, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
    FreeBlock(copy);
    return false;
  }
  context->file_copy = copy;
  context->bytes = copy;
  context->size = static_cast<uint64_t>(size);
  return true;
}

// The read running on a thread: the mapping it reads, and where a fault inside it jumps to.
struct MappedRead {
  const uint8_t* begin;
  const uint8_t* end;
  sigjmp_buf escape;
};

thread_local MappedRead* current_mapped_read = nullptr;
// Written only when no read is running, so the handler reads it unguarded.
struct sigaction bus_action_before {};

// A SIGBUS that is not a read's goes where it would have gone without the guard.
void ForwardBusError(int number, siginfo_t* info, void* context) {
  const struct sigaction& before = bus_action_before;
  if ((before.sa_flags & SA_SIGINFO) != 0) {
    before.sa_sigaction(number, info, context);
    return;
  }
  if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
    before.sa_handler(number);
    return;
  }
  // A signal sent by a process (si_code 0 or below) comes once; a fault comes again when the
  // handler returns, and then ends the process even under an ignoring action.
  const bool sent = info->si_code <= 0;
  if (sent && before.sa_handler == SIG_IGN) return;
  sigaction(SIGBUS, &before, nullptr);
  if (sent) raise(SIGBUS);
}

void OnBusError(int number, siginfo_t* info, void* context) {
  MappedRead* active = current_mapped_read;
  const auto* address = static_cast<const uint8_t*>(info->si_addr);
  if (active != nullptr && address >= active->begin && address < active->end) {
    siglongjmp(active->escape, 1);
  }
  ForwardBusError(number, info, context);
}

// Installs the handler for the first of overlapping reads and puts the earlier action back
// after the last, whatever order the threads take.
class BusErrorGuard {
 public:
  BusErrorGuard() {
    const std::lock_guard lock(mutex_);
    if (readers_++ > 0) return;
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &bus_action_before);
  }
  BusErrorGuard(const BusErrorGuard&) = delete;
  BusErrorGuard& operator=(const BusErrorGuard&) = delete;
  ~BusErrorGuard() {
    const std::lock_guard lock(mutex_);
    if (--readers_ == 0) sigaction(SIGBUS, &bus_action_before, nullptr);
  }

 private:
  static inline std::mutex mutex_;
  static inline int32_t readers_ = 0;
};

// Runs read(), which reads the context's bytes; 0 when they were a mapped file that shrank
// under it. read() is then left by a jump, so it must hold nothing that needs a destructor

}  // namespace

bool LoadFileBytes(ImageDecodeContext* context, uint64_t smallest_size) {
  if (context->file == nullptr) return false;
  return MapFile(context, smallest_size) || ReadFile(context, smallest_size);
}

void ReleaseFileBytes(ImageDecodeContext* context) {
  // A file's bytes are its copy, or else its mapping.
  if (context->file_copy != nullptr) {
    FreeBlock(context->file_copy);
  } else if (context->memory_source == 0 && context->bytes != nullptr) {
    munmap(const_cast<uint8_t*>(context->bytes), context->size);
  }
  context->file_copy = nullptr;
  context->bytes = nullptr;
  context->size = 0;
}

int32_t ReadMappedBytes(const ImageDecodeContext* context, MappedReadFunction read, void* state) {
  const bool mapped = context->memory_source == 0 && context->file_copy == nullptr;
  if (!mapped || context->bytes == nullptr) return read(state);
  MappedRead mapped_read{context->bytes, context->bytes + context->size, {}};
  const BusErrorGuard guard;
  volatile int32_t result = 0;
  if (sigsetjmp(mapped_read.escape, 1) == 0) {
    current_mapped_read = &mapped_read;
    result = read(state);
  }
  current_mapped_read = nullptr;
  return result;
}
