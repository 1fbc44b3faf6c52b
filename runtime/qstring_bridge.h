// The bridge between runtime strings and QString (both UTF-16, host byte order).
#pragma once

#include <cstdint>

#include "runtime/string_stack.h"

class QString;

// Null reads as "".
QString StringToQString(const char16_t* s);
// Writes the units of text as a StringStack result at p; returns the units written.
int64_t QStringToStringStack(const QString& text, StringResultPosition p);
// The same, giving the result's address as every other StringStack operation does.
char16_t* QStringToStringStackResult(const QString& text, StringResultPosition p);
// Writes at most capacity - 1 units and a terminator into buffer; returns the units written.
int64_t QStringToBuffer(char16_t* buffer, const QString& text, int64_t capacity);
