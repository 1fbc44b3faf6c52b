#include "gui/gadgets/string_formatters.h"

#include <algorithm>

// Every accepted text is Acceptable rather than Intermediate: QLineEdit reports Return and
// the end of editing only for acceptable input.

QValidator::State KzMaximumLengthFormatter::validate(QString& input, int&) const {
  return FitsMaximumLength(input) ? Acceptable : Invalid;
}

bool KzMaximumLengthFormatter::FitsMaximumLength(const QString& text) const {
  return static_cast<uint64_t>(text.size()) <= static_cast<uint32_t>(maxLength);
}

// QLineEdit shows the text a validator leaves in input, so changing the case there is what
// the field shows.
QValidator::State KzUpperCaseFormatter::validate(QString& input, int&) const {
  if (!FitsMaximumLength(input)) return Invalid;
  input = input.toUpper();
  return Acceptable;
}

QValidator::State KzLowerCaseFormatter::validate(QString& input, int&) const {
  if (!FitsMaximumLength(input)) return Invalid;
  input = input.toLower();
  return Acceptable;
}

QValidator::State KzNumericFormatter::validate(QString& input, int&) const {
  if (!FitsMaximumLength(input)) return Invalid;
  const bool digits_only =
      std::all_of(input.cbegin(), input.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
  return digits_only ? Acceptable : Invalid;
}
