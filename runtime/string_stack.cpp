#include "runtime/string_stack.h"

#include <cassert>
#include <cstdlib>
#include <cstring>

#include "runtime/memory.h"
#include "runtime/string_units.h"

char* StringStackBuffer = nullptr;
int64_t StringStackCapacity = 0;
uint64_t StringStackPosition = 0;
uint64_t StringMarkStack[StringMarkLimit];
int32_t StringMarkDepth = 0;

namespace {

constexpr int64_t kInitialCapacity = 16;
constexpr int64_t kGrowthStep = 16384;
constexpr int64_t kShrinkLimit = 0x100000;
// Bytes allocated beyond the capacity: the terminator at the top and the unit that
// CopyStringUnits may write past an odd count always land inside the block.
constexpr int64_t kSpareBytes = 10;

char16_t* UnitsAt(uint64_t offset) {
  return reinterpret_cast<char16_t*>(StringStackBuffer + offset);
}

// Kept out of line so that ReserveStringUnits' common path stays two compares and a store.
[[gnu::noinline]] void ResizeStringStack(int64_t needed) {
  int64_t capacity;
  if (needed >= StringStackCapacity - 4) {
    capacity = needed + kGrowthStep;
  } else {
    // A buffer that once held a huge string shrinks back as soon as a reservation fits.
    capacity = needed > kShrinkLimit ? needed : kShrinkLimit;
  }
  void* buffer = realloc(StringStackBuffer, static_cast<size_t>(capacity + kSpareBytes));
  if (buffer == nullptr) AbortWithMessage("out of memory growing the StringStack");
  StringStackBuffer = static_cast<char*>(buffer);
  StringStackCapacity = capacity;
}

// ReserveStringUnits, inlined into AppendString, the hottest caller.
[[gnu::always_inline]] inline char16_t* ReserveUnits(int64_t units, StringResultPosition p) {
  // The test uses the current top, not p: whatever lies below the top stays intact.
  auto needed = static_cast<int64_t>(StringStackPosition) + 2 * units;
  if (needed >= StringStackCapacity - 4 || StringStackCapacity > kShrinkLimit) [[unlikely]] {
    ResizeStringStack(needed);
  }
  StringStackPosition = p + 2 * static_cast<uint64_t>(units);
  return UnitsAt(p);
}

// A string variable's block; the runtime treats these allocations as infallible.
char16_t* ResizeStringBlock(char16_t* block, size_t bytes) {
  void* resized = realloc(block, bytes);
  if (resized == nullptr) AbortWithMessage("out of memory allocating a string");
  return static_cast<char16_t*>(resized);
}

// The mark operations, inlined into StringMark as well.
[[gnu::always_inline]] inline void PushMark() {
  if (StringMarkDepth < 0 || StringMarkDepth >= StringMarkLimit) [[unlikely]] {
    AbortWithMessage("StringStack: more than 100 string marks");
  }
  StringMarkStack[StringMarkDepth++] = StringStackPosition;
}

[[gnu::always_inline]] inline uint64_t PopMark() {
  if (StringMarkDepth <= 0) [[unlikely]] {
    AbortWithMessage("StringStack: no string mark to take");
  }
  return StringMarkStack[--StringMarkDepth];
}

}  // namespace

void InitStringStack() {
  free(StringStackBuffer);
  // The first block has no spare bytes: a capacity of 16 grows once the top reaches 12.
  StringStackBuffer = static_cast<char*>(malloc(kInitialCapacity));
  if (StringStackBuffer == nullptr) AbortWithMessage("out of memory creating the StringStack");
  StringStackCapacity = kInitialCapacity;
  StringStackPosition = 0;
  StringMarkDepth = 0;
}

void FreeStringStack() {
  free(StringStackBuffer);
  StringStackBuffer = nullptr;
  StringStackCapacity = 0;
  StringStackPosition = 0;
}

void PushStringMark() {
  PushMark();
}

uint64_t PopStringMarkPosition() {
  return PopMark();
}

char16_t* PopStringMarkPointer() {
  return UnitsAt(PopStringMarkPosition());
}

uint64_t PopStringMarkRestore() {
  StringStackPosition = PopMark();
  return StringStackPosition;
}

