#include "image/quantizer/refinement.h"

#include <cstdint>
#include <cstring>

#include "image/quantizer/helper_threads.h"
#include "image/quantizer/kernels.h"
#include "image/quantizer/network.h"
#include "image/quantizer/row_mapping.h"
#include "image/quantizer/search_table.h"
#include "runtime/memory.h"

namespace quant {
namespace {

// Refinement moves the palette this many times, the later moves judged from every
// kRefinementRowStep-th row.
constexpr int32_t kRefinementMoves = 3;
constexpr int32_t kRefinementRowStep = 8;

// What one pass learns about the palette: per entry the sums of the pixels mapped to it and
// their count, and the squared error of the mapping over all four channels.
struct PaletteTally {
  uint64_t sums[QuantMaxNeurons][4];
  uint64_t counts[QuantMaxNeurons];
  uint64_t squared_error;
};

// Maps every row_step-th row as QuantizedRow would and tallies the result into tallies[0],
// the rows shared out over the cores, each part into its own tally. The indices go to
// mapped_rows when keep is set (every row, mapped_rows holding the whole image), else to a
// row of scratch per part.
void TallyRows(ColourQuantizer* q, int32_t row_step, bool keep, PaletteTally* tallies,
               uint8_t* scratch) {
  const auto tally_rows = [=](int32_t part, int64_t first, int64_t end) {
    PaletteTally* tally = &tallies[part];
    std::memset(tally, 0, sizeof(*tally));
    for (int64_t k = first; k < end; ++k) {
      const auto y = static_cast<int32_t>(k * row_step);
      uint8_t* indices = keep ? q->mapped_rows + static_cast<int64_t>(y) * q->width
                              : scratch + static_cast<int64_t>(part) * q->width;
      const uint8_t* pixel = PixelRow(q, y);
      q->kernels->map_row(q->search_table, q->network, pixel, q->width, indices);
      for (int32_t x = 0; x < q->width; ++x, pixel += 4) {
        const uint8_t index = indices[x];
        const uint8_t* entry = q->palette[index];
        for (int32_t c = 0; c < 4; ++c) {
          const int64_t difference = entry[c] - pixel[c];
          tally->squared_error += static_cast<uint64_t>(difference * difference);
          tally->sums[index][c] += pixel[c];
        }
        ++tally->counts[index];
      }
    }
  };
  const int64_t rows = (q->height + row_step - 1) / row_step;
  const int32_t parts = RunInParts(rows, kPixelsPerHelper / q->width + 1, tally_rows);
  for (int32_t part = 1; part < parts; ++part) {
    for (int32_t i = 0; i < QuantMaxNeurons; ++i) {
      for (int32_t c = 0; c < 4; ++c)
        tallies[0].sums[i][c] += tallies[part].sums[i][c];
      tallies[0].counts[i] += tallies[part].counts[i];
    }
    tallies[0].squared_error += tallies[part].squared_error;
  }
}

// Each entry that stands for some pixels moves to their mean, rounded: the closest a byte
// can come to the mean, so that the error of those pixels cannot grow.
void MoveToMeans(ColourQuantizer* q, const PaletteTally& tally) {
  for (int32_t i = 0; i < q->network->netsize; ++i) {
    const uint64_t count = tally.counts[i];
    if (count == 0) continue;
    for (int32_t c = 0; c < 4; ++c)
      q->palette[i][c] = static_cast<uint8_t>((tally.sums[i][c] + count / 2) / count);
  }
}

// Indexes the quantizer's palette as it stands: its colours in gamma space, sorted by green
// with the palette entries moving along. False when memory runs out.
bool IndexPalette(ColourQuantizer* q) {
  QuantNetwork* net = q->network;
  for (int32_t i = 0; i < net->netsize; ++i) {
    const uint8_t* entry = q->palette[i];
    uint8_t* bytes = net->colour_map[i];
    for (int32_t c = 0; c < 3; ++c)
      bytes[c] = static_cast<uint8_t>(net->gamma_table[entry[c]]);
    bytes[3] = entry[3];
  }
  SortByGreen(net, q->palette);
  BuildGreenIndex(net);
  return BuildSearchTable(q->search_table, net);
}

}  // namespace

bool RefinePalette(ColourQuantizer* q) {
  const uint64_t tally_bytes = sizeof(PaletteTally) * kMaxParts;
  const uint64_t scratch_bytes = static_cast<uint64_t>(q->width) * kMaxParts;
  auto* tallies = static_cast<PaletteTally*>(AllocateBlockNoClear(tally_bytes + scratch_bytes));
  if (tallies == nullptr) return false;
  uint8_t* scratch = reinterpret_cast<uint8_t*>(tallies) + tally_bytes;
  uint8_t learnt[QuantMaxNeurons][4];
  std::memcpy(learnt, q->palette, sizeof(learnt));
  TallyRows(q, 1, false, tallies, scratch);
  const uint64_t learnt_error = tallies[0].squared_error;
  bool indexed = true;
  for (int32_t move = 0; indexed && move < kRefinementMoves; ++move) {
    if (move > 0) TallyRows(q, kRefinementRowStep, false, tallies, scratch);
    MoveToMeans(q, tallies[0]);
    indexed = IndexPalette(q);
  }
  const bool keep = q->mapped_rows != nullptr && q->batch_rows == q->height;
  if (indexed) TallyRows(q, 1, keep, tallies, scratch);
  if (indexed && tallies[0].squared_error >= learnt_error) {
    std::memcpy(q->palette, learnt, sizeof(learnt));
    indexed = IndexPalette(q);
  } else if (indexed && keep) {
    q->mapped_first = 0;
    q->mapped_count = q->height;
  }
  FreeBlock(tallies);
  return indexed;
}

}  // namespace quant
