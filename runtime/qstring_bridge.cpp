#include "runtime/qstring_bridge.h"

#include <QString>
#include <cstring>

namespace {

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

}  // namespace

QString StringToQString(const char16_t* s) {
  return QString::fromUtf16(s == nullptr ? u"" : s);
}

int64_t QStringToStringStack(const QString& text, StringResultPosition p) {
  auto length = static_cast<int64_t>(text.size());
  char16_t* result = ReserveStringUnits(length, p);
  if (length > 0) memcpy(result, text.utf16(), static_cast<size_t>(length) * sizeof(char16_t));
  result[length] = u'\0';
  return length;
}

char16_t* QStringToStringStackResult(const QString& text, StringResultPosition p) {
  QStringToStringStack(text, p);
  return StringStackAddressAt(p + 1);
}

int64_t QStringToBuffer(char16_t* buffer, const QString& text, int64_t capacity) {
  if (capacity < 1) return 0;
  auto length = static_cast<int64_t>(text.size());
  if (length > capacity - 1) {
    length = capacity - 1;
    // Cutting between the halves of a pair would leave an unpaired high surrogate, which
    // the UTF-8 encoder turns into an empty string; the whole character goes instead.
    if (length > 0 && IsHighSurrogate(text.utf16()[length - 1])) --length;
  }
  if (length > 0) memcpy(buffer, text.utf16(), static_cast<size_t>(length) * sizeof(char16_t));
  buffer[length] = u'\0';
  return length;
}
