#include "runtime/string_utils.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "runtime/text_conversion.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int64_t kIntegerTextUnits = 64;
// The caller of FormatString guarantees room; this only keeps the conversion finite.
constexpr int64_t kFormatDestinationLimit = 0x1FFFFFFF;

}  // namespace

#if defined(__SSE2__)
namespace {

// Two mask bits, in byte order, for each zero unit of the aligned 16-byte block at address.
// An aligned block never straddles a page, so reading the whole block that holds the
// terminator cannot fault even where it extends past the string; the address sanitizer
// cannot tell that from an overflow, hence the exemption. The thread sanitizer likewise
// takes the bytes past the terminator for a read of memory that another thread frees.
[[gnu::no_sanitize_address, gnu::no_sanitize_thread]] uint32_t ZeroUnitBytes(uintptr_t address) {
  __m128i units = _mm_load_si128(reinterpret_cast<const __m128i*>(address));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, _mm_setzero_si128())));
}

}  // namespace

// Eight units per step: every string expression measures each of its pieces, so this is
// the StringStack's hottest loop. s is 2-byte aligned, so units never straddle lanes.
int64_t StringLength(const char16_t* s) {
  const auto address = reinterpret_cast<uintptr_t>(s);
  auto block = address & ~uintptr_t{15};
  // Units of the first block that lie before s do not count.
  uint32_t mask = ZeroUnitBytes(block) & (~uint32_t{0} << (address - block));
  while (mask == 0) {
    block += 16;
    mask = ZeroUnitBytes(block);
  }
  return static_cast<int64_t>((block + std::countr_zero(mask) - address) / 2);
}
#else
int64_t StringLength(const char16_t* s) {
  const char16_t* end = s;
  while (*end != u'\0')
    ++end;
  return end - s;
}
#endif

int64_t NullSafeStringLength(const char16_t* s) {
  return s == nullptr ? 0 : StringLength(s);
}

void CopyString(char16_t* dest, const char16_t* source) {
  while ((*dest++ = *source++) != u'\0') {
  }
}

void CopyStringUnits(char16_t* dest, const char16_t* source, int64_t n) {
  // Each step reads its 4 bytes before writing them, so an overlapping copy towards lower
  // addresses (trimming in place) is safe. memcpy keeps it free of alignment assumptions.
  for (int64_t i = 0; i < n; i += 2) {
    uint32_t pair;
    memcpy(&pair, source + i, sizeof(pair));
    memcpy(dest + i, &pair, sizeof(pair));
  }
  dest[n] = u'\0';
}

int32_t CompareString(const char16_t* a, const char16_t* b) {
  while (*a == *b && *a != u'\0') {
    ++a;
    ++b;
  }
  return static_cast<int32_t>(*a) - static_cast<int32_t>(*b);
}

int32_t CompareStringNoCase(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    auto left = static_cast<int32_t>(towlower(*a));
    auto right = static_cast<int32_t>(towlower(*b));
    if (left != right || *a == u'\0') return left - right;
  }
}

int32_t StringsEqual(const char16_t* a, const char16_t* b) {
  return CompareString(a == nullptr ? u"" : a, b == nullptr ? u"" : b) == 0 ? 1 : 0;
}

const char16_t* SkipPrefix(const char16_t* s, const char16_t* prefix) {
  for (; *prefix != u'\0'; ++prefix, ++s) {
    if (*s != *prefix) return nullptr;
  }
  return s;
}

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

int WriteUnsignedDecimal(char16_t* dest, uint64_t value) {
  char16_t digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = 0; i < count; ++i)
    dest[i] = digits[count - 1 - i];
  dest[count] = u'\0';
  return count;
}

int WriteSignedDecimal(char16_t* dest, int64_t value) {
  if (value >= 0) return WriteUnsignedDecimal(dest, static_cast<uint64_t>(value));
  dest[0] = u'-';
  // Negating in unsigned arithmetic gives INT64_MIN its magnitude.
  return 1 + WriteUnsignedDecimal(dest + 1, 0 - static_cast<uint64_t>(value));
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
