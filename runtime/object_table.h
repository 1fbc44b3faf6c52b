// ObjectTable: one per object kind, mapping the small numbers the program chooses (or the
// handles handed out for AnyObject) to the kind's records.
//
// Numbered records live in a slot array that grows on demand and are kept for the life of
// the table; freeing an object only clears its record. Objects made with AnyObject live in
// HandleRecords on a doubly linked list, and their handle is the address of the record part.
// A record is live exactly when its first 64-bit field (the kind's primary resource) is
// non-zero.
//
// Tables are not locked: main thread only, except CreateObjectTableOnce.
#pragma once

#include <cstdint>

// As a number given to GetOrCreateObject: make an object without a number and return its
// handle. Given to a kind's free function: free every object of the kind.
inline constexpr int64_t AnyObject = -1;

// The highest object number GetOrCreateObject accepts. It keeps the slot array within
// 128 MiB and refuses a handle passed where a number was meant, which would otherwise ask for
// a slot array the size of the address space.
inline constexpr int64_t MaxObjectNumber = (int64_t{1} << 24) - 1;

// The kind's free operation, called with one number or handle, or with AnyObject.
// Contract every kind follows: for AnyObject, call FreeAllObjects on its table. Otherwise
// look the object up with LookupObject and do nothing when it is not live; else release the
// kind's resources and finally call ReleaseObjectSlot with the same value.
using ObjectFreeFunction = void (*)(int64_t object);

// A sized block of 16 bytes plus the table's record size, zero-filled when allocated. The
// record follows this header directly; its address is the object's handle.
struct HandleRecord {
  HandleRecord* next;      // The next older record, or null.
  HandleRecord* previous;  // The next newer record, or null.
};

// A sized block. The field order is fixed: kind modules and tests read the fields directly.
struct ObjectTable {
  int32_t record_size;
  int32_t increment;  // Growth step of the slot array; equals the initial capacity.
  int64_t capacity;   // Numbered slots; 0 <= number < capacity selects a slot.
  void** slots;       // Sized block of capacity entries; null means the number was never used.
  HandleRecord* handle_list;  // Newest first.
  ObjectFreeFunction free_function;
  int64_t enumeration_index;         // Next slot NextObject visits.
  HandleRecord* enumeration_cursor;  // Next handle record NextObject visits.
};

inline void* HandleRecordBody(HandleRecord* record) {
  return record + 1;
}

// Null when record_size is below 8 (no room for the primary resource), when
// initial_capacity is below 1 (the table could never grow past a number) or when memory
// runs out. free_function may be null.
ObjectTable* NewObjectTable(int32_t record_size, int32_t initial_capacity,
                            ObjectFreeFunction free_function);

// Creates the table into *variable unless it is already there, under a process-wide lock so
// that racing threads make one table. Returns *variable, null if creation failed.
ObjectTable* CreateObjectTableOnce(ObjectTable** variable, int32_t record_size,
                                   int32_t initial_capacity, ObjectFreeFunction free_function);

// Releases the table and every record block it holds without calling the free function;
// objects that own resources must be freed with FreeAllObjects first. Null is ignored.
void DestroyObjectTable(ObjectTable* table);

// The record for number (0..MaxObjectNumber) or, for AnyObject, a new handle object's
// record. A record is zero-filled when new; a number used before first goes through the
// free function, then its same record comes back cleared. The caller stores the primary
// resource in the first field, or calls ReleaseObjectSlot when its creation fails.
// Null when memory runs out or the number is out of range; the table is then unchanged.
void* GetOrCreateObject(ObjectTable* table, int64_t object);

// The live record for a number or a handle of this table; null for anything else, including
// numbers never created, freed objects and values beyond the slots that are no handle here.
// A number costs one bounds test and one load; a handle is checked against the handle list,
// so a stray value is never read through.
void* LookupObject(ObjectTable* table, int64_t object);

// The checked test for a value that may be a handle: numbers as LookupObject; any other value
// is given back (as the record address it is) when it is the handle of a record in the
// table's handle list, live or not yet, else null.
void* IsObject(ObjectTable* table, int64_t object);

// Clears a numbered record (keeping its block) or unlinks and frees a handle record. Values
// that are neither a used number nor a handle of this table are ignored.
void ReleaseObjectSlot(ObjectTable* table, int64_t object);

// Calls the free function for every live numbered object in ascending order, then for each
// handle object, newest first. Whatever the free function leaves behind is released here, so
// the table always ends empty. Does nothing when the table has no free function.
void FreeAllObjects(ObjectTable* table);

void ResetObjectEnumeration(ObjectTable* table);

// The next live object: numbered ones in ascending order, then handle objects oldest first.
// *object receives its number or handle; it is left alone when the enumeration is over and
// null is returned. Objects created during an enumeration may or may not be seen.
void* NextObject(ObjectTable* table, int64_t* object);

using ModuleGlobalsInitializer = void (*)(void* globals);

// A zero-filled sized block of size bytes for state that a module keeps for the whole
// process, with initializer (may be null) run on it. Null when memory runs out; the
// initializer is then not called.
void* AllocateModuleGlobals(uint64_t size, ModuleGlobalsInitializer initializer);

// Every access to a module's globals goes through here: this runtime keeps one copy per
// process, and this is where a per-thread copy would be chosen.
inline void* ModuleGlobals(void* globals) {
  return globals;
}
