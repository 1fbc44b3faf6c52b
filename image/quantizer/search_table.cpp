#include "image/quantizer/search_table.h"

#include <algorithm>
#include <limits>

#include "image/quantizer/helper_threads.h"
#include "image/quantizer/network.h"
#include "runtime/memory.h"

namespace quant {
namespace {

// Cells are made coarser until the image has this many pixels for each.
constexpr uint64_t kPixelsPerCell = 64;
// What padding lanes hold in every channel: farther than any colour.
constexpr float kFarAwayChannel = 1.0e6f;

// Offers one candidate to the search. False once its green difference alone exceeds the
// best distance: the neurons further along in this direction differ in green even more.
bool TryCandidate(const QuantNetwork* net, int32_t i, const NetPixel& p, double* best,
                  int32_t* best_position) {
  const uint8_t* c = net->colour_map[i];
  const double green = c[1] - p.green;
  double dist = p.weight * green * green;
  if (dist > *best) return false;
  const double red = c[0] - p.red;
  dist += p.weight * red * red;
  if (dist >= *best) return true;
  const double blue = c[2] - p.blue;
  dist += p.weight * blue * blue;
  if (dist >= *best) return true;
  const double alpha = c[3] - p.alpha;
  dist += alpha * alpha;
  if (dist >= *best) return true;
  *best = dist;
  *best_position = i;
  return true;
}

// The smallest and the largest possible distance of each neuron from a colour in the cell,
// as an opaque pixel measures it, alpha included.
struct CellReach {
  int32_t nearest[QuantMaxNeurons];
  int32_t least_farthest;  // the smallest largest distance of any neuron
};

void MeasureCell(const QuantNetwork* net, int32_t shift, int32_t cell, CellReach* reach) {
  const int32_t side_bits = 8 - shift;
  const int32_t side_mask = (1 << side_bits) - 1;
  const int32_t low[3] = {(cell >> 2 * side_bits) << shift,
                          (cell >> side_bits & side_mask) << shift, (cell & side_mask) << shift};
  const int32_t high_offset = (1 << shift) - 1;
  reach->least_farthest = std::numeric_limits<int32_t>::max();
  for (int32_t i = 0; i < net->netsize; ++i) {
    const uint8_t* c = net->colour_map[i];
    const int32_t alpha = 255 - c[3];
    int32_t near = alpha * alpha;
    int32_t far = near;
    for (int32_t channel = 0; channel < 3; ++channel) {
      // Below the cell, above it, or within it; the far side is the one further away.
      const int32_t below = low[channel] - c[channel];
      const int32_t above = c[channel] - (low[channel] + high_offset);
      const int32_t outside = below > 0 ? below : above > 0 ? above : 0;
      const int32_t across = 2 * below + high_offset >= 0 ? below + high_offset : -below;
      near += outside * outside;
      far += across * across;
    }
    reach->nearest[i] = near;
    reach->least_farthest = std::min(reach->least_farthest, far);
  }
}

// The candidates of a cell are the neurons that can be the closest to some colour in it:
// those that can come no further than the neuron that is nearest at its farthest. Returns
// how many there are, their numbers nearest first in order.
int32_t FindCandidates(const QuantNetwork* net, int32_t shift, int32_t cell, CellReach* reach,
                       uint8_t* order) {
  MeasureCell(net, shift, cell, reach);
  int32_t count = 0;
  for (int32_t i = 0; i < net->netsize; ++i) {
    if (reach->nearest[i] <= reach->least_farthest) order[count++] = static_cast<uint8_t>(i);
  }
  std::sort(order, order + count,
            [reach](uint8_t a, uint8_t b) { return reach->nearest[a] < reach->nearest[b]; });
  return count;
}

void FillCandidates(CandidateBlock* block, const QuantNetwork* net, const CellReach& reach,
                    const uint8_t* order, int32_t count) {
  for (int32_t n = 0; n < count; n += kBlockLanes, ++block) {
    block->floor = reach.nearest[order[n]];
    for (int32_t lane = 0; lane < kBlockLanes; ++lane) {
      if (n + lane >= count) {
        block->red[lane] = kFarAwayChannel;
        block->green[lane] = kFarAwayChannel;
        block->blue[lane] = kFarAwayChannel;
        block->alpha_term[lane] = kFarAwayChannel;
        block->neuron[lane] = 0;
        continue;
      }
      const int32_t i = order[n + lane];
      const uint8_t* c = net->colour_map[i];
      const float alpha = 255.0f - c[3];
      block->red[lane] = c[0];
      block->green[lane] = c[1];
      block->blue[lane] = c[2];
      block->alpha_term[lane] = alpha * alpha;
      block->neuron[lane] = i;
    }
  }
}

}  // namespace

int32_t SearchOneByOne(const QuantNetwork* net, const uint8_t* rgba) {
  const NetPixel p = ToNetPixel(net, rgba);
  int32_t up = net->green_index[static_cast<int32_t>(p.green)];
  int32_t down = up - 1;
  double best = kFarAway;
  int32_t best_position = up;
  while (up < net->netsize || down >= 0) {
    if (up < net->netsize) {
      up = TryCandidate(net, up, p, &best, &best_position) ? up + 1 : net->netsize;
    }
    if (down >= 0) {
      down = TryCandidate(net, down, p, &best, &best_position) ? down - 1 : -1;
    }
  }
  return best_position;
}

// Cells are measured twice, once to count their candidates and once to fill them in, so that
// the candidates need no room beyond the pool.
bool BuildSearchTable(QuantSearchTable* table, const QuantNetwork* net) {
  const uint64_t pixels = net->length / 4;
  int32_t shift = kFinestCellShift;
  while (shift < 8 && (uint64_t{1} << 3 * (8 - shift)) * kPixelsPerCell > pixels)
    ++shift;
  table->cell_shift = shift;
  const int32_t cells = 1 << 3 * (8 - shift);
  for (int32_t i = 0; i < 256; ++i)
    table->gamma[i] = static_cast<uint8_t>(net->gamma_table[i]);
  constexpr uint8_t kTransparent[4] = {0, 0, 0, 0};
  table->transparent_index = static_cast<uint8_t>(SearchOneByOne(net, kTransparent));
  constexpr int64_t kCellsPerPart = 256;
  RunInParts(cells, kCellsPerPart, [table, net, shift](int32_t, int64_t first, int64_t end) {
    CellReach reach;
    uint8_t order[QuantMaxNeurons];
    for (int64_t cell = first; cell < end; ++cell) {
      const int32_t count = FindCandidates(net, shift, static_cast<int32_t>(cell), &reach, order);
      table->blocks[cell] = static_cast<uint32_t>((count + kBlockLanes - 1) / kBlockLanes);
    }
  });
  uint64_t total = 0;
  for (int32_t cell = 0; cell < cells; ++cell) {
    table->first_block[cell] = static_cast<uint32_t>(total);
    total += table->blocks[cell];
  }
  if (total > table->pool_capacity) {
    FreeBlock(table->pool);
    table->pool =
        static_cast<CandidateBlock*>(AllocateBlockNoClear(total * sizeof(CandidateBlock)));
    table->pool_capacity = table->pool != nullptr ? total : 0;
    if (table->pool == nullptr) return false;
  }
  RunInParts(cells, kCellsPerPart, [table, net, shift](int32_t, int64_t first, int64_t end) {
    CellReach reach;
    uint8_t order[QuantMaxNeurons];
    for (int64_t cell = first; cell < end; ++cell) {
      const int32_t count = FindCandidates(net, shift, static_cast<int32_t>(cell), &reach, order);
      FillCandidates(table->pool + table->first_block[cell], net, reach, order, count);
    }
  });
  return true;
}

}  // namespace quant
