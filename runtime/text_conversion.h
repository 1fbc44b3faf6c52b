// Conversion between the runtime's UTF-16 strings and 8-bit text (UTF-8, Latin-1).
#pragma once

#include <cstdint>

#include "runtime/string_stack.h"

inline constexpr uint32_t EncodingLatin1 = 0;
inline constexpr uint32_t EncodingUtf8 = 65001;

// Decodes bytes into UTF-16 units. A source length of -1 means strlen + 1 (terminator
// included). A null dest counts the units the conversion would give; otherwise at most
// capacity units are written and their number returned. No terminator of its own.
// Any other encoding gives 0. The flags are not used.
int64_t DecodeToUtf16(uint32_t encoding, uint32_t flags, const char* source, int64_t length,
                      char16_t* dest, int64_t capacity);
// Encodes UTF-16 units into bytes. A source length of -1 means StringLength + 1.
// Counting and writing modes as DecodeToUtf16.
int32_t EncodeFromUtf16(uint32_t encoding, uint32_t flags, const char16_t* source, int64_t length,
                        char* dest, int64_t capacity);

// New malloc blocks, terminated; null or unconvertible input gives "". Freed with
// FreeConvertedCopy (the 8-bit copies) or free (the UTF-16 copies).
char* StringToUtf8Copy(const char16_t* s);
// Part of the runtime's interface for its callers, though Brevik's own code has no use for it.
char* StringToLatin1Copy(const char16_t* s);
void FreeConvertedCopy(char* copy);
char16_t* Latin1ToStringCopy(const char* text);
char16_t* Utf8ToStringCopy(const char* text);

// StringStack results at p; null or "" gives the empty result.
char16_t* Latin1ToStringStack(const char* text, StringResultPosition p);
char16_t* Utf8ToStringStack(const char* text, StringResultPosition p);
