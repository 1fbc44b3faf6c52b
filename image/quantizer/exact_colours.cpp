#include "image/quantizer/exact_colours.h"

#include <algorithm>
#include <iterator>

#include "runtime/memory.h"

namespace {

// Twice the largest palette, so that probe runs stay short and an empty slot always remains.
constexpr int32_t kColourSlots = 512;

}  // namespace

struct QuantColourTable {
  uint32_t colours[kColourSlots];  // RGBA bytes as one value
  int16_t entries[kColourSlots];   // the colour's palette entry; -1 for an empty slot
};

namespace quant {
namespace {

// The slot that holds colour, or the empty slot where it belongs.
int32_t FindSlot(const QuantColourTable* table, uint32_t colour) {
  int32_t slot = static_cast<int32_t>((colour * 0x9E3779B1u) >> 23);
  while (table->entries[slot] >= 0 && table->colours[slot] != colour)
    slot = (slot + 1) & (kColourSlots - 1);
  return slot;
}

// Gives every distinct colour the next palette entry. False as soon as there are more colours
// than entries, which a photograph reaches within its first rows, so that counting costs
// little before learning.
bool CollectColours(ColourQuantizer* q, QuantColourTable* table) {
  std::fill(std::begin(table->entries), std::end(table->entries), int16_t{-1});
  const int32_t limit = 1 << q->output_depth;
  const uint64_t pixels = static_cast<uint64_t>(q->width) * q->height;
  int16_t count = 0;
  for (uint64_t i = 0; i < pixels; ++i) {
    const uint8_t* rgba = q->pixels + i * 4;
    const uint32_t colour = PackColour(rgba);
    const int32_t slot = FindSlot(table, colour);
    if (table->entries[slot] >= 0) continue;
    if (count == limit) return false;
    table->colours[slot] = colour;
    table->entries[slot] = count;
    std::memcpy(q->palette[count++], rgba, 4);
  }
  return true;
}

}  // namespace

bool UseExactColours(ColourQuantizer* q) {
  auto* table = static_cast<QuantColourTable*>(AllocateBlockNoClear(sizeof(QuantColourTable)));
  // Without room for the table the palette is learnt, as for a picture of many colours.
  if (table == nullptr) return false;
  if (!CollectColours(q, table)) {
    FreeBlock(table);
    std::memset(q->palette, 0, sizeof(q->palette));
    return false;
  }
  q->exact_colours = table;
  return true;
}

void MapExactly(const ColourQuantizer* q, const uint8_t* row, uint8_t* out) {
  const QuantColourTable* table = q->exact_colours;
  for (int32_t x = 0; x < q->width; ++x, row += 4)
    out[x] = static_cast<uint8_t>(table->entries[FindSlot(table, PackColour(row))]);
}

}  // namespace quant
