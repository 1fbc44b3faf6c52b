// The StringStack: the process-wide scratch area on which string expressions are built.
//
// Strings are sequences of UTF-16 units ended by a zero unit; a string variable holds a
// heap block (from malloc) or null, and null reads as the empty string. Every
// string-returning operation takes a StringResultPosition, the byte offset at which it
// writes its result, writes a terminator after it and leaves the top at that terminator.
// Offsets survive a resize of the buffer; raw addresses into it do not.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <initializer_list>

using StringResultPosition = uint64_t;

inline constexpr int StringMarkLimit = 100;

// Process-wide state, exposed because callers adjust the top directly: a caller passing a
// finished string on steps the position over its terminator (position += 2).
extern char* StringStackBuffer;
extern int64_t StringStackCapacity;
extern uint64_t StringStackPosition;
extern uint64_t StringMarkStack[StringMarkLimit];
extern int32_t StringMarkDepth;

void InitStringStack();
void FreeStringStack();

// The mark stack is checked: pushing a 101st mark, or popping or peeking an empty stack,
// aborts the program with a message: a caller that balances its marks never gets there.
void PushStringMark();
uint64_t PopStringMarkPosition();
char16_t* PopStringMarkPointer();
uint64_t PopStringMarkRestore();
// Part of the runtime's interface for its callers, though Brevik's own code has no use for it.
char16_t* PopStringMarkRestorePointer();
uint64_t PeekStringMark();

// Room for n units at p; position = p + 2n; returns buffer + p. May move the buffer.
char16_t* ReserveStringUnits(int64_t units, StringResultPosition p);
void DropStringUnits(int64_t units);
// position = p and a zero unit at p; returns buffer + p.
char16_t* SetEmptyStringResult(StringResultPosition p);
// offset + 1 of an address inside [buffer, buffer + position], else 0.
uint64_t StringStackOffsetOf(const void* address);
// buffer + value - 1 for a value from StringStackOffsetOf.
char16_t* StringStackAddressAt(uint64_t offset_plus_one);

// Appends s at the top; null writes a terminator at the top and leaves the position.
// s must not lie inside the StringStack.
void AppendString(const char16_t* s);
// Appends each piece in order, as AppendString does. No piece may lie inside the StringStack.
void AppendStrings(std::initializer_list<const char16_t*> pieces);
// Moves the text between p and the top into *variable (reallocating it); position = p.
void AssignStringFromStack(char16_t** variable, StringResultPosition p);
// Copies s into *variable; null frees the block and sets the variable to null.
// Returns (length + 1) * 2, so 2 for null, which reads as "".
// Allocation failures of the buffer or of a variable's block abort with a message.
int64_t AssignString(char16_t** variable, const char16_t* s);
// A non-null s: *variable = a new block holding a copy. Null leaves the variable alone.
void DuplicateString(char16_t** variable, const char16_t* s);
void FreeString(char16_t* s);

// ---- C++ layer over the protocol ----

class StringVariable;

// Holds a mark for the length of a scope and restores the top when it leaves, dropping
// everything written above the mark. Not copyable.
class StringMark {
 public:
  StringMark();
  ~StringMark();
  StringMark(const StringMark&) = delete;
  StringMark& operator=(const StringMark&) = delete;

  // Finish, AssignTo and Keep end the expression: call at most one of them, once (asserted).

  // The offset of the mark: the result position of the expression's first piece.
  StringResultPosition Offset() const { return offset_; }
  // Finishes the expression to be passed on by address: steps the top over the
  // terminator so the receiver's own use of the StringStack cannot overwrite it.
  // The address is valid until the receiver reserves room; pass it at once.
  const char16_t* Finish();
  // Moves the expression into a variable and gives up the mark.
  void AssignTo(char16_t** variable);
  // The same into a new StringVariable: `return std::move(mark).Keep();`.
  StringVariable Keep() &&;

 private:
  StringResultPosition offset_;
  bool active_ = true;
  bool finished_ = false;  // the expression was ended by Finish, AssignTo or Keep
};

// A string variable that owns its block. Reads never give null.
class StringVariable {
 public:
  StringVariable() = default;
  explicit StringVariable(const char16_t* s) { AssignString(&block_, s); }
  ~StringVariable() { FreeString(block_); }
  StringVariable(const StringVariable& other) { DuplicateString(&block_, other.block_); }
  StringVariable& operator=(const StringVariable& other);
  StringVariable(StringVariable&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  StringVariable& operator=(StringVariable&& other) noexcept;

  StringVariable& operator=(const char16_t* s) {
    AssignString(&block_, s);
    return *this;
  }
  const char16_t* Get() const { return block_ ? block_ : u""; }
  char16_t** Address() { return &block_; }
  bool IsNull() const { return block_ == nullptr; }

 private:
  char16_t* block_ = nullptr;
};
