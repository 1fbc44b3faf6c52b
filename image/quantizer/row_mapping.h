// Row mapping: a row of the quantizer's pixels to palette indices, by their exact colours, by
// luminance for the black-and-white palette, or by searching the learnt one; undithered rows
// in batches shared out over the cores, dithered rows one at a time with each pixel's error
// diffused into its neighbours; and the indices packed as the file keeps them.
#pragma once

#include <cstdint>

#include "image/colour_quantizer.h"

namespace quant {

// Row y of the quantizer's RGBA pixels.
inline uint8_t* PixelRow(const ColourQuantizer* q, int32_t y) {
  return q->pixels + static_cast<uint64_t>(y) * q->width * 4;
}

// Row y's indices into the row buffer, from the batch that holds it, which is mapped first
// unless it is the one in mapped_rows.
void MapUndithered(ColourQuantizer* q, int32_t y);

// Row y's indices into the row buffer, each pixel searched with the error it inherits. The
// error goes to whichever row is asked for next: the encoder asks for the bottom row first
// when the source runs top-down, and a row already written can take no more error. Each
// pixel's search waits for the error of the one before, so this stays on one thread.
void MapWithDithering(ColourQuantizer* q, int32_t y);

// A row of indices, one per byte, packed depth bits each, most significant first. Packs in
// place: byte j is made from indices j * per_byte onwards, which lie at or after j, so no
// index is overwritten before it is read. The slack after the width stays 0.
void PackRow(uint8_t* buffer, int32_t width, int32_t depth);

}  // namespace quant
