// Sized blocks, the user memory operations and the start-up locale.
//
// A sized block of n bytes is allocated as n + 8 bytes whose first 8 bytes hold n; callers
// receive and pass back the address just after that header. Every runtime record (object
// tables, map headers, pool headers, binding entries) is a sized block.
#pragma once

#include <cstddef>
#include <cstdint>

// malloc(n + 8), all bytes zeroed, header = n; null when malloc fails.
void* AllocateBlock(uint64_t size);
// As AllocateBlock without zeroing.
void* AllocateBlockNoClear(uint64_t size);
// Null gives null. Reallocates to size + 8; bytes beyond the old size are zeroed.
void* ResizeBlock(void* block, uint64_t size);
// As ResizeBlock without zeroing.
void* ResizeBlockNoClear(void* block, uint64_t size);
// Null is ignored.
void FreeBlock(void* block);
// The size stored in a block's header.
uint64_t BlockSize(const void* block);

// Memory for the caller: a size below 1 gives null. Flags bit 0 leaves the block
// uncleared.
inline constexpr uint32_t MemoryNoClear = 1;
void* AllocateMemory(int64_t size, uint32_t flags);
void* AllocateClearedMemory(int64_t size);
void FreeMemory(void* block);

// LC_ALL "en_US.UTF-8" (wide-character case folding by Unicode rules), then LC_NUMERIC "C"
// (a "." as decimal point). Falls back to "C.UTF-8" where en_US.UTF-8 is not installed.
void InitLocale();

// Prints "brevik: " and message as one line to stderr and aborts. For broken invariants and
// for allocations the runtime treats as infallible (the StringStack, string variables).
[[noreturn]] void AbortWithMessage(const char* message);
