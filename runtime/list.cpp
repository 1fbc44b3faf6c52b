#include "runtime/list.h"

#include <cstring>

#include "runtime/element_pool.h"
#include "runtime/memory.h"

namespace {

constexpr int32_t kPoolMinimumBlock = 16;
constexpr int32_t kPoolMaximumBlock = 65536;

uint64_t ValueSize(const List* list) {
  return list->element_size - sizeof(ListElement);
}

void SetCurrent(List* list, ListElement* element) {
  list->current = element;
  *list->field_current = element;
  list->before_first = element == nullptr ? 1 : 0;
}

ListElement* Forward(ListElement* element, int64_t steps) {
  for (; steps > 0; --steps)
    element = element->next;
  return element;
}

ListElement* Backward(ListElement* element, int64_t steps) {
  for (; steps > 0; --steps)
    element = element->previous;
  return element;
}

// The shortest of the walks from the first, the last and the current element; ties go to
// the ends. REQUIRES: 0 <= index < count.
ListElement* Walk(const List* list, int64_t index) {
  const int64_t count = list->count;
  if (list->current == nullptr) {
    return index >= count / 2 ? Backward(list->last, count - 1 - index)
                              : Forward(list->first, index);
  }
  const int64_t here = list->current_index;
  if (index > here) {
    return index - here >= count - index ? Backward(list->last, count - 1 - index)
                                         : Forward(list->current, index - here);
  }
  return here - index >= index ? Forward(list->first, index)
                               : Backward(list->current, here - index);
}

}  // namespace

List* NewList(uint64_t value_size, ListField* field, const StructureDescriptor* descriptor,
              int32_t type_code) {
  auto* list = static_cast<List*>(AllocateBlock(sizeof(List)));
  if (list == nullptr) return nullptr;
  const bool owns_field = field == nullptr;
  if (owns_field) field = static_cast<ListField*>(AllocateBlock(sizeof(ListField)));
  list->pool = NewElementPool(value_size + sizeof(ListElement), kPoolMinimumBlock,
                              kPoolMaximumBlock, PoolShared);
  if (field == nullptr || list->pool == nullptr) {
    FreeElementPool(list->pool);
    if (owns_field) FreeBlock(field);
    FreeBlock(list);
    return nullptr;
  }
  *field = ListField{list, nullptr};
  list->field = field;
  list->field_current = &field->current;
  list->descriptor = descriptor;
  list->element_size = value_size + sizeof(ListElement);
  list->type_code = type_code;
  list->before_first = 1;
  list->needs_init = static_cast<uint8_t>(DescriptorNeedsInit(descriptor));
  list->owns_field = owns_field ? 1 : 0;
  return list;
}

void FreeList(List* list) {
  if (list == nullptr) return;
  ClearList(list);
  FreeElementPool(list->pool);
  *list->field = ListField{nullptr, nullptr};
  if (list->owns_field) FreeBlock(list->field);
  FreeBlock(list);
}

void ClearList(List* list) {
  ListElement* element = list->first;
  while (element != nullptr) {
    ListElement* next = element->next;
    ClearStructure(ListElementValue(element), list->descriptor);
    FreeElement(list->pool, element);
    element = next;
  }
  list->first = nullptr;
  list->last = nullptr;
  list->count = 0;
  list->current_index = 0;
  SetCurrent(list, nullptr);
}

int32_t CopyList(List* source, int32_t source_type, List* destination, int32_t destination_type,
                 int32_t clear) {
  if (source_type != destination_type || source == nullptr || destination == nullptr) return 0;
  if (source->element_size != destination->element_size) return 0;
  if (source == destination) return 1;
  if (clear) ClearList(destination);
  for (ListElement* element = source->first; element != nullptr; element = element->next) {
    void* value = AddElement(destination);
    if (value == nullptr) return 0;
    CopyStructure(value, ValueSize(source), source->descriptor, ListElementValue(element));
  }
  return 1;
}

int32_t ClearAndCopyList(List* source, int32_t source_type, List* destination,
                         int32_t destination_type) {
  return CopyList(source, source_type, destination, destination_type, 1);
}

void* AddElement(List* list) {
  auto* element = static_cast<ListElement*>(AllocateElement(list->pool));
  if (element == nullptr) return nullptr;
  std::memset(element, 0, list->element_size);
  void* value = ListElementValue(element);
  if (list->needs_init) InitializeStructure(value, list->descriptor);
  ++list->count;

  ListElement* current = list->current;
  if (current != nullptr) {
    element->next = current->next;
    element->previous = current;
    if (current->next != nullptr) current->next->previous = element;
    current->next = element;
    ++list->current_index;
  } else {
    element->next = list->first;
    if (list->first != nullptr) list->first->previous = element;
    list->first = element;
    list->current_index = 0;
  }
  if (element->next == nullptr) list->last = element;
  SetCurrent(list, element);
  return value;
}

void* SelectElement(List* list, int64_t index) {
  if (index < 0 || index >= list->count) {
    SetCurrent(list, nullptr);
    return nullptr;
  }
  ListElement* element = Walk(list, index);
  SetCurrent(list, element);
  list->current_index = index;
  return ListElementValue(element);
}

namespace {

void CloneList(const ListField* source, ListField* destination) {
  const List* original = source->list;
  List* copy = NewList(original->element_size - sizeof(ListElement), destination,
                       original->descriptor, original->type_code);
  if (copy != nullptr) CopyList(source->list, 0, copy, 0, 0);
}

}  // namespace

void RegisterListHooks() {
  ContainerHookTable.clone_list = CloneList;
  ContainerHookTable.new_list = NewList;
  ContainerHookTable.copy_list = CopyList;
  ContainerHookTable.free_list = FreeList;
}
