#include "gui/events/event_binding.h"

#include "runtime/hash_map.h"
#include "runtime/memory.h"
#include "runtime/string_utils.h"

Map* EventBindingMap = nullptr;

namespace {

constexpr int32_t kBindingTypeCode = 7;
constexpr int32_t kBindingBuckets = 1024;
// Most keys have one or two callbacks; only more than this needs a heap block.
constexpr int64_t kLocalCallbacks = 8;

static_assert(sizeof(BindingSlot) == 16, "the binding map is made for 16-byte values");

class BindingKey {
 public:
  BindingKey(int32_t kind, int64_t window, int64_t object) {
    FormatBindingKey(text_, kind, window, object);
  }
  const char16_t* Text() const { return text_; }

 private:
  char16_t text_[BindingKeyUnits];
};

bool Matches(const EventBinding* binding, int64_t subtype) {
  return binding->subtype == subtype || binding->subtype == -1;
}

void FreeBindings(EventBinding* binding) {
  while (binding != nullptr) {
    EventBinding* next = binding->next;
    FreeBlock(binding);
    binding = next;
  }
}

uint64_t AddBinding(int32_t kind, EventCallback callback, int64_t window, int64_t object,
                    int64_t subtype) {
  if (EventBindingMap == nullptr || callback == nullptr) return 0;
  BindingKey key(kind, window, object);
  auto* slot = static_cast<BindingSlot*>(FindOrAddMapElement(EventBindingMap, key.Text()));
  if (slot == nullptr) return 0;
  for (const EventBinding* binding = slot->first; binding != nullptr; binding = binding->next) {
    if (binding->callback == callback && binding->subtype == subtype) return 0;
  }
  auto* binding = static_cast<EventBinding*>(AllocateBlock(sizeof(EventBinding)));
  if (binding == nullptr) {
    // The slot is still current; a key made just now for nothing goes again.
    if (slot->first == nullptr) DeleteMapElement(EventBindingMap);
    return 0;
  }
  *binding = EventBinding{slot->first, callback, subtype};
  slot->first = binding;
  slot->window = window;
  return 1;
}

uint64_t RemoveBinding(int32_t kind, EventCallback callback, int64_t window, int64_t object,
                       int64_t subtype) {
  if (EventBindingMap == nullptr) return 0;
  BindingKey key(kind, window, object);
  auto* slot = static_cast<BindingSlot*>(FindMapElement(EventBindingMap, key.Text()));
  if (slot == nullptr || slot->first == nullptr) return 0;
  if (callback == nullptr) {
    FreeBindings(slot->first);
    DeleteMapElement(EventBindingMap);
    return 0;
  }
  for (EventBinding** link = &slot->first; *link != nullptr; link = &(*link)->next) {
    EventBinding* binding = *link;
    if (binding->callback != callback || (subtype != -1 && binding->subtype != subtype)) continue;
    *link = binding->next;
    FreeBlock(binding);
    // Nothing has moved the map's position since the lookup.
    if (slot->first == nullptr) DeleteMapElement(EventBindingMap);
    return 1;
  }
  return 0;
}

// Copies the matching callbacks before calling any, so that callbacks may change the
// bindings of this key while they run.
void RunSeveral(const BindingSlot* slot, int64_t subtype, int64_t count) {
  EventCallback local[kLocalCallbacks];
  EventCallback* callbacks = local;
  if (count > kLocalCallbacks) {
    callbacks = static_cast<EventCallback*>(
        AllocateBlockNoClear(static_cast<uint64_t>(count) * sizeof(EventCallback)));
    // Out of memory: this key's callbacks miss this one event.
    if (callbacks == nullptr) return;
  }
  int64_t taken = 0;
  for (const EventBinding* binding = slot->first; binding != nullptr; binding = binding->next) {
    if (Matches(binding, subtype)) callbacks[taken++] = binding->callback;
  }
  for (int64_t i = 0; i < count; ++i)
    callbacks[i]();
  if (callbacks != local) FreeBlock(callbacks);
}

}  // namespace

void InitEventBinding() {
  if (EventBindingMap != nullptr) return;
  NewMap(sizeof(BindingSlot), kBindingTypeCode, nullptr, &EventBindingMap, kBindingBuckets);
}

int32_t FormatBindingKey(char16_t* dest, int32_t kind, int64_t window, int64_t object) {
  int32_t units = WriteSignedDecimal(dest, kind);
  dest[units++] = u':';
  units += WriteSignedDecimal(dest + units, window);
  dest[units++] = u':';
  units += WriteSignedDecimal(dest + units, object);
  return units;
}

uint64_t BindObjectHandler(int32_t kind, EventCallback callback, int64_t window, int64_t object,
                           int64_t subtype) {
  return AddBinding(kind, callback, window, object, subtype);
}

uint64_t BindObjectHandlerAnySubtype(int32_t kind, EventCallback callback, int64_t window,
                                     int64_t object) {
  return AddBinding(kind, callback, window, object, -1);
}

uint64_t BindEventHandler(int32_t kind, EventCallback callback, int64_t window) {
  return AddBinding(kind, callback, window, -1, -1);
}

uint64_t BindGlobalHandler(int32_t kind, EventCallback callback) {
  return AddBinding(kind, callback, -1, -1, -1);
}

uint64_t UnbindObjectHandler(int32_t kind, EventCallback callback, int64_t window, int64_t object,
                             int64_t subtype) {
  return RemoveBinding(kind, callback, window, object, subtype);
}

uint64_t UnbindObjectHandlerAnySubtype(int32_t kind, EventCallback callback, int64_t window,
                                       int64_t object) {
  return RemoveBinding(kind, callback, window, object, -1);
}

uint64_t UnbindEventHandler(int32_t kind, EventCallback callback, int64_t window) {
  return RemoveBinding(kind, callback, window, -1, -1);
}

uint64_t UnbindGlobalHandler(int32_t kind, EventCallback callback) {
  return RemoveBinding(kind, callback, -1, -1, -1);
}

void UnbindWindowHandlers(int64_t window) {
  if (EventBindingMap == nullptr) return;
  ResetMap(EventBindingMap);
  while (auto* slot = static_cast<BindingSlot*>(NextMapElement(EventBindingMap))) {
    if (slot->window != window) continue;
    FreeBindings(slot->first);
    // The walk goes on with the element after the deleted one.
    DeleteMapElement(EventBindingMap);
  }
}

void RunBoundCallbacks(int32_t kind, int64_t window, int64_t object, int64_t subtype) {
  // Most events have no bindings at all; they must cost next to nothing.
  Map* map = EventBindingMap;
  if (map == nullptr || map->element_count == 0) return;
  BindingKey key(kind, window, object);
  const auto* slot = static_cast<const BindingSlot*>(FindMapElement(map, key.Text()));
  if (slot == nullptr) return;
  int64_t count = 0;
  EventCallback last = nullptr;
  for (const EventBinding* binding = slot->first; binding != nullptr; binding = binding->next) {
    if (!Matches(binding, subtype)) continue;
    ++count;
    last = binding->callback;
  }
  if (count == 1) {
    last();
    return;
  }
  if (count > 1) RunSeveral(slot, subtype, count);
}
