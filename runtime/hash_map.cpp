#include "runtime/hash_map.h"

#include <cstring>
#include <cwctype>
#include <type_traits>

#include "runtime/element_pool.h"
#include "runtime/memory.h"
#include "runtime/string_units.h"

namespace {

constexpr uint32_t kHashMultiplier = 65599;
constexpr int32_t kPoolMinimumBlock = 16;
constexpr int32_t kPoolMaximumBlock = 65536;
// Keys of up to 15 units and their terminator come from a pool rather than the heap: the
// binding keys ("kind:window:object") are all this short.
constexpr uint64_t kPooledKeyBytes = 32;

inline const char16_t* EndOf(const char16_t* key) {
  return key + StringLength(key);
}

inline uint32_t HashUnits(const char16_t* key, const char16_t* end) {
  uint32_t hash = 0;
  for (; key < end; ++key)
    hash = hash * kHashMultiplier + *key;
  return hash;
}

inline uint32_t HashUnitsNoCase(const char16_t* key, const char16_t* end) {
  uint32_t hash = 0;
  for (; key < end; ++key)
    hash = hash * kHashMultiplier + static_cast<uint32_t>(towlower(*key));
  return hash;
}

bool HasNoCase(const Map* map) {
  return (map->flags & MapNoCase) != 0;
}
bool HasIntegerKeys(const Map* map) {
  return (map->flags & MapIntegerKeys) != 0;
}

// The remainder by a power of two is a mask; the event binding's 1024 buckets take this
// path and skip the division.
inline uint32_t BucketOfHash(const Map* map, uint32_t hash) {
  const uint32_t count = map->bucket_count;
  return (count & (count - 1)) == 0 ? hash & (count - 1) : hash % count;
}

// The unsigned remainder keeps negative keys inside the bucket array.
inline uint32_t BucketOfNumber(const Map* map, int64_t key) {
  return static_cast<uint32_t>(static_cast<uint64_t>(key) % map->bucket_count);
}

// A string key prepared once per operation: its hash, length and bucket.
struct TextKey {
  const char16_t* text;
  uint32_t units;
  uint32_t hash;
  uint32_t bucket;
};

inline TextKey PrepareKey(const Map* map, const char16_t* key) {
  if (key == nullptr) key = u"";
  uint32_t hash = 0;
  const char16_t* end = key;
  if (HasNoCase(map)) {
    end = EndOf(key);
    hash = HashUnitsNoCase(key, end);
  } else {
    // Length and hash in one pass over the key.
    for (; *end != u'\0'; ++end)
      hash = hash * kHashMultiplier + *end;
  }
  return {key, static_cast<uint32_t>(end - key), hash, BucketOfHash(map, hash)};
}

inline uint64_t KeyBytes(uint32_t units) {
  return (uint64_t{units} + 1) * sizeof(char16_t);
}

inline void* ValueOf(MapElement* element) {
  return element + 1;
}

template <typename Matches>
inline void* FindInBucket(Map* map, uint32_t bucket, Matches matches) {
  MapElement* predecessor = nullptr;
  for (MapElement* element = map->buckets[bucket]; element != nullptr;
       predecessor = element, element = element->next) {
    if (!matches(element)) continue;
    map->current = element;
    map->current_bucket = static_cast<int32_t>(bucket);
    map->previous = predecessor;
    map->saved_bucket = static_cast<int32_t>(bucket);
    return ValueOf(element);
  }
  return nullptr;
}

// The stored hash rules out most elements without reading their keys: keys equal without
// regard to case hash equally under MapNoCase. Where case matters the length must match
// too, and then the units.
void* FindText(Map* map, const TextKey& key) {
  if (HasNoCase(map)) {
    return FindInBucket(map, key.bucket, [&key](const MapElement* element) {
      return element->hash == key.hash && CompareStringNoCase(element->key.text, key.text) == 0;
    });
  }
  return FindInBucket(map, key.bucket, [&key](const MapElement* element) {
    return element->hash == key.hash && element->units == key.units &&
           std::memcmp(element->key.text, key.text, key.units * sizeof(char16_t)) == 0;
  });
}

void* FindNumber(Map* map, int64_t key, uint32_t bucket) {
  return FindInBucket(map, bucket,
                      [key](const MapElement* element) { return element->key.number == key; });
}

// Gives a reused value the state of a new one.
void* RenewValue(Map* map, void* value) {
  ClearStructure(value, map->descriptor);
  std::memset(value, 0, map->value_size);
  if (map->flags & MapInitValues) InitializeStructure(value, map->descriptor);
  return value;
}

void* LinkNewElement(Map* map, MapElement* element, uint32_t bucket) {
  element->next = map->buckets[bucket];
  map->buckets[bucket] = element;
  map->current = element;
  map->current_bucket = static_cast<int32_t>(bucket);
  map->previous = nullptr;
  ++map->element_count;
  void* value = ValueOf(element);
  std::memset(value, 0, map->value_size);
  if (map->flags & MapInitValues) InitializeStructure(value, map->descriptor);
  return value;
}

// Copies a key of 2 to 32 bytes with fixed-size moves that the compiler emits inline: two
// overlapping moves of the largest width that fits. The library's memcpy is a vector
// routine in another encoding than this code's, and once other code in the process has left
// the upper vector halves in use, each switch between the two encodings stalls: inserts
// were five times slower after Qt's hashing had run.
inline void CopyShortKey(char16_t* to, const char16_t* from, uint64_t bytes) {
  auto* out = reinterpret_cast<unsigned char*>(to);
  const auto* in = reinterpret_cast<const unsigned char*>(from);
  const auto copy_ends = [&](auto width) {
    __builtin_memcpy(out, in, width);
    __builtin_memcpy(out + bytes - width, in + bytes - width, width);
  };
  if (bytes >= 16) {
    copy_ends(std::integral_constant<uint64_t, 16>());
  } else if (bytes >= 8) {
    copy_ends(std::integral_constant<uint64_t, 8>());
  } else if (bytes >= 4) {
    copy_ends(std::integral_constant<uint64_t, 4>());
  } else {
    __builtin_memcpy(out, in, 2);
  }
}

char16_t* NewKeyBlock(Map* map, uint64_t bytes) {
  void* block =
      bytes <= kPooledKeyBytes ? AllocateElement(map->key_pool) : AllocateBlockNoClear(bytes);
  return static_cast<char16_t*>(block);
}

void FreeKeyBlock(Map* map, const MapElement* element) {
  if (KeyBytes(element->units) <= kPooledKeyBytes) {
    FreeElement(map->key_pool, element->key.text);
  } else {
    FreeBlock(element->key.text);
  }
}

void* InsertText(Map* map, const TextKey& key) {
  auto* element = static_cast<MapElement*>(AllocateElement(map->pool));
  if (element == nullptr) return nullptr;
  const uint64_t bytes = KeyBytes(key.units);
  char16_t* copy = NewKeyBlock(map, bytes);
  if (copy == nullptr) {
    FreeElement(map->pool, element);
    return nullptr;
  }
  if (bytes <= kPooledKeyBytes) {
    CopyShortKey(copy, key.text, bytes);
  } else {
    std::memcpy(copy, key.text, bytes);
  }
  element->hash = key.hash;
  element->units = key.units;
  element->key.text = copy;
  return LinkNewElement(map, element, key.bucket);
}

void* InsertNumber(Map* map, int64_t key, uint32_t bucket) {
  auto* element = static_cast<MapElement*>(AllocateElement(map->pool));
  if (element == nullptr) return nullptr;
  element->key.number = key;
  return LinkNewElement(map, element, bucket);
}

// Releases everything the element owns and returns it to the pool.
void ReleaseElement(Map* map, MapElement* element) {
  if (!HasIntegerKeys(map)) FreeKeyBlock(map, element);
  if (map->descriptor != nullptr) ClearStructure(ValueOf(element), map->descriptor);
  FreeElement(map->pool, element);
}

// `previous` names the predecessor when the element was reached by walking its chain;
// after a delete or a jump between buckets it does not, and the chain is walked instead.
MapElement* ChainPredecessor(const Map* map, const MapElement* element, uint32_t bucket) {
  MapElement* walk = map->buckets[bucket];
  if (walk == element) return nullptr;
  if (map->previous != nullptr && map->previous->next == element) return map->previous;
  while (walk->next != element)
    walk = walk->next;
  return walk;
}

}  // namespace

