// Structure descriptors: flat word lists naming the managed fields of a structure (strings,
// embedded structures, inline arrays, maps, lists, dynamic arrays), and the three walkers
// that initialise, release and copy a structure by its descriptor.
//
// A descriptor is a sequence of entries ended by DescEnd. An entry starts with its code:
//   offset >= 0                  string variable at that byte offset (8 bytes)
//   DescStructArray count offset element_size descriptor   inline array of structures
//   DescStructure offset size descriptor                   embedded structure
//   DescArray offset w1 w2 w3 w4                           dynamic array address (8 bytes)
//   DescList offset value_size descriptor type_code        ListField (16 bytes)
//   DescMap offset value_size type_code descriptor buckets Map address (8 bytes)
//   DescMultiArray offset k w1 w2 w3 d1 ... dk             array address + k dimension words
// Descriptor words that name descriptors hold their addresses (DescriptorWordOf). Entries
// are in increasing offset order and do not overlap; all other bytes are plain data. A null
// descriptor means the structure has no managed fields. Managed fields must be 8-aligned.
//
// Containers are reached only through ContainerHookTable, which the map and list modules
// fill at start-up; an entry whose container hooks are not registered is plain data. There
// is no dynamic-array container, so array entries are always plain data of their width.
#pragma once

#include <cstdint>

struct Map;
struct List;
struct ListElement;

// A list field of a structure (or a list variable): the list and its current element, which
// the caller reaches without a call.
struct ListField {
  List* list;
  ListElement* current;  // the list's current element, null when there is none
};
static_assert(sizeof(ListField) == 16, "descriptors give list fields a width of 16 bytes");

// One word of a descriptor; a descriptor is passed as the address of its first word.
using StructureDescriptor = int64_t;

inline constexpr StructureDescriptor DescEnd = -1;
inline constexpr StructureDescriptor DescStructArray = -2;
inline constexpr StructureDescriptor DescStructure = -3;
inline constexpr StructureDescriptor DescArray = -4;
inline constexpr StructureDescriptor DescList = -5;
inline constexpr StructureDescriptor DescMap = -6;
inline constexpr StructureDescriptor DescMultiArray = -7;

// The word that names a nested descriptor inside another descriptor.
inline StructureDescriptor DescriptorWordOf(const StructureDescriptor* descriptor) {
  return reinterpret_cast<StructureDescriptor>(descriptor);
}
inline const StructureDescriptor* DescriptorAt(StructureDescriptor word) {
  return reinterpret_cast<const StructureDescriptor*>(word);
}

using NewMapHook = Map* (*)(uint64_t value_size, int32_t type_code,
                            const StructureDescriptor* descriptor, Map** variable,
                            int32_t bucket_count);
using CopyMapHook = int32_t (*)(Map* source, int32_t source_type, Map* destination,
                                int32_t destination_type, int32_t clear);
using FreeMapHook = void (*)(Map* map);
using NewListHook = List* (*)(uint64_t value_size, ListField* field,
                              const StructureDescriptor* descriptor, int32_t type_code);
using CopyListHook = int32_t (*)(List* source, int32_t source_type, List* destination,
                                 int32_t destination_type, int32_t clear);
using FreeListHook = void (*)(List* list);
// A new container like source (value size, type, descriptor, key variant) holding copies of
// its elements, written into *destination; null there when memory runs out.
using CloneMapHook = void (*)(Map* source, Map** destination);
using CloneListHook = void (*)(const ListField* source, ListField* destination);
struct ContainerHooks {
  NewMapHook new_map;
  CopyMapHook copy_map;
  FreeMapHook free_map;
  NewListHook new_list;
  CopyListHook copy_list;
  FreeListHook free_list;
  CloneMapHook clone_map;
  CloneListHook clone_list;
};

// Filled by RegisterMapHooks and RegisterListHooks at start-up.
extern ContainerHooks ContainerHookTable;

// 1 when new structures need InitializeStructure (a map, list or array anywhere inside).
int32_t DescriptorNeedsInit(const StructureDescriptor* descriptor);

// REQUIRES: the structure is zero-filled. Creates its containers; strings need nothing.
void InitializeStructure(void* structure, const StructureDescriptor* descriptor);

// Frees strings and containers. The fields are left dangling: the caller zero-fills the
// structure or releases its memory next.
void ClearStructure(void* structure, const StructureDescriptor* descriptor);

// Deep copy of size bytes. REQUIRES: destination holds a valid (zero-filled or initialised)
// structure, whose managed fields are released first. Copying onto itself does nothing.
void CopyStructure(void* destination, uint64_t size, const StructureDescriptor* descriptor,
                   const void* source);
