// The formatters of string gadgets: validators that QLineEdit asks with the complete new
// text at every edit. Each keeps a maximum length; the case formatters show the text in
// their case, the numeric one takes digits only. Text set by the program is not checked.
#pragma once

#include <QValidator>
#include <cstdint>
#include <limits>

class KzMaximumLengthFormatter : public QValidator {
 public:
  explicit KzMaximumLengthFormatter(QObject* parent = nullptr) : QValidator(parent) {}

  // Refuses a text longer than the maximum length in UTF-16 units.
  State validate(QString& input, int& position) const override;

  // A negative maximum means no limit.
  void setMaximumLength(int32_t length) { maxLength = length; }
  int32_t maximumLength() const { return maxLength; }

 protected:
  // The comparison is unsigned, which is what makes a negative maximum unlimited.
  bool FitsMaximumLength(const QString& text) const;

 private:
  int32_t maxLength = std::numeric_limits<int32_t>::max();
};

// Accepts what fits and shows it upper-cased.
class KzUpperCaseFormatter final : public KzMaximumLengthFormatter {
 public:
  using KzMaximumLengthFormatter::KzMaximumLengthFormatter;
  State validate(QString& input, int& position) const override;
};

class KzLowerCaseFormatter final : public KzMaximumLengthFormatter {
 public:
  using KzMaximumLengthFormatter::KzMaximumLengthFormatter;
  State validate(QString& input, int& position) const override;
};

// Accepts only the digits 0 to 9: signs, blanks and decimal points are refused.
class KzNumericFormatter final : public KzMaximumLengthFormatter {
 public:
  using KzMaximumLengthFormatter::KzMaximumLengthFormatter;
  State validate(QString& input, int& position) const override;
};