uint32_t HashKey(const char16_t* key) {
  return key == nullptr ? 0 : HashUnits(key, EndOf(key));
}

uint32_t HashKeyNoCase(const char16_t* key) {
  return key == nullptr ? 0 : HashUnitsNoCase(key, EndOf(key));
}

Map* NewMap(uint64_t value_size, int32_t type_code, const StructureDescriptor* descriptor,
            Map** variable, int32_t bucket_count) {
  if (variable != nullptr) {
    FreeMap(*variable);
    *variable = nullptr;
  }
  auto* map = static_cast<Map*>(AllocateBlock(sizeof(Map)));
  if (map == nullptr) return nullptr;
  const uint32_t buckets = bucket_count < 1 ? 1 : static_cast<uint32_t>(bucket_count);
  map->buckets = static_cast<MapElement**>(AllocateBlock(uint64_t{buckets} * sizeof(MapElement*)));
  map->pool = NewElementPool(value_size + sizeof(MapElement), kPoolMinimumBlock, kPoolMaximumBlock,
                             PoolShared);
  map->key_pool = NewElementPool(kPooledKeyBytes, kPoolMinimumBlock, kPoolMaximumBlock, PoolShared);
  if (map->buckets == nullptr || map->pool == nullptr || map->key_pool == nullptr) {
    FreeElementPool(map->key_pool);
    FreeElementPool(map->pool);
    FreeBlock(map->buckets);
    FreeBlock(map);
    return nullptr;
  }
  map->descriptor = descriptor;
  map->current_bucket = -1;
  map->saved_bucket = -1;
  map->value_size = value_size;
  map->type_code = type_code;
  map->bucket_count = buckets;
  if (DescriptorNeedsInit(descriptor)) map->flags = MapInitValues;
  map->owner = variable;
  if (variable != nullptr) *variable = map;
  return map;
}

