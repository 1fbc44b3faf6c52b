// The quantizer's kernels: learning's contest and move, the search for a pixel's palette entry
// and the mapping of a row, compiled for each vector width, and the choice among them.
#pragma once

#include <cstdint>

#include "image/colour_quantizer.h"
#include "image/quantizer/network.h"

// The entry points of one instruction set.
struct QuantKernels {
  int32_t (*contest)(quant::LearningNetwork* net, int32_t netsize, const quant::NetPixel& p);
  void (*move)(quant::LearningNetwork* net, int32_t netsize, int32_t winner, int32_t rad,
               const quant::NetPixel& p);
  int32_t (*search)(const QuantSearchTable* table, const QuantNetwork* net, const uint8_t* rgba);
  void (*map_row)(const QuantSearchTable* table, const QuantNetwork* net, const uint8_t* rgba,
                  int32_t width, uint8_t* out);
};

namespace quant {

// The widest instruction set the processor has.
QuantSimd WidestQuantSimd();

// The kernels of an instruction set. REQUIRES: the processor has it.
const QuantKernels* KernelsFor(QuantSimd simd);

}  // namespace quant
