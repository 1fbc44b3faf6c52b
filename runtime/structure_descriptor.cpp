#include "runtime/structure_descriptor.h"

#include <cassert>
#include <cstring>

#include "runtime/string_stack.h"

ContainerHooks ContainerHookTable = {};

namespace {

// One decoded descriptor entry. words == 0 marks the end of the descriptor.
struct Entry {
  const StructureDescriptor* at;
  StructureDescriptor code;
  int64_t offset;
  int64_t width;  // bytes of the structure the field covers
  int64_t words;  // words of the descriptor the entry takes
};

Entry ReadEntry(const StructureDescriptor* at) {
  const StructureDescriptor code = at[0];
  if (code >= 0) return {at, code, code, 8, 1};
  switch (code) {
    case DescStructArray:
      return {at, code, at[2], at[1] * at[3], 5};
    case DescStructure:
      return {at, code, at[1], at[2], 4};
    case DescArray:
      return {at, code, at[1], 8, 6};
    case DescList:
      return {at, code, at[1], static_cast<int64_t>(sizeof(ListField)), 5};
    case DescMap:
      return {at, code, at[1], 8, 6};
    case DescMultiArray:
      return {at, code, at[1], 8 + 8 * at[2], 6 + at[2]};
    default:
      // DescEnd, or a code no descriptor may hold: the walk stops either way.
      assert(code == DescEnd && "malformed structure descriptor");
      return {at, DescEnd, 0, 0, 0};
  }
}

// Calls visit(entry) for every entry of a non-null descriptor.
template <typename Visit>
void ForEachEntry(const StructureDescriptor* descriptor, Visit visit) {
  for (Entry entry = ReadEntry(descriptor); entry.words != 0;
       entry = ReadEntry(entry.at + entry.words)) {
    visit(entry);
  }
}

bool MapHooksSet() {
  return ContainerHookTable.new_map && ContainerHookTable.copy_map && ContainerHookTable.free_map;
}

bool ListHooksSet() {
  return ContainerHookTable.new_list && ContainerHookTable.copy_list &&
         ContainerHookTable.free_list;
}

// Whether the walkers manage the entry's field; otherwise its bytes are plain data.
bool IsManaged(const Entry& entry) {
  switch (entry.code) {
    case DescMap:
      return MapHooksSet();
    case DescList:
      return ListHooksSet();
    case DescArray:
    case DescMultiArray:
      return false;
    default:
      return true;
  }
}

void* At(void* base, int64_t offset) {
  return static_cast<char*>(base) + offset;
}
const void* At(const void* base, int64_t offset) {
  return static_cast<const char*>(base) + offset;
}

void InitializeField(void* structure, const Entry& entry) {
  const StructureDescriptor* at = entry.at;
  void* field = At(structure, entry.offset);
  switch (entry.code) {
    case DescMap:
      ContainerHookTable.new_map(static_cast<uint64_t>(at[2]), static_cast<int32_t>(at[3]),
                                 DescriptorAt(at[4]), static_cast<Map**>(field),
                                 static_cast<int32_t>(at[5]));
      return;
    case DescList:
      ContainerHookTable.new_list(static_cast<uint64_t>(at[2]), static_cast<ListField*>(field),
                                  DescriptorAt(at[3]), static_cast<int32_t>(at[4]));
      return;
    case DescStructure:
      InitializeStructure(field, DescriptorAt(at[3]));
      return;
    case DescStructArray:
      for (int64_t i = 0; i < at[1]; ++i) {
        InitializeStructure(At(field, i * at[3]), DescriptorAt(at[4]));
      }
      return;
    default:
      return;  // A null string is already the empty string.
  }
}

void ClearField(void* structure, const Entry& entry) {
  const StructureDescriptor* at = entry.at;
  void* field = At(structure, entry.offset);
  switch (entry.code) {
    case DescMap:
      ContainerHookTable.free_map(*static_cast<Map**>(field));
      return;
    case DescList:
      ContainerHookTable.free_list(static_cast<ListField*>(field)->list);
      return;
    case DescStructure:
      ClearStructure(field, DescriptorAt(at[3]));
      return;
    case DescStructArray:
      for (int64_t i = 0; i < at[1]; ++i) {
        ClearStructure(At(field, i * at[3]), DescriptorAt(at[4]));
      }
      return;
    default:
      FreeString(*static_cast<char16_t**>(field));
      return;
  }
}

void CopyMapField(Map*& destination, Map* source) {
  ContainerHookTable.free_map(destination);
  destination = nullptr;
  if (source != nullptr) ContainerHookTable.clone_map(source, &destination);
}

void CopyListField(ListField& destination, const ListField& source) {
  ContainerHookTable.free_list(destination.list);
  destination = ListField{nullptr, nullptr};
  if (source.list != nullptr) ContainerHookTable.clone_list(&source, &destination);
}

void CopyField(void* destination, const void* source, const Entry& entry) {
  const StructureDescriptor* at = entry.at;
  void* to = At(destination, entry.offset);
  const void* from = At(source, entry.offset);
  switch (entry.code) {
    case DescMap:
      CopyMapField(*static_cast<Map**>(to), *static_cast<Map* const*>(from));
      return;
    case DescList:
      CopyListField(*static_cast<ListField*>(to), *static_cast<const ListField*>(from));
      return;
    case DescStructure:
      CopyStructure(to, static_cast<uint64_t>(at[2]), DescriptorAt(at[3]), from);
      return;
    case DescStructArray:
      for (int64_t i = 0; i < at[1]; ++i) {
        CopyStructure(At(to, i * at[3]), static_cast<uint64_t>(at[3]), DescriptorAt(at[4]),
                      At(from, i * at[3]));
      }
      return;
    default: {
      auto& text = *static_cast<char16_t**>(to);
      FreeString(text);
      text = nullptr;
      DuplicateString(&text, *static_cast<char16_t* const*>(from));
      return;
    }
  }
}

void CopyBytes(void* destination, const void* source, int64_t from, int64_t to) {
  if (to <= from) return;
  std::memcpy(static_cast<char*>(destination) + from, static_cast<const char*>(source) + from,
              static_cast<size_t>(to - from));
}

}  // namespace