void FreeMap(Map* map) {
  if (map == nullptr) return;
  ClearMap(map);
  FreeElementPool(map->key_pool);
  FreeElementPool(map->pool);
  FreeBlock(map->buckets);
  if (map->owner != nullptr) *map->owner = nullptr;
  FreeBlock(map);
}

void ClearMap(Map* map) {
  for (uint32_t bucket = 0; bucket < map->bucket_count; ++bucket) {
    MapElement* element = map->buckets[bucket];
    map->buckets[bucket] = nullptr;
    while (element != nullptr) {
      MapElement* next = element->next;
      ReleaseElement(map, element);
      element = next;
    }
  }
  map->element_count = 0;
  map->previous = nullptr;
  ResetMap(map);
}

int32_t CopyMap(Map* source, int32_t source_type, Map* destination, int32_t destination_type,
                int32_t clear) {
  if (source_type != destination_type || source == nullptr || destination == nullptr) return 0;
  if (source->value_size != destination->value_size ||
      HasIntegerKeys(source) != HasIntegerKeys(destination)) {
    return 0;
  }
  if (source == destination) return 1;
  if (clear) ClearMap(destination);
  // Walks the chains directly: the source's position stays as it was.
  for (uint32_t bucket = 0; bucket < source->bucket_count; ++bucket) {
    for (MapElement* element = source->buckets[bucket]; element != nullptr;
         element = element->next) {
      void* value = HasIntegerKeys(source)
                        ? AddMapElementByNumber(destination, element->key.number, 0)
                        : AddMapElement(destination, element->key.text, 0);
      if (value == nullptr) return 0;
      CopyStructure(value, source->value_size, source->descriptor, ValueOf(element));
    }
  }
  return 1;
}

