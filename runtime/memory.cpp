#include "runtime/memory.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t kHeaderSize = sizeof(uint64_t);

uint64_t* HeaderOf(void* block) {
  return static_cast<uint64_t*>(block) - 1;
}

// size + 8 must not wrap, or a huge request would come back as a tiny block.
bool FitsWithHeader(uint64_t size) {
  return size <= SIZE_MAX - kHeaderSize;
}

void* NewBlock(uint64_t size, bool clear) {
  if (!FitsWithHeader(size)) return nullptr;
  void* raw = clear ? calloc(1, size + kHeaderSize) : malloc(size + kHeaderSize);
  if (raw == nullptr) return nullptr;
  auto* header = static_cast<uint64_t*>(raw);
  *header = size;
  return header + 1;
}

void* ResizeExistingBlock(void* block, uint64_t size, bool clear) {
  if (block == nullptr || !FitsWithHeader(size)) return nullptr;
  uint64_t old_size = *HeaderOf(block);
  void* raw = realloc(HeaderOf(block), size + kHeaderSize);
  if (raw == nullptr) return nullptr;
  auto* header = static_cast<uint64_t*>(raw);
  *header = size;
  if (clear && size > old_size) {
    memset(reinterpret_cast<char*>(header + 1) + old_size, 0, size - old_size);
  }
  return header + 1;
}

}  // namespace

void* AllocateBlock(uint64_t size) {
  return NewBlock(size, true);
}

void* AllocateBlockNoClear(uint64_t size) {
  return NewBlock(size, false);
}

void* ResizeBlock(void* block, uint64_t size) {
  return ResizeExistingBlock(block, size, true);
}

void* ResizeBlockNoClear(void* block, uint64_t size) {
  return ResizeExistingBlock(block, size, false);
}

void FreeBlock(void* block) {
  if (block == nullptr) return;
  free(HeaderOf(block));
}

uint64_t BlockSize(const void* block) {
  return static_cast<const uint64_t*>(block)[-1];
}

void* AllocateMemory(int64_t size, uint32_t flags) {
  if (size < 1) return nullptr;
  auto bytes = static_cast<uint64_t>(size);
  return (flags & MemoryNoClear) != 0 ? AllocateBlockNoClear(bytes) : AllocateBlock(bytes);
}

void* AllocateClearedMemory(int64_t size) {
  if (size < 1) return nullptr;
  return AllocateBlock(static_cast<uint64_t>(size));
}

void FreeMemory(void* block) {
  FreeBlock(block);
}

void InitLocale() {
  // Minimal systems and containers often ship only C.UTF-8. Without a UTF-8 LC_CTYPE,
  // towlower would fold ASCII only and case-insensitive comparison would miss letters such
  // as U+00C9; C.UTF-8 carries the same Unicode case tables.
  if (setlocale(LC_ALL, "en_US.UTF-8") == nullptr) setlocale(LC_ALL, "C.UTF-8");
  setlocale(LC_NUMERIC, "C");
}

void AbortWithMessage(const char* message) {
  fprintf(stderr, "brevik: %s\n", message);
  abort();
}
