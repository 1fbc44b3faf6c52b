// A test picture for the image benchmarks: a square RGBA gradient with a pattern, so that
// palettes and encoders have real colour variety to work on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

inline std::vector<uint8_t> GradientRgba(int32_t side) {
  std::vector<uint8_t> pixels;
  pixels.reserve(static_cast<std::size_t>(side) * side * 4);
  for (int32_t y = 0; y < side; ++y) {
    for (int32_t x = 0; x < side; ++x) {
      pixels.push_back(static_cast<uint8_t>(x * 255 / side));
      pixels.push_back(static_cast<uint8_t>(y * 255 / side));
      pixels.push_back(static_cast<uint8_t>((x ^ y) & 0xFF));
      pixels.push_back(255);
    }
  }
  return pixels;
}
