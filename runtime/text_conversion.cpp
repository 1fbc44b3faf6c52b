#include "runtime/text_conversion.h"

#include <cstdlib>
#include <cstring>

#include "runtime/memory.h"
#include "runtime/string_units.h"

namespace {

// The whole-string converters' callers assume they succeed, so a failed allocation ends the
// program instead of handing them a null they would dereference.
void* AllocateConverted(size_t bytes) {
  void* block = malloc(bytes);
  if (block == nullptr) AbortWithMessage("out of memory converting a string");
  return block;
}

int64_t DecodeLatin1(const unsigned char* source, int64_t length, char16_t* dest,
                     int64_t capacity) {
  if (dest == nullptr) return length;
  int64_t count = length < capacity ? length : capacity;
  for (int64_t i = 0; i < count; ++i)
    dest[i] = source[i];
  return count < 0 ? 0 : count;
}

// Lenient by design: no overlong or surrogate checks. Every decision below is made the same
// way in counting and writing mode, so a count always predicts the write exactly.
int64_t DecodeUtf8(const unsigned char* source, int64_t length, char16_t* dest, int64_t capacity) {
  int64_t in = 0;
  int64_t out = 0;
  while (in < length) {
    unsigned char lead = source[in];
    uint32_t code_point;
    if (lead < 0x80) {
      code_point = lead;
      ++in;
    } else if (lead < 0xC0) {
      code_point = 0xFFFD;
      ++in;
    } else if (lead >= 0xF8) {
      break;
    } else {
      int trailing = lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
      if (length - in - 1 < trailing) break;
      code_point = lead & (0x3Fu >> trailing);
      ++in;
      for (int k = 0; k < trailing; ++k) {
        unsigned char next = source[in++];
        // A byte that is no continuation cuts the sequence short and is swallowed with it.
        if ((next & 0xC0) != 0x80) break;
        code_point = (code_point << 6) | (next & 0x3F);
      }
    }
    if (code_point >= 0x110000) break;
    int units = code_point >= 0x10000 ? 2 : 1;
    if (dest != nullptr) {
      if (capacity - out < units) break;
      if (units == 1) {
        dest[out] = static_cast<char16_t>(code_point);
      } else {
        uint32_t offset = code_point - 0x10000;
        dest[out] = static_cast<char16_t>(0xD800 | (offset >> 10));
        dest[out + 1] = static_cast<char16_t>(0xDC00 | (offset & 0x3FF));
      }
    }
    out += units;
  }
  return out;
}

int32_t EncodeLatin1(const char16_t* source, int64_t length, char* dest, int64_t capacity) {
  int32_t out = 0;
  for (int64_t i = 0; i < length; ++i) {
    if (source[i] >= 0x100) continue;
    if (dest != nullptr) {
      if (out >= capacity) break;
      dest[out] = static_cast<char>(source[i]);
    }
    ++out;
  }
  return out;
}

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

int32_t EncodeUtf8(const char16_t* source, int64_t length, char* dest, int64_t capacity) {
  int32_t out = 0;
  for (int64_t i = 0; i < length; ++i) {
    uint32_t code_point = source[i];
    if (IsHighSurrogate(source[i])) {
      bool paired = i + 1 < length && IsLowSurrogate(source[i + 1]);
      // Counting stops before any unpaired high surrogate; writing fails as a whole when one
      // is followed by something else, so the whole-string copies come out as "".
      if (!paired) return dest == nullptr || i + 1 >= length ? out : 0;
      code_point = (((code_point & 0x3FF) << 10) | (source[i + 1] & 0x3FF)) + 0x10000;
      ++i;
    }
    unsigned char bytes[4];
    int size;
    if (code_point < 0x80) {
      bytes[0] = static_cast<unsigned char>(code_point);
      size = 1;
    } else if (code_point < 0x800) {
      bytes[0] = static_cast<unsigned char>(0xC0 | (code_point >> 6));
      bytes[1] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
      size = 2;
    } else if (code_point < 0x10000) {
      bytes[0] = static_cast<unsigned char>(0xE0 | (code_point >> 12));
      bytes[1] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
      size = 3;
    } else {
      bytes[0] = static_cast<unsigned char>(0xF0 | (code_point >> 18));
      bytes[1] = static_cast<unsigned char>(0x80 | ((code_point >> 12) & 0x3F));
      bytes[2] = static_cast<unsigned char>(0x80 | ((code_point >> 6) & 0x3F));
      bytes[3] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
      size = 4;
    }
    if (dest == nullptr) {
      out += size;
      continue;
    }
    for (int k = 0; k < size; ++k) {
      if (out >= capacity) return out;
      dest[out++] = static_cast<char>(bytes[k]);
    }
  }
  return out;
}

char* EncodedCopy(uint32_t encoding, const char16_t* s) {
  int32_t count = 0;
  int64_t length = 0;
  if (s != nullptr) {
    length = StringLength(s) + 1;
    count = EncodeFromUtf16(encoding, 0, s, length, nullptr, 0);
  }
  auto* copy = static_cast<char*>(AllocateConverted(static_cast<size_t>(count) + 1));
  int32_t written = count == 0 ? 0 : EncodeFromUtf16(encoding, 0, s, length, copy, count);
  copy[written] = '\0';
  return copy;
}

}  // namespace

