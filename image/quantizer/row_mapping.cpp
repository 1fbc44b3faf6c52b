#include "image/quantizer/row_mapping.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "image/quantizer/exact_colours.h"
#include "image/quantizer/helper_threads.h"
#include "image/quantizer/kernels.h"

namespace quant {
namespace {

constexpr double kLuminanceThreshold = 160.0;
constexpr int32_t kErrorLimit = 10;
constexpr int64_t kErrorEnergyLimit = 201;

uint8_t ClampByte(int32_t value) {
  return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

void MapByLuminance(const ColourQuantizer* q, const uint8_t* row, uint8_t* out) {
  for (int32_t x = 0; x < q->width; ++x, row += 4) {
    const double luminance = 0.2126 * row[0] + 0.7152 * row[1] + 0.0722 * row[2];
    out[x] = luminance > kLuminanceThreshold ? 1 : 0;
  }
}

// Reads only what stays unchanged while rows are mapped, so that threads may share it.
void MapRow(const ColourQuantizer* q, int32_t y, uint8_t* out) {
  const uint8_t* row = PixelRow(q, y);
  if (q->exact_colours != nullptr) {
    MapExactly(q, row, out);
  } else if (q->output_depth == 1) {
    MapByLuminance(q, row, out);
  } else {
    q->kernels->map_row(q->search_table, q->network, row, q->width, out);
  }
}

// Maps the batch of rows that holds row y, its rows shared out over the cores.
void MapBatch(ColourQuantizer* q, int32_t y) {
  const int32_t first = y / q->batch_rows * q->batch_rows;
  const int32_t count = std::min(q->batch_rows, q->height - first);
  const auto map_rows = [q, first](int32_t, int64_t begin, int64_t end) {
    for (int64_t row = begin; row < end; ++row)
      MapRow(q, first + static_cast<int32_t>(row), q->mapped_rows + row * q->width);
  };
  RunInParts(count, kPixelsPerHelper / q->width + 1, map_rows);
  q->mapped_first = first;
  q->mapped_count = count;
}

int64_t Energy(const int32_t* v) {
  int64_t sum = 0;
  for (int32_t c = 0; c < 4; ++c)
    sum += static_cast<int64_t>(v[c]) * v[c];
  return sum;
}

bool ErrorTooLarge(const int32_t* error, const int32_t* step) {
  for (int32_t c = 0; c < 4; ++c) {
    if (std::abs(error[c]) > kErrorLimit) return true;
  }
  const int64_t energy = Energy(error);
  return energy > 2 * Energy(step) || energy >= kErrorEnergyLimit;
}

// Halving ends the loop: an error of all zeros passes every test.
void LimitError(int32_t* error, const int32_t* step) {
  while (ErrorTooLarge(error, step)) {
    for (int32_t c = 0; c < 4; ++c)
      error[c] /= 2;
  }
}

// Spreads a pixel's error over the next row: 3/16 to the pixel before x, 5/16 to x and 1/16
// to the one after.
void DiffuseError(const ColourQuantizer* q, int32_t x, const int32_t* error) {
  int32_t* next = q->outgoing_error + x * 4;
  for (int32_t c = 0; c < 4; ++c) {
    if (x > 0) next[c - 4] += 3 * error[c] / 16;
    if (x + 1 < q->width) next[c + 4] += error[c] / 16;
    next[c] += 5 * error[c] / 16;
  }
}

// The error of one pixel: what the chosen palette colour adds to it, colour channels
// weighted by the opacity of the more opaque of the two.
void PixelError(const uint8_t* entry, const uint8_t* pixel, int32_t* step) {
  const int32_t opacity = 255 - std::max(entry[3], pixel[3]);
  const int32_t weight = 255 - opacity * opacity / 255;
  for (int32_t c = 0; c < 3; ++c)
    step[c] = weight * (entry[c] - pixel[c]) / 255;
  step[3] = entry[3] - pixel[3];
}

}  // namespace

void MapUndithered(ColourQuantizer* q, int32_t y) {
  if (y < q->mapped_first || y >= q->mapped_first + q->mapped_count) MapBatch(q, y);
  const uint64_t offset = static_cast<uint64_t>(y - q->mapped_first) * q->width;
  std::memcpy(q->row_buffer, q->mapped_rows + offset, static_cast<size_t>(q->width));
}

void MapWithDithering(ColourQuantizer* q, int32_t y) {
  const uint8_t* row = PixelRow(q, y);
  const uint64_t values = static_cast<uint64_t>(q->width) * 4;
  std::fill(q->outgoing_error, q->outgoing_error + values, 0);
  int32_t error[4];
  std::memcpy(error, q->error_carry, sizeof(error));
  for (int32_t x = 0; x < q->width; ++x) {
    const int32_t* incoming = q->incoming_error + x * 4;
    uint8_t pixel[4];
    uint8_t target[4];
    for (int32_t c = 0; c < 4; ++c) {
      pixel[c] = ClampByte(row[x * 4 + c] - incoming[c]);
      target[c] = ClampByte(pixel[c] - error[c]);
    }
    const int32_t index = q->kernels->search(q->search_table, q->network, target);
    int32_t step[4];
    PixelError(q->palette[index], pixel, step);
    for (int32_t c = 0; c < 4; ++c)
      error[c] += step[c];
    LimitError(error, step);
    DiffuseError(q, x, error);
    q->row_buffer[x] = static_cast<uint8_t>(index);
  }
  for (int32_t c = 0; c < 4; ++c)
    q->error_carry[c] = 7 * error[c] / 16;
  std::swap(q->incoming_error, q->outgoing_error);
}

void PackRow(uint8_t* buffer, int32_t width, int32_t depth) {
  if (depth == 8) return;
  const int32_t per_byte = 8 / depth;
  const int32_t mask = (1 << depth) - 1;
  const int32_t bytes = (width + per_byte - 1) / per_byte;
  for (int32_t j = 0; j < bytes; ++j) {
    int32_t packed = 0;
    for (int32_t k = 0; k < per_byte; ++k)
      packed = (packed << depth) | (buffer[j * per_byte + k] & mask);
    buffer[j] = static_cast<uint8_t>(packed);
  }
}

}  // namespace quant
