#include "runtime/string_units.h"

#include <bit>
#include <cstring>
#include <cwctype>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
