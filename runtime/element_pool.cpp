#include "runtime/element_pool.h"

#include <cassert>
#include <cstring>
#include <limits>

#include "runtime/memory.h"

namespace {

// The word in front of each element: the owning block while allocated, the next free slot
// while free. Always stored and loaded as void* so both uses share one type.
constexpr uint64_t kSlotWordSize = sizeof(void*);

static_assert(sizeof(ElementPoolBlock) % alignof(void*) == 0,
              "slots follow the block header and must stay 8-aligned");

constexpr uint32_t kLockModeMask = 3;

pthread_once_t share_list_once = PTHREAD_ONCE_INIT;
pthread_mutex_t share_list_mutex;
ElementPoolShare* share_list = nullptr;

void InitRecursiveMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void InitShareList() {
  InitRecursiveMutex(&share_list_mutex);
}

class ShareListLock {
 public:
  ShareListLock() {
    pthread_once(&share_list_once, InitShareList);
    pthread_mutex_lock(&share_list_mutex);
  }
  ~ShareListLock() { pthread_mutex_unlock(&share_list_mutex); }
  ShareListLock(const ShareListLock&) = delete;
  ShareListLock& operator=(const ShareListLock&) = delete;
};

// Holds the pool's own mutex for a scope; does nothing for an unlocked pool, whose caller
// guarantees single-threaded use.
class PoolLock {
 public:
  explicit PoolLock(ElementPool* pool) : pool_(pool) {
    if (pool_->locked) pthread_mutex_lock(&pool_->mutex);
  }
  ~PoolLock() {
    if (pool_->locked) pthread_mutex_unlock(&pool_->mutex);
  }
  PoolLock(const PoolLock&) = delete;
  PoolLock& operator=(const PoolLock&) = delete;

