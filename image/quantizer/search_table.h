// The quantizer's search table: a grid over gamma space whose cells list the neurons that can
// be the closest to some colour within them, through which opaque pixels find their palette
// entry; and the search one neuron at a time whose answers the table's agree with.
#pragma once

#include <cstdint>

#include "image/colour_quantizer.h"

namespace quant {

// Opaque pixels are searched through a grid over gamma space: each cell lists every neuron
// that can be the closest to some colour within it, nearest to the cell first, in blocks of
// kBlockLanes padded with far-away entries. Cells are 16 values a side for large images and
// larger for small ones, whose few pixels would not repay the building of many cells.
constexpr int32_t kFinestCellShift = 4;
constexpr int32_t kMostCells = 1 << 3 * (8 - kFinestCellShift);
constexpr int32_t kBlockLanes = 8;
// Distances are capped below this before they are made whole numbers; real ones stay below
// 2^18 and the cap keeps them ahead of the padding.
constexpr float kDistanceCap = 1 << 19;
// A candidate's key is its distance times 512 plus the turn at which the search one by one
// would have visited it, below 512, so that the smallest key is the neuron that search picks.
constexpr int32_t kTurnBits = 9;

struct CandidateBlock {
  float red[kBlockLanes];  // gamma space
  float green[kBlockLanes];
  float blue[kBlockLanes];
  float alpha_term[kBlockLanes];  // (alpha - 255)^2, what alpha adds for an opaque pixel
  int32_t neuron[kBlockLanes];
  // No colour of the cell comes closer than this to any neuron of this block or of the
  // blocks after it.
  int32_t floor;
};

}  // namespace quant

struct QuantSearchTable {
  uint8_t gamma[256];         // the gamma table as bytes
  uint8_t transparent_index;  // every fully transparent pixel's answer
  int32_t cell_shift;         // log2 of a cell's side
  uint32_t first_block[quant::kMostCells];
  uint32_t blocks[quant::kMostCells];
  quant::CandidateBlock* pool;
  uint64_t pool_capacity;  // blocks
};

namespace quant {

// The cell of a colour in gamma space, for cells 2^shift values a side.
inline int32_t CellOf(int32_t shift, int32_t red, int32_t green, int32_t blue) {
  const int32_t side_bits = 8 - shift;
  return (((red >> shift) << side_bits | green >> shift) << side_bits) | blue >> shift;
}

// The neuron of the colour map closest to the pixel. The search walks up and down from where
// the pixel's green starts in the index, the upward candidate first at each step; among
// equally close neurons the first visited wins.
int32_t SearchOneByOne(const QuantNetwork* net, const uint8_t* rgba);

// Lays out the network's colour map for the search kernels; false when memory runs out.
bool BuildSearchTable(QuantSearchTable* table, const QuantNetwork* net);

}  // namespace quant
