// The leaf operations on UTF-16 units: length, copies, comparisons and decimal digits.
// They depend on nothing else of the runtime, so that the StringStack and the containers
// can build on them.
#pragma once

#include <cstdint>

// Units before the first zero unit; s must not be null.
int64_t StringLength(const char16_t* s);
int64_t NullSafeStringLength(const char16_t* s);
void CopyString(char16_t* dest, const char16_t* source);
// Copies n units two at a time (for odd n one unit past n is read and written), then a
// zero unit at dest[n]. Every string block keeps spare bytes beyond its text for this.
void CopyStringUnits(char16_t* dest, const char16_t* source, int64_t n);
// First difference of units as unsigned 16-bit values; the terminator takes part.
int32_t CompareString(const char16_t* a, const char16_t* b);
// As CompareString on towlower of each unit.
int32_t CompareStringNoCase(const char16_t* a, const char16_t* b);
// 1 when equal; null reads as "".
int32_t StringsEqual(const char16_t* a, const char16_t* b);
// The rest of s after prefix when s starts with it, else null.
const char16_t* SkipPrefix(const char16_t* s, const char16_t* prefix);
// Return the units written without the terminator (at most 20).
int WriteSignedDecimal(char16_t* dest, int64_t value);
int WriteUnsignedDecimal(char16_t* dest, uint64_t value);