void* AddMapElement(Map* map, const char16_t* key, int32_t replace) {
  if (HasIntegerKeys(map)) return nullptr;
  const TextKey prepared = PrepareKey(map, key);
  if (replace != 0) {
    if (void* value = FindText(map, prepared)) return RenewValue(map, value);
  }
  return InsertText(map, prepared);
}

void* AddMapElementByNumber(Map* map, int64_t key, int32_t replace) {
  if (!HasIntegerKeys(map)) return nullptr;
  const uint32_t bucket = BucketOfNumber(map, key);
  if (replace != 0) {
    if (void* value = FindNumber(map, key, bucket)) return RenewValue(map, value);
  }
  return InsertNumber(map, key, bucket);
}

void* FindMapElement(Map* map, const char16_t* key) {
  if (HasIntegerKeys(map)) return nullptr;
  return FindText(map, PrepareKey(map, key));
}

void* FindMapElementByNumber(Map* map, int64_t key) {
  if (!HasIntegerKeys(map)) return nullptr;
  return FindNumber(map, key, BucketOfNumber(map, key));
}

void* FindOrAddMapElement(Map* map, const char16_t* key) {
  if (HasIntegerKeys(map)) return nullptr;
  const TextKey prepared = PrepareKey(map, key);
  if (void* value = FindText(map, prepared)) return value;
  return InsertText(map, prepared);
}

void* DeleteMapElement(Map* map) {
  MapElement* element = map->current;
  if (element == nullptr) return nullptr;
  const auto bucket = static_cast<uint32_t>(map->current_bucket);
  MapElement* predecessor = ChainPredecessor(map, element, bucket);
  if (predecessor != nullptr) {
    predecessor->next = element->next;
    map->current = predecessor;
  } else {
    map->buckets[bucket] = element->next;
    // Reached from the end of an earlier bucket, or first in iteration order. In the
    // second case bucket - 1 lets the next step scan from this bucket again.
    map->current = map->previous;
    map->current_bucket = map->previous != nullptr ? map->saved_bucket : map->current_bucket - 1;
  }
  map->previous = nullptr;
  --map->element_count;
  ReleaseElement(map, element);
  return map->current != nullptr ? ValueOf(map->current) : nullptr;
}

void ResetMap(Map* map) {
  map->current = nullptr;
  map->current_bucket = -1;
}

void* NextMapElement(Map* map) {
  MapElement* current = map->current;
  map->previous = current;
  map->saved_bucket = map->current_bucket;
  if (current != nullptr && current->next != nullptr) {
    map->current = current->next;
    return ValueOf(map->current);
  }
  // Without a current element the position lies just after current_bucket: -1 after a
  // reset, bucket_count at the end.
  for (int64_t bucket = int64_t{map->current_bucket} + 1; bucket < map->bucket_count; ++bucket) {
    if (map->buckets[bucket] == nullptr) continue;
    map->current = map->buckets[bucket];
    map->current_bucket = static_cast<int32_t>(bucket);
    return ValueOf(map->current);
  }
  map->current = nullptr;
  map->current_bucket = static_cast<int32_t>(map->bucket_count);
  return nullptr;
}

namespace {

void CloneMap(Map* source, Map** destination) {
  Map* copy = NewMap(source->value_size, source->type_code, source->descriptor, destination,
                     static_cast<int32_t>(source->bucket_count));
  if (copy == nullptr) return;
  // The key variant belongs to the map, not to the descriptor, so the copy takes it over.
  copy->flags |= source->flags & (MapNoCase | MapIntegerKeys);
  CopyMap(source, 0, copy, 0, 0);
}

}  // namespace

void RegisterMapHooks() {
  ContainerHookTable.clone_map = CloneMap;
  ContainerHookTable.new_map = NewMap;
  ContainerHookTable.copy_map = CopyMap;
  ContainerHookTable.free_map = FreeMap;
}