char16_t* PopStringMarkRestorePointer() {
  return UnitsAt(PopStringMarkRestore());
}

uint64_t PeekStringMark() {
  if (StringMarkDepth <= 0) AbortWithMessage("StringStack: no string mark to take");
  return StringMarkStack[StringMarkDepth - 1];
}

char16_t* ReserveStringUnits(int64_t units, StringResultPosition p) {
  return ReserveUnits(units, p);
}

void DropStringUnits(int64_t units) {
  StringStackPosition -= 2 * static_cast<uint64_t>(units);
}

char16_t* SetEmptyStringResult(StringResultPosition p) {
  StringStackPosition = p;
  char16_t* result = UnitsAt(p);
  *result = u'\0';
  return result;
}

uint64_t StringStackOffsetOf(const void* address) {
  auto where = reinterpret_cast<uintptr_t>(address);
  auto start = reinterpret_cast<uintptr_t>(StringStackBuffer);
  if (StringStackBuffer == nullptr || where < start || where > start + StringStackPosition) {
    return 0;
  }
  return where - start + 1;
}

char16_t* StringStackAddressAt(uint64_t offset_plus_one) {
  return UnitsAt(offset_plus_one - 1);
}

void AppendString(const char16_t* s) {
  if (s == nullptr) {
    *UnitsAt(StringStackPosition) = u'\0';
    return;
  }
  int64_t length = StringLength(s);
  char16_t* dest = ReserveUnits(length, StringStackPosition);
  // The terminator comes along, which is what CopyStringUnits would leave there.
  memcpy(dest, s, static_cast<size_t>(length + 1) * sizeof(char16_t));
}

void AppendStrings(std::initializer_list<const char16_t*> pieces) {
  for (const char16_t* piece : pieces)
    AppendString(piece);
}

void AssignStringFromStack(char16_t** variable, StringResultPosition p) {
  uint64_t bytes = StringStackPosition - p;
  *variable = ResizeStringBlock(*variable, bytes + kSpareBytes);
  CopyStringUnits(*variable, UnitsAt(p), static_cast<int64_t>(bytes / 2));
  StringStackPosition = p;
}

int64_t AssignString(char16_t** variable, const char16_t* s) {
  if (s == nullptr) {
    FreeString(*variable);
    *variable = nullptr;
    return 2;
  }
  int64_t length = StringLength(s);
  // A new block rather than realloc: s may point into the variable's own block.
  char16_t* block = ResizeStringBlock(nullptr, static_cast<size_t>(length) * 2 + kSpareBytes);
  memcpy(block, s, static_cast<size_t>(length + 1) * 2);
  FreeString(*variable);
  *variable = block;
  return (length + 1) * 2;
}

void DuplicateString(char16_t** variable, const char16_t* s) {
  if (s == nullptr) return;
  int64_t length = StringLength(s);
  char16_t* block = ResizeStringBlock(nullptr, static_cast<size_t>(length) * 2 + kSpareBytes);
  memcpy(block, s, static_cast<size_t>(length + 1) * 2);
  *variable = block;
}

void FreeString(char16_t* s) {
  free(s);
}

StringMark::StringMark() {
  PushMark();
  offset_ = StringStackPosition;
}

StringMark::~StringMark() {
  if (active_) StringStackPosition = PopMark();
}

const char16_t* StringMark::Finish() {
  // REQUIRES: the expression was not ended before.
  assert(!finished_);
  finished_ = true;
  StringStackPosition += 2;
  return UnitsAt(offset_);
}

void StringMark::AssignTo(char16_t** variable) {
  assert(!finished_);
  finished_ = true;
  AssignStringFromStack(variable, PopMark());
  active_ = false;
}

StringVariable StringMark::Keep() && {
  StringVariable kept;
  AssignTo(kept.Address());
  return kept;
}

StringVariable& StringVariable::operator=(const StringVariable& other) {
  if (this != &other) AssignString(&block_, other.block_);
  return *this;
}

StringVariable& StringVariable::operator=(StringVariable&& other) noexcept {
  if (this != &other) {
    FreeString(block_);
    block_ = other.block_;
    other.block_ = nullptr;
  }
  return *this;
}
