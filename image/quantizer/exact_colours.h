// Exact colours: a picture with no more distinct colours (red, green, blue and alpha) than its
// palette holds gets them as its palette, unchanged, and each pixel its own colour's entry.
#pragma once

#include <cstdint>
#include <cstring>

#include "image/colour_quantizer.h"

namespace quant {

// A pixel's RGBA bytes as one value.
inline uint32_t PackColour(const uint8_t* rgba) {
  uint32_t colour = 0;
  std::memcpy(&colour, rgba, 4);
  return colour;
}

// When the colours fit the palette they become it unchanged: learning would only blur them.
// True when they fit, with the palette and the quantizer's exact colours set.
bool UseExactColours(ColourQuantizer* q);

// A row of the quantizer's pixels to the entries of their colours. REQUIRES: exact colours.
void MapExactly(const ColourQuantizer* q, const uint8_t* row, uint8_t* out);

}  // namespace quant