 private:
  ElementPool* pool_;
};

// Rounding a size that is not a multiple of 8 down and adding 16 is rounding it up and
// adding 8: the element always starts on the word after the block address. 0 when the
// slot size does not fit in 64 bits.
uint64_t SlotSizeFor(uint64_t element_size) {
  uint64_t rounded = element_size & ~uint64_t{7};
  uint64_t extra = rounded == element_size ? 8 : 16;
  if (rounded > std::numeric_limits<uint64_t>::max() - extra) return 0;
  return rounded + extra;
}

void PushFront(ElementPoolBlock** head, ElementPoolBlock* block) {
  block->previous = nullptr;
  block->next = *head;
  if (*head) (*head)->previous = block;
  *head = block;
}

void Unlink(ElementPoolBlock** head, ElementPoolBlock* block) {
  if (block->previous) {
    block->previous->next = block->next;
  } else {
    *head = block->next;
  }
  if (block->next) block->next->previous = block->previous;
}

bool IsFull(const ElementPoolBlock* block) {
  return block->free_count == 0 && block->next_unused == block->capacity;
}

void** SlotAt(ElementPoolBlock* block, uint64_t slot_size, int32_t index) {
  char* slots = reinterpret_cast<char*>(block) + sizeof(ElementPoolBlock);
  return reinterpret_cast<void**>(slots + static_cast<uint64_t>(index) * slot_size);
}

// About a sixteenth of what the pool already holds, so the number of heap blocks grows
// only logarithmically with the pool.
int32_t NewBlockCapacity(const ElementPool* pool) {
  uint64_t wanted = pool->total_slots / 256 * 16;
  int64_t capacity = wanted > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
                         ? std::numeric_limits<int32_t>::max()
                         : static_cast<int64_t>(wanted);
  if (capacity < pool->minimum_block) capacity = pool->minimum_block;
  if (capacity > pool->maximum_block) capacity = pool->maximum_block;
  // A minimum and maximum below 1 still have to yield a usable block.
  if (capacity < 1) capacity = 1;
  return static_cast<int32_t>(capacity);
}

ElementPoolBlock* AllocatePoolBlock(uint64_t slot_size, int32_t capacity) {
  uint64_t slots_size = 0;
  if (__builtin_mul_overflow(slot_size, static_cast<uint64_t>(capacity), &slots_size)) {
    return nullptr;
  }
  // AllocateBlock adds its own 8-byte size header on top.
  if (slots_size > std::numeric_limits<uint64_t>::max() - sizeof(ElementPoolBlock) - 8) {
    return nullptr;
  }
  auto* block =
      static_cast<ElementPoolBlock*>(AllocateBlock(sizeof(ElementPoolBlock) + slots_size));
  if (block) block->capacity = capacity;
  return block;
}

// Makes a block with its first slot already counted as used, since the caller hands that
// slot out; so a one-slot block is full from the start and goes straight to the full list.
__attribute__((noinline)) ElementPoolBlock* AddBlock(ElementPool* pool) {
  int32_t capacity = NewBlockCapacity(pool);
  ElementPoolBlock* block = AllocatePoolBlock(pool->slot_size, capacity);
  if (!block && capacity > 1) block = AllocatePoolBlock(pool->slot_size, 1);
  if (!block) return nullptr;
  block->next_unused = 1;
  pool->total_slots += static_cast<uint64_t>(block->capacity);
  PushFront(block->capacity > 1 ? &pool->partial_blocks : &pool->full_blocks, block);
  return block;
}

void FreeBlockList(ElementPoolBlock* block) {
  while (block) {
    ElementPoolBlock* next = block->next;
    FreeBlock(block);
    block = next;
  }
}

void ReleaseAllBlocks(ElementPool* pool) {
  FreeBlockList(pool->full_blocks);
  FreeBlockList(pool->partial_blocks);
  pool->full_blocks = nullptr;
  pool->partial_blocks = nullptr;
  pool->total_slots = 0;
}

ElementPool* NewPrivatePool(uint64_t slot_size, int32_t minimum_block, int32_t maximum_block,
                            uint32_t flags) {
  auto* pool = static_cast<ElementPool*>(AllocateBlock(sizeof(ElementPool)));
  if (!pool) return nullptr;
  pool->slot_size = slot_size;
  pool->minimum_block = minimum_block;
  pool->maximum_block = maximum_block;
  if ((flags & kLockModeMask) == PoolThreadSafe) {
    InitRecursiveMutex(&pool->mutex);
    pool->locked = 1;
  }
  return pool;
}

void DestroyPool(ElementPool* pool) {
  {
    PoolLock lock(pool);
    ReleaseAllBlocks(pool);
  }
  if (pool->locked) pthread_mutex_destroy(&pool->mutex);
  FreeBlock(pool);
}

// REQUIRES: the share list is locked.
ElementPool* FindSharedPool(uint64_t slot_size, uint32_t flags) {
  for (ElementPoolShare* record = share_list; record; record = record->next) {
    if (record->slot_size == slot_size && record->flags == flags && record->pool) {
      ++record->reference_count;
      return record->pool;
    }
  }
  return nullptr;
}

// The cores of AllocateElement and FreeElement. REQUIRES: the pool's mutex is held when
// the pool has one.
inline void* TakeSlot(ElementPool* pool) {
  ElementPoolBlock* block = pool->partial_blocks;
  void** slot;
  if (__builtin_expect(block == nullptr, 0)) {
    block = AddBlock(pool);
    if (!block) return nullptr;
    slot = SlotAt(block, pool->slot_size, 0);
  } else {
    if (block->free_count == 0) {
      slot = SlotAt(block, pool->slot_size, block->next_unused++);
    } else {
      slot = static_cast<void**>(block->free_list);
      block->free_list = *slot;
      --block->free_count;
    }
    if (IsFull(block)) {
      Unlink(&pool->partial_blocks, block);
      PushFront(&pool->full_blocks, block);
    }
  }
  *slot = block;
  return reinterpret_cast<char*>(slot) + kSlotWordSize;
}

inline void ReturnSlot(ElementPool* pool, void* element) {
  void** slot = reinterpret_cast<void**>(static_cast<char*>(element) - kSlotWordSize);
  auto* block = static_cast<ElementPoolBlock*>(*slot);
  bool was_full = IsFull(block);
  *slot = block->free_list;
  block->free_list = slot;
  ++block->free_count;

  if (block->free_count == static_cast<uint32_t>(block->next_unused)) {
    // Every slot ever handed out is back. Only a one-slot block can be full just before
    // this, so it is the one case that leaves the full list.
    Unlink(was_full ? &pool->full_blocks : &pool->partial_blocks, block);
    pool->total_slots -= static_cast<uint64_t>(block->capacity);
    FreeBlock(block);
    return;
  }
  if (was_full) {
    Unlink(&pool->full_blocks, block);
    PushFront(&pool->partial_blocks, block);
  }
}

// Out of line, so that the unlocked fast paths need no registers saved for the lock calls.
__attribute__((noinline)) void* TakeSlotLocked(ElementPool* pool) {
  PoolLock lock(pool);
  return TakeSlot(pool);
}

__attribute__((noinline)) void ReturnSlotLocked(ElementPool* pool, void* element) {
  PoolLock lock(pool);
  ReturnSlot(pool, element);
}

}  // namespace

