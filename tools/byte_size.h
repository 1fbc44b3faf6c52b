// Sizes for people, in decimal units as GNOME's file manager shows them. Shared by hdiutil,
// which words its refusals with it, and the window, which shows the image's size with the
// progress, so that both round alike.
#pragma once

#include <cstdint>
#include <string>

// "0 bytes", "1 byte", "999 bytes", then one decimal in the largest unit that keeps it below
// 1000 once rounded (half up): "1.0 kB", "999.9 kB", "1.0 MB" for 999 950 bytes, "3.2 GB",
// up to "18.4 EB".
inline std::string ByteSizeText(uint64_t bytes) {
  return std::to_string(bytes);  // TODO: the units
}
