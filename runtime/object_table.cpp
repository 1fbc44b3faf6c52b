#include "runtime/object_table.h"

#include <cstring>
#include <mutex>

#include "runtime/memory.h"

namespace {

static_assert(sizeof(HandleRecord) == 16, "the record part starts 16 bytes into the block");

constexpr int32_t kPrimaryFieldSize = sizeof(uint64_t);

// Read bytewise: the kind stored its own pointer type there.
bool IsLive(const void* record) {
  if (record == nullptr) return false;
  uint64_t primary;
  std::memcpy(&primary, record, sizeof(primary));
  return primary != 0;
}

bool IsSlotNumber(const ObjectTable* table, int64_t object) {
  return object >= 0 && object < table->capacity;
}

int64_t HandleOf(HandleRecord* record) {
  return reinterpret_cast<int64_t>(HandleRecordBody(record));
}

// The list walk is what lets a value outside the slot range be told apart from a stray
// number or a foreign address without ever reading through it.
HandleRecord* FindHandleRecord(const ObjectTable* table, int64_t handle) {
  for (HandleRecord* record = table->handle_list; record; record = record->next) {
    if (HandleOf(record) == handle) return record;
  }
  return nullptr;
}

HandleRecord* OldestHandleRecord(const ObjectTable* table) {
  HandleRecord* record = table->handle_list;
  while (record && record->next)
    record = record->next;
  return record;
}

void* CreateHandleObject(ObjectTable* table) {
  auto* record = static_cast<HandleRecord*>(
      AllocateBlock(sizeof(HandleRecord) + static_cast<uint64_t>(table->record_size)));
  if (record == nullptr) return nullptr;
  record->next = table->handle_list;
  if (table->handle_list) table->handle_list->previous = record;
  table->handle_list = record;
  return HandleRecordBody(record);
}

// An enumeration parked on this record moves on to the next newer one, which is where it
// would have gone next, instead of reading a freed block.
void UnlinkHandleRecord(ObjectTable* table, HandleRecord* record) {
  if (table->enumeration_cursor == record) table->enumeration_cursor = record->previous;
  if (record->previous) {
    record->previous->next = record->next;
  } else {
    table->handle_list = record->next;
  }
  if (record->next) record->next->previous = record->previous;
}

// REQUIRES: capacity <= number <= MaxObjectNumber, so the new size cannot overflow.
bool GrowSlots(ObjectTable* table, int64_t number) {
  int64_t capacity = number + table->increment;
  void* slots = ResizeBlock(table->slots, static_cast<uint64_t>(capacity) * sizeof(void*));
  if (slots == nullptr) return false;
  table->slots = static_cast<void**>(slots);
  table->capacity = capacity;
  return true;
}

// The free function runs first so that a live object under this number is gone before the
// number is reused. Clearing afterwards covers tables without a free function and records
// left half-made by a failed creation. The slot is read after the call because the free
// function may have grown the slot array.
void* RecycleRecord(ObjectTable* table, int64_t number) {
  if (table->free_function) table->free_function(number);
  void* record = table->slots[number];
  std::memset(record, 0, static_cast<size_t>(table->record_size));
  return record;
}

void* CreateNumberedObject(ObjectTable* table, int64_t number) {
  if (IsSlotNumber(table, number) && table->slots[number] != nullptr) {
    return RecycleRecord(table, number);
  }
  void* record = AllocateBlock(static_cast<uint64_t>(table->record_size));
  if (record == nullptr) return nullptr;
  if (number >= table->capacity && !GrowSlots(table, number)) {
    FreeBlock(record);
    return nullptr;
  }
  table->slots[number] = record;
  return record;
}

// Also true for a handle record that was never made live: it still occupies the list.
bool IsStillPresent(const ObjectTable* table, int64_t object) {
  if (IsSlotNumber(table, object)) return IsLive(table->slots[object]);
  return FindHandleRecord(table, object) != nullptr;
}

// A free function that leaves its object in place (a handle record never made live is
// skipped by the contract's lookup) would otherwise keep FreeAllObjects busy forever on the
// same handle record.
void FreeObjectThroughTable(ObjectTable* table, int64_t object) {
  table->free_function(object);
  if (IsStillPresent(table, object)) ReleaseObjectSlot(table, object);
}

}  // namespace