ElementPool* NewElementPool(uint64_t element_size, int32_t minimum_block, int32_t maximum_block,
                            uint32_t flags) {
  uint64_t slot_size = SlotSizeFor(element_size);
  if (slot_size == 0) return nullptr;
  if (!(flags & PoolShared)) {
    return NewPrivatePool(slot_size, minimum_block, maximum_block, flags);
  }

  ShareListLock lock;
  if (ElementPool* pool = FindSharedPool(slot_size, flags)) return pool;
  auto* record = static_cast<ElementPoolShare*>(AllocateBlock(sizeof(ElementPoolShare)));
  if (!record) return nullptr;
  ElementPool* pool = NewPrivatePool(slot_size, minimum_block, maximum_block, flags & ~PoolShared);
  if (!pool) {
    FreeBlock(record);
    return nullptr;
  }
  record->pool = pool;
  record->slot_size = slot_size;
  record->flags = flags;
  record->reference_count = 1;
  record->next = share_list;
  if (share_list) share_list->previous = record;
  share_list = record;
  pool->share = record;
  return pool;
}

void FreeElementPool(ElementPool* pool) {
  if (!pool) return;
  // The share field only changes when the last reference goes, and the caller still holds
  // one, so it can be read before taking the share-list lock.
  if (!pool->share) {
    DestroyPool(pool);
    return;
  }

  ShareListLock lock;
  ElementPoolShare* record = pool->share;
  if (--record->reference_count > 0) return;
  record->pool = nullptr;
  pool->share = nullptr;
  DestroyPool(pool);
  if (record->previous) {
    record->previous->next = record->next;
  } else {
    share_list = record->next;
  }
  if (record->next) record->next->previous = record->previous;
  FreeBlock(record);
}

void ClearElementPool(ElementPool* pool) {
  assert(pool != nullptr);
  PoolLock lock(pool);
  ReleaseAllBlocks(pool);
}

void* AllocateElement(ElementPool* pool) {
  assert(pool != nullptr);
  return pool->locked ? TakeSlotLocked(pool) : TakeSlot(pool);
}

void* AllocateClearedElement(ElementPool* pool) {
  void* element = AllocateElement(pool);
  // The slot size never changes, and the element is the caller's alone once handed out.
  if (element) std::memset(element, 0, pool->slot_size - kSlotWordSize);
  return element;
}

void FreeElement(ElementPool* pool, void* element) {
  assert(pool != nullptr && element != nullptr);
  if (pool->locked) {
    ReturnSlotLocked(pool, element);
  } else {
    ReturnSlot(pool, element);
  }
}
