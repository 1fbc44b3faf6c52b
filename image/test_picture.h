// A photograph-like test picture for the image tests and benchmarks: smooth colour gradients
// and slow waves, a soft lit disc, and fine pixel noise as texture, the same on every run.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// 3-byte RGB pixels, rows packed, top row first.
inline std::vector<uint8_t> PhotoLikeRgb(int32_t width, int32_t height) {
  std::vector<uint8_t> pixels;
  pixels.reserve(static_cast<size_t>(width) * height * 3);
  uint32_t state = 0x9E3779B9u;
  const auto put = [&pixels](double value) {
    pixels.push_back(static_cast<uint8_t>(std::clamp(value, 0.0, 255.0)));
  };
  for (int32_t y = 0; y < height; ++y) {
    const double v = static_cast<double>(y) / height;
    for (int32_t x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width;
      double red = 60 + 150 * v + 30 * std::sin(6 * u + 2 * v);
      double green = 90 + 100 * (1 - v) + 40 * std::sin(4 * v - 3 * u);
      double blue = 200 - 140 * v + 25 * std::cos(15 * u * v);
      const double light = 1 - std::hypot(u - 0.65, v - 0.35) / 0.2;
      if (light > 0) {
        red += 80 * light;
        green += 60 * light;
        blue -= 40 * light;
      }
      // A linear congruential step: its top bits give a shared grain and a tint per pixel.
      state = state * 1664525u + 1013904223u;
      const double grain = static_cast<double>(state >> 28) - 7.5;
      const double tint = static_cast<double>((state >> 24) & 7) - 3.5;
      put(red + grain + tint);
      put(green + grain);
      put(blue + grain - tint);
    }
  }
  return pixels;
}
