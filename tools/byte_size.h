// Sizes for people, in decimal units as GNOME's file manager shows them. Shared by hdiutil,
// which words its refusals with it, and the window, which shows the image's size with the
// progress, so that both round alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

// "0 bytes", "1 byte", "999 bytes", then one decimal in the smallest unit that keeps the
// rounded number below 1000 (rounding half up): "1.0 kB", "999.9 kB", "1.0 MB" for 999 950
// bytes, "3.2 GB", up to "18.4 EB".
inline std::string ByteSizeText(uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static constexpr const char* Units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  uint64_t tenth = 100;  // a tenth of the unit, in bytes; even, so half of it is exact
  for (size_t unit = 0;; ++unit, tenth *= 1000) {
    const uint64_t tenths = bytes / tenth + (bytes % tenth >= tenth / 2 ? 1 : 0);
    if (tenths < 10'000 || unit + 1 == std::size(Units)) {
      return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + Units[unit];
    }
  }
}
