// Small string utilities: length, comparison, trimming, integer-to-text and printf-style
// formatting into UTF-16.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "runtime/string_stack.h"

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

char16_t* IntegerToString(int64_t value, StringResultPosition p);
// s without leading and trailing runs of c[0] (space for a null c); s may be a result on
// the StringStack at p itself.
char16_t* TrimString(const char16_t* s, const char16_t* c, StringResultPosition p);
char16_t* TrimSpaces(const char16_t* s, StringResultPosition p);
// Return the units written without the terminator (at most 20).
int WriteSignedDecimal(char16_t* dest, int64_t value);
int WriteUnsignedDecimal(char16_t* dest, uint64_t value);

// printf-style formatting of a UTF-16 format. With a null dest returns the UTF-8 bytes the
// text needs; otherwise writes the text and a terminator into dest (the caller guarantees
// room) and returns the units written, or 0 when no temporary memory was available.
int32_t FormatString(char16_t* dest, const char16_t* format, ...);
int32_t FormatStringV(char16_t* dest, const char16_t* format, va_list arguments);