int64_t DecodeToUtf16(uint32_t encoding, uint32_t /*flags*/, const char* source, int64_t length,
                      char16_t* dest, int64_t capacity) {
  if (source == nullptr) return 0;
  if (length == -1) length = static_cast<int64_t>(strlen(source)) + 1;
  if (length < 0) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(source);
  switch (encoding) {
    case EncodingLatin1:
      return DecodeLatin1(bytes, length, dest, capacity);
    case EncodingUtf8:
      return DecodeUtf8(bytes, length, dest, capacity);
    default:
      return 0;
  }
}

int32_t EncodeFromUtf16(uint32_t encoding, uint32_t /*flags*/, const char16_t* source,
                        int64_t length, char* dest, int64_t capacity) {
  if (source == nullptr) return 0;
  if (length == -1) length = StringLength(source) + 1;
  if (length < 0) return 0;
  switch (encoding) {
    case EncodingLatin1:
      return EncodeLatin1(source, length, dest, capacity);
    case EncodingUtf8:
      return EncodeUtf8(source, length, dest, capacity);
    default:
      return 0;
  }
}

char* StringToUtf8Copy(const char16_t* s) {
  return EncodedCopy(EncodingUtf8, s);
}

char* StringToLatin1Copy(const char16_t* s) {
  return EncodedCopy(EncodingLatin1, s);
}

void FreeConvertedCopy(char* copy) {
  free(copy);
}

char16_t* Latin1ToStringCopy(const char* text) {
  int64_t length = text == nullptr ? 0 : static_cast<int64_t>(strlen(text));
  auto* copy = static_cast<char16_t*>(AllocateConverted((static_cast<size_t>(length) + 1) * 2));
  if (length > 0) DecodeToUtf16(EncodingLatin1, 0, text, length, copy, length);
  copy[length] = u'\0';
  return copy;
}

char16_t* Utf8ToStringCopy(const char* text) {
  if (text == nullptr) text = "";
  int64_t count = DecodeToUtf16(EncodingUtf8, 0, text, -1, nullptr, 0);
  // One unit more than the count: when the conversion ends early the zero byte was never
  // converted and the terminator must be written after the units.
  auto* copy = static_cast<char16_t*>(AllocateConverted((static_cast<size_t>(count) + 1) * 2));
  int64_t written = DecodeToUtf16(EncodingUtf8, 0, text, -1, copy, count);
  copy[written] = u'\0';
  return copy;
}

char16_t* Latin1ToStringStack(const char* text, StringResultPosition p) {
  if (text == nullptr || text[0] == '\0') return SetEmptyStringResult(p);
  auto length = static_cast<int64_t>(strlen(text));
  char16_t* result = ReserveStringUnits(length, p);
  DecodeToUtf16(EncodingLatin1, 0, text, length, result, length);
  result[length] = u'\0';
  return result;
}

char16_t* Utf8ToStringStack(const char* text, StringResultPosition p) {
  if (text == nullptr) return SetEmptyStringResult(p);
  int64_t count = DecodeToUtf16(EncodingUtf8, 0, text, -1, nullptr, 0);
  if (count == 0) return SetEmptyStringResult(p);
  // Reserving one unit less leaves the converted zero byte on the new top; the spare bytes
  // every reservation keeps above the top hold it.
  char16_t* result = ReserveStringUnits(count - 1, p);
  DecodeToUtf16(EncodingUtf8, 0, text, -1, result, count);
  if (result[count - 1] == u'\0') return result;
  // Ended before the zero byte: all count units are text and the terminator goes after them.
  result = ReserveStringUnits(count, p);
  result[count] = u'\0';
  return result;
}
