// Map: a chained hash table with a bucket count fixed at creation, keyed by UTF-16 strings
// (exact or case-insensitive) or by 64-bit integers, holding fixed-size values that a
// structure descriptor may describe.
//
// A map keeps a current position: lookups, insertions and iteration all leave the current
// element set, and DeleteMapElement removes the current element. Iteration runs in bucket
// order, newest first within a bucket, and may delete as it goes. Elements come from an
// element pool shared by all maps of one value size, so value addresses stay fixed until
// the element is deleted. There is no rehashing. One thread at a time.
#pragma once

#include <cstdint>

#include "runtime/structure_descriptor.h"

struct ElementPool;

// Keys compare with CompareStringNoCase and hash with HashKeyNoCase.
inline constexpr uint32_t MapNoCase = 1;
// Set by NewMap when the value descriptor holds containers: new values are initialised.
inline constexpr uint32_t MapInitValues = 2;
// Keys are 64-bit integers; only the ...ByNumber operations apply. Set it while the map is
// empty.
inline constexpr uint32_t MapIntegerKeys = 4;

// An element from the pool: the key's hash and length, the chain link, the key, then the
// value. Operations hand out the value's address; the key is the word just before it and the
// link the one before the key. The hash and length let a search pass over most keys
// without reading them.
struct MapElement {
  uint32_t hash;     // of a text key, as its map hashes keys
  uint32_t units;    // of a text key, without the terminator
  MapElement* next;  // next element of the same bucket
  union {
    // A block with the key and its terminator: from the map's key pool when short, else a
    // sized block.
    char16_t* text;
    int64_t number;  // under MapIntegerKeys
  } key;
};
static_assert(sizeof(MapElement) == 24, "the value follows the words of the element");

// The map header, a sized block.
struct Map {
  MapElement* current;
  MapElement** buckets;  // bucket_count chain heads
  // The element visited before the current one, so that the current one can be unlinked
  // and the position moved back to it.
  MapElement* previous;
  MapElement* spare_element;  // always null: nothing in this runtime needs one
  const StructureDescriptor* descriptor;
  int32_t current_bucket;  // -1: before the first element
  int32_t saved_bucket;    // bucket of `previous`
  uint64_t value_size;
  int32_t type_code;
  uint32_t bucket_count;  // at least 1
  uint32_t element_count;
  uint32_t flags;
  Map** owner;            // the variable holding the map; nulled by FreeMap
  void* saved_positions;  // always null: nothing in this runtime saves positions
  ElementPool* pool;
  ElementPool* key_pool;  // the blocks of short keys, shared by every map
};

// h = h * 65599 + unit over the units, modulo 2^32; 0 for "" and null.
uint32_t HashKey(const char16_t* key);
// As HashKey over towlower of each unit, so that keys CompareStringNoCase finds equal hash
// equally.
uint32_t HashKeyNoCase(const char16_t* key);

// Frees the map *variable holds (if any), then creates an empty map there: null when no
// memory. variable may be null. A bucket count below 1 gives one bucket.
Map* NewMap(uint64_t value_size, int32_t type_code, const StructureDescriptor* descriptor,
            Map** variable, int32_t bucket_count);
// Null is ignored. Sets the owner variable to null.
void FreeMap(Map* map);
void ClearMap(Map* map);
// Inserts a deep copy of every source element into destination (cleared first when clear
// is non-zero); keys already present get a second element. 0 and nothing copied when the
// type codes, value sizes or key kinds differ or a map is null; 0 also when an element
// cannot be allocated (the elements copied so far stay). Copying a map onto itself changes
// nothing.
int32_t CopyMap(Map* source, int32_t source_type, Map* destination, int32_t destination_type,
                int32_t clear);

// Replace mode 1 reuses an element with that key: its value is released, zero-filled,
// initialised again and returned at the same address. Mode 0 always inserts, and the new
// element shadows an older one with the same key. The new or reused element is current.
// Null when no memory or when the key kind does not match the map. A null key is "".
void* AddMapElement(Map* map, const char16_t* key, int32_t replace);
void* AddMapElementByNumber(Map* map, int64_t key, int32_t replace);
// The value of the newest element with that key, made current; null when absent, leaving
// the position alone.
void* FindMapElement(Map* map, const char16_t* key);
void* FindMapElementByNumber(Map* map, int64_t key);
// An existing value unchanged, or a new zero-filled one.
void* FindOrAddMapElement(Map* map, const char16_t* key);

// Removes the current element and moves the position back to the element visited before
// it (returned, or null when there is none), so that NextMapElement continues with the
// element that followed the deleted one. Null and no change without a current element.
void* DeleteMapElement(Map* map);
void ResetMap(Map* map);
// The next element in iteration order, or null at the end.
void* NextMapElement(Map* map);

// The key of an element, given its value's address.
inline const char16_t* MapElementKey(const void* value) {
  return (static_cast<const MapElement*>(value) - 1)->key.text;
}
inline int64_t MapElementNumber(const void* value) {
  return (static_cast<const MapElement*>(value) - 1)->key.number;
}

// Start routine: makes maps inside structures work (NewMap, CopyMap, FreeMap become the map
// hooks of the descriptor walkers).
void RegisterMapHooks();