int32_t DescriptorNeedsInit(const StructureDescriptor* descriptor) {
  if (descriptor == nullptr) return 0;
  for (Entry entry = ReadEntry(descriptor); entry.words != 0;
       entry = ReadEntry(entry.at + entry.words)) {
    if (entry.code >= DescMultiArray && entry.code <= DescArray) return 1;
    if (entry.code == DescStructure && DescriptorNeedsInit(DescriptorAt(entry.at[3]))) return 1;
    if (entry.code == DescStructArray && DescriptorNeedsInit(DescriptorAt(entry.at[4]))) return 1;
  }
  return 0;
}

void InitializeStructure(void* structure, const StructureDescriptor* descriptor) {
  if (descriptor == nullptr) return;
  ForEachEntry(descriptor, [&](const Entry& entry) {
    if (IsManaged(entry)) InitializeField(structure, entry);
  });
}

void ClearStructure(void* structure, const StructureDescriptor* descriptor) {
  if (descriptor == nullptr) return;
  ForEachEntry(descriptor, [&](const Entry& entry) {
    if (IsManaged(entry)) ClearField(structure, entry);
  });
}

void CopyStructure(void* destination, uint64_t size, const StructureDescriptor* descriptor,
                   const void* source) {
  if (destination == source) return;
  if (descriptor == nullptr) {
    std::memcpy(destination, source, size);
    return;
  }
  // Bytes from the cursor up to the next managed field are plain data; an unmanaged entry
  // simply stays inside such a run.
  int64_t cursor = 0;
  ForEachEntry(descriptor, [&](const Entry& entry) {
    if (!IsManaged(entry)) return;
    CopyBytes(destination, source, cursor, entry.offset);
    CopyField(destination, source, entry);
    cursor = entry.offset + entry.width;
  });
  CopyBytes(destination, source, cursor, static_cast<int64_t>(size));
}
