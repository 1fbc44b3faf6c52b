// List: a doubly linked list of fixed-size values with a current element, whose values a
// structure descriptor may describe.
//
// A list lives in a ListField (a variable or a structure field) whose second word mirrors
// the current element, so that the caller reaches the current value without a call.
// New elements go in after the current one. Elements come from an element pool shared by
// all lists and maps of one element size, so value addresses stay fixed until the element
// is released. One thread at a time.
#pragma once

#include <cstdint>

#include "runtime/structure_descriptor.h"

struct ElementPool;
struct List;

// The links come first; the value follows them.
struct ListElement {
  ListElement* next;
  ListElement* previous;
};
static_assert(sizeof(ListElement) == 16, "the value follows the two links");

// The list header, a sized block.
struct List {
  ListElement* first;
  ListElement* last;
  ListElement* current;
  ListElement** field_current;  // &field->current
  int64_t count;
  int64_t current_index;  // position of current (0 = first)
  const StructureDescriptor* descriptor;
  ElementPool* pool;
  void* saved_positions;  // always null: nothing in this runtime saves positions
  ListField* field;
  uint64_t element_size;  // value size + the two links
  int32_t type_code;
  uint8_t before_first;  // 1 when there is no current element
  uint8_t needs_init;    // 1 when new values are initialised by the descriptor
  uint8_t owns_field;    // 1 when NewList allocated the field
};

inline void* ListElementValue(ListElement* element) {
  return element + 1;
}

// Creates an empty list in field, or in a field of its own when field is null. A list the
// field already holds is not freed. Null when no memory.
List* NewList(uint64_t value_size, ListField* field, const StructureDescriptor* descriptor,
              int32_t type_code);
// Null is ignored. Zeroes the field (and frees it when the list owns it).
void FreeList(List* list);
void ClearList(List* list);
// Appends a deep copy of every source element, in order, after the destination's current
// element (after clearing the destination when clear is non-zero). 0 and nothing copied
// when the type codes or value sizes differ or a list is null; 0 also when an element
// cannot be allocated (the elements copied so far stay). Copying a list onto itself
// changes nothing.
int32_t CopyList(List* source, int32_t source_type, List* destination, int32_t destination_type,
                 int32_t clear);
// CopyList that always clears the destination first.
int32_t ClearAndCopyList(List* source, int32_t source_type, List* destination,
                         int32_t destination_type);

// Inserts a new zero-filled (and initialised) value after the current element, or at the
// head when there is none, and makes it current. Null when no memory.
void* AddElement(List* list);
// Makes element index current and returns its value, walking from whichever of the first,
// the last or the current element is nearest. Out of range: no current element, null.
void* SelectElement(List* list, int64_t index);

// Start routine: makes lists inside structures work (NewList, CopyList, FreeList become the
// list hooks of the descriptor walkers).
void RegisterListHooks();
