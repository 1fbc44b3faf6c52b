#include "runtime/string_utils.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "runtime/text_conversion.h"

namespace {

constexpr int64_t kIntegerTextUnits = 64;
// The caller of FormatString guarantees room; this only keeps the conversion finite.
constexpr int64_t kFormatDestinationLimit = 0x1FFFFFFF;

}  // namespace

char16_t* IntegerToString(int64_t value, StringResultPosition p) {
  char16_t* result = ReserveStringUnits(kIntegerTextUnits, p);
  int length = WriteSignedDecimal(result, value);
  DropStringUnits(kIntegerTextUnits - length);
  return result;
}

char16_t* TrimString(const char16_t* s, const char16_t* c, StringResultPosition p) {
  if (s == nullptr) return SetEmptyStringResult(p);
  char16_t trimmed = c == nullptr ? u' ' : c[0];
  int64_t length = StringLength(s);
  int64_t lead = 0;
  while (lead < length && s[lead] == trimmed)
    ++lead;
  int64_t trail = 0;
  if (lead < length) {
    while (s[length - 1 - trail] == trimmed)
      ++trail;
  }
  int64_t count = length - lead - trail;
  // s may be the previous result at p: reserving can move the buffer, so it is found again
  // by offset. The copy runs forward and p never lies above s, so overlap is harmless.
  uint64_t offset = StringStackOffsetOf(s);
  char16_t* result = ReserveStringUnits(count, p);
  if (offset != 0) s = StringStackAddressAt(offset);
  CopyStringUnits(result, s + lead, count);
  return result;
}

char16_t* TrimSpaces(const char16_t* s, StringResultPosition p) {
  return TrimString(s, u" ", p);
}

int32_t FormatString(char16_t* dest, const char16_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int32_t result = FormatStringV(dest, format, arguments);
  va_end(arguments);
  return result;
}

int32_t FormatStringV(char16_t* dest, const char16_t* format, va_list arguments) {
  char* utf8_format = StringToUtf8Copy(format);
  va_list counting;
  va_copy(counting, arguments);
  int bytes = vsnprintf(nullptr, 0, utf8_format, counting);
  va_end(counting);
  if (dest == nullptr || bytes < 0) {
    FreeConvertedCopy(utf8_format);
    return bytes < 0 ? 0 : bytes;
  }
  auto size = static_cast<size_t>(bytes) + 1;
  auto* text = static_cast<char*>(malloc(size));
  if (text == nullptr) {
    FreeConvertedCopy(utf8_format);
    return 0;
  }
  vsnprintf(text, size, utf8_format, arguments);
  int64_t units = DecodeToUtf16(EncodingUtf8, 0, text, static_cast<int64_t>(size), dest,
                                kFormatDestinationLimit);
  // Normally the zero byte converts to the terminator; malformed UTF-8 from a %s argument
  // can end the conversion first, and then the terminator is written here.
  if (units > 0 && dest[units - 1] == u'\0') {
    --units;
  } else {
    dest[units] = u'\0';
  }
  free(text);
  FreeConvertedCopy(utf8_format);
  return static_cast<int32_t>(units);
}
