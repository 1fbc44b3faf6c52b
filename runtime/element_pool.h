// ElementPool: fixed-size elements carved out of blocks that grow with the pool.
//
// Freed elements go back to their own block's free list; a block whose elements are all
// free is returned to the heap at once. Pools of one slot size can be shared between
// containers, and a pool can carry a recursive mutex of its own. Element addresses never
// change while the element is allocated.
#pragma once

#include <pthread.h>

#include <cstdint>

struct ElementPoolBlock;
struct ElementPoolShare;

// Low two bits equal to 1: the pool gets its own recursive mutex.
inline constexpr uint32_t PoolThreadSafe = 1;
// Bit 2: share one pool among all users of the same slot size and flags.
inline constexpr uint32_t PoolShared = 4;
// Low two bits equal to 2: an ordinary unlocked pool, as the event queue asks for its nodes.
inline constexpr uint32_t PoolUnlocked = 2;

// The pool header, a sized block. Both block lists are doubly linked, newest first.
struct ElementPool {
  ElementPoolBlock* full_blocks;     // No slot free or never used; also every one-slot block.
  ElementPoolBlock* partial_blocks;  // At least one slot free or never used.
  ElementPoolShare* share;           // Null for a private pool.
  uint64_t total_slots;              // Sum of the capacities of all blocks.
  uint64_t slot_size;                // The element plus the 8-byte word before it.
  int32_t minimum_block;
  int32_t maximum_block;
  int32_t locked;  // 1 when the mutex below is initialised and guards the pool.
  pthread_mutex_t mutex;
};

// A block, a zero-filled sized block: this header followed by `capacity` slots of the
// pool's slot size. A slot is a 64-bit word followed by the element: while the element is
// allocated the word holds the block's address, while it is free the word links to the next
// free slot of the same block.
struct ElementPoolBlock {
  ElementPoolBlock* next;
  ElementPoolBlock* previous;
  void* free_list;  // First freed slot, or null.
  int32_t capacity;
  int32_t next_unused;  // Slots from here to capacity have never been handed out.
  uint32_t free_count;  // Slots on free_list.
};

// One entry of the process-wide list of shared pools, newest first.
struct ElementPoolShare {
  ElementPoolShare* next;
  ElementPoolShare* previous;
  ElementPool* pool;
  uint64_t slot_size;
  uint32_t flags;  // As given to NewElementPool, PoolShared included.
  uint32_t reference_count;
};

// Null when the header, the share record or (for a huge element size) the slot size cannot
// be had.
ElementPool* NewElementPool(uint64_t element_size, int32_t minimum_block, int32_t maximum_block,
                            uint32_t flags);
// Null is ignored. A shared pool is destroyed by the release of its last user.
void FreeElementPool(ElementPool* pool);
// Releases every block; elements handed out before become invalid.
void ClearElementPool(ElementPool* pool);
// Null when no block can be allocated, not even a one-slot block.
void* AllocateElement(ElementPool* pool);
void* AllocateClearedElement(ElementPool* pool);
// REQUIRES: element came from AllocateElement on this pool and was not freed since.
void FreeElement(ElementPool* pool, void* element);
