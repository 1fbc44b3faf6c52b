// String utilities on the StringStack: integer-to-text, trimming and printf-style formatting
// into UTF-16. The leaf operations on units (length, comparison, copies, decimal digits)
// are in string_units.h, which this header brings along.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "runtime/string_stack.h"
#include "runtime/string_units.h"

char16_t* IntegerToString(int64_t value, StringResultPosition p);
// s without leading and trailing runs of c[0] (space for a null c); s may be a result on
// the StringStack at p itself.
char16_t* TrimString(const char16_t* s, const char16_t* c, StringResultPosition p);
char16_t* TrimSpaces(const char16_t* s, StringResultPosition p);
// printf-style formatting of a UTF-16 format. With a null dest returns the UTF-8 bytes the
// text needs; otherwise writes the text and a terminator into dest (the caller guarantees
// room) and returns the units written, or 0 when no temporary memory was available.
int32_t FormatString(char16_t* dest, const char16_t* format, ...);
int32_t FormatStringV(char16_t* dest, const char16_t* format, va_list arguments);