ObjectTable* NewObjectTable(int32_t record_size, int32_t initial_capacity,
                            ObjectFreeFunction free_function) {
  if (record_size < kPrimaryFieldSize || initial_capacity < 1) return nullptr;
  auto* table = static_cast<ObjectTable*>(AllocateBlock(sizeof(ObjectTable)));
  if (table == nullptr) return nullptr;
  table->slots =
      static_cast<void**>(AllocateBlock(static_cast<uint64_t>(initial_capacity) * sizeof(void*)));
  if (table->slots == nullptr) {
    FreeBlock(table);
    return nullptr;
  }
  table->record_size = record_size;
  table->increment = initial_capacity;
  table->capacity = initial_capacity;
  table->free_function = free_function;
  return table;
}

ObjectTable* CreateObjectTableOnce(ObjectTable** variable, int32_t record_size,
                                   int32_t initial_capacity, ObjectFreeFunction free_function) {
  // A function-local static is constructed exactly once, even when the first callers race.
  static std::recursive_mutex creation_mutex;
  std::lock_guard<std::recursive_mutex> lock(creation_mutex);
  if (*variable == nullptr)
    *variable = NewObjectTable(record_size, initial_capacity, free_function);
  return *variable;
}

void DestroyObjectTable(ObjectTable* table) {
  if (table == nullptr) return;
  for (int64_t number = 0; number < table->capacity; ++number)
    FreeBlock(table->slots[number]);
  HandleRecord* record = table->handle_list;
  while (record) {
    HandleRecord* next = record->next;
    FreeBlock(record);
    record = next;
  }
  FreeBlock(table->slots);
  FreeBlock(table);
}

void* GetOrCreateObject(ObjectTable* table, int64_t object) {
  if (object == AnyObject) return CreateHandleObject(table);
  if (object < 0 || object > MaxObjectNumber) return nullptr;
  return CreateNumberedObject(table, object);
}

void* LookupObject(ObjectTable* table, int64_t object) {
  if (IsSlotNumber(table, object)) {
    void* record = table->slots[object];
    return IsLive(record) ? record : nullptr;
  }
  HandleRecord* record = FindHandleRecord(table, object);
  if (record == nullptr || !IsLive(HandleRecordBody(record))) return nullptr;
  return HandleRecordBody(record);
}

void* IsObject(ObjectTable* table, int64_t object) {
  if (IsSlotNumber(table, object)) return LookupObject(table, object);
  HandleRecord* record = FindHandleRecord(table, object);
  return record == nullptr ? nullptr : HandleRecordBody(record);
}

void ReleaseObjectSlot(ObjectTable* table, int64_t object) {
  if (IsSlotNumber(table, object)) {
    void* record = table->slots[object];
    if (record) std::memset(record, 0, static_cast<size_t>(table->record_size));
    return;
  }
  HandleRecord* record = FindHandleRecord(table, object);
  if (record == nullptr) return;
  UnlinkHandleRecord(table, record);
  FreeBlock(record);
}

void FreeAllObjects(ObjectTable* table) {
  if (table->free_function == nullptr) return;
  // A local index: a free function that enumerates the table must not move this loop.
  for (int64_t number = 0; number < table->capacity; ++number) {
    if (IsLive(table->slots[number])) FreeObjectThroughTable(table, number);
  }
  while (table->handle_list)
    FreeObjectThroughTable(table, HandleOf(table->handle_list));
}

void ResetObjectEnumeration(ObjectTable* table) {
  table->enumeration_index = 0;
  table->enumeration_cursor = OldestHandleRecord(table);
}

void* NextObject(ObjectTable* table, int64_t* object) {
  while (table->enumeration_index < table->capacity) {
    int64_t number = table->enumeration_index++;
    void* record = table->slots[number];
    if (!IsLive(record)) continue;
    *object = number;
    return record;
  }
  while (HandleRecord* record = table->enumeration_cursor) {
    table->enumeration_cursor = record->previous;
    if (!IsLive(HandleRecordBody(record))) continue;
    *object = HandleOf(record);
    return HandleRecordBody(record);
  }
  return nullptr;
}

void* AllocateModuleGlobals(uint64_t size, ModuleGlobalsInitializer initializer) {
  void* globals = AllocateBlock(size);
  if (globals == nullptr) return nullptr;
  if (initializer) initializer(globals);
  return globals;
}
