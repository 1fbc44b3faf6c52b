// What hdiutil makehybrid tells the program that runs it, one line each, as hdiutil writes
// it and as the window reads it. Standard output:
//
//   Creating hybrid image...   as the run starts
//   size: N bytes              the image's size, once it is laid out, before any percent
//   K%                         each whole percent of the work from 1% to 100%, which comes
//                              only once the image is in place
//   warning: TEXT              something the image lacks; the run goes on
//   created: PATH              the image is made
//
// and, when the run fails, the one line "hdiutil: makehybrid failed - REASON" on standard
// error. The texts are ASCII, so that the window reads them in UTF-16 unit by unit: the
// readers take any character type whose units hold ASCII as ASCII.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view StartLine = "Creating hybrid image...";
inline constexpr std::string_view SizePrefix = "size: ";
inline constexpr std::string_view SizeSuffix = " bytes";
inline constexpr char PercentSign = '%';
inline constexpr std::string_view WarningPrefix = "warning: ";
inline constexpr std::string_view CreatedPrefix = "created: ";
// After the tool's name and ": ", which the window takes off any tool's error line.
inline constexpr std::string_view FailurePrefix = "makehybrid failed - ";

// Writing, in hdiutil.

inline std::string SizeLine(uint64_t image_size) {
  return std::string(SizePrefix) + std::to_string(image_size) + std::string(SizeSuffix);
}

inline std::string PercentLine(int percent) {
  return std::to_string(percent) + PercentSign;
}

// One line whatever the text holds: a line feed in a name would otherwise start a line of its
// own, which the window could take for progress or another warning.
inline std::string WarningLine(std::string_view text) {
  std::string line(WarningPrefix);
  for (char character : text) {
    if (character == '\n') {
      line += "\\n";
    } else if (character == '\r') {
      line += "\\r";
    } else {
      line += character;
    }
  }
  return line;
}

inline std::string CreatedLine(std::string_view image) {
  return std::string(CreatedPrefix) + std::string(image);
}

// The standard-error line for a failed run, line feed included. Control characters (a file
// name may hold a line feed) are written as "\xHH" so that the reason stays on one line.
inline std::string FailureLine(std::string_view reason) {
  std::string line = "hdiutil: " + std::string(FailurePrefix);
  for (unsigned char c : reason) {
    if (c >= 0x20 && c != 0x7f) {
      line += static_cast<char>(c);
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    line += escaped;
  }
  return line + "\n";
}

// Reading, in the window. line ends with a null unit.

// The rest of line after prefix when line starts with it, else null.
template <typename Char>
const Char* AfterPrefix(const Char* line, std::string_view prefix) {
  for (char unit : prefix) {
    if (*line != static_cast<Char>(unit)) return nullptr;
    ++line;
  }
  return line;
}

// The percent of a percent line such as "42%", or -1 for any other line.
template <typename Char>
int32_t PercentOfLine(const Char* line) {
  int32_t percent = 0;
  const Char* unit = line;
  for (; *unit >= '0' && *unit <= '9' && unit - line < 3; ++unit)
    percent = percent * 10 + static_cast<int32_t>(*unit - '0');
  if (unit == line || unit[0] != PercentSign || unit[1] != 0 || percent > 100) return -1;
  return percent;
}

// The size of a size line such as "size: 3210987654 bytes"; nullopt for any other line.
template <typename Char>
std::optional<uint64_t> ImageSizeOfLine(const Char* line) {
  const Char* digits = AfterPrefix(line, SizePrefix);
  if (digits == nullptr) return std::nullopt;
  // 19 digits at most, which cannot overflow.
  uint64_t size = 0;
  const Char* unit = digits;
  for (; *unit >= '0' && *unit <= '9' && unit - digits < 19; ++unit)
    size = size * 10 + static_cast<uint64_t>(*unit - '0');
  if (unit == digits) return std::nullopt;
  const Char* end = AfterPrefix(unit, SizeSuffix);
  if (end == nullptr || *end != 0) return std::nullopt;
  return size;
}

// The text of a warning line, else null.
template <typename Char>
const Char* WarningOfLine(const Char* line) {
  return AfterPrefix(line, WarningPrefix);
}

// The reason of a failure line whose tool's name has been taken off, else null.
template <typename Char>
const Char* FailureReasonOfLine(const Char* line) {
  return AfterPrefix(line, FailurePrefix);
}
