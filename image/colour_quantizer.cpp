#include "image/colour_quantizer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "image/quantizer/exact_colours.h"
#include "image/quantizer/helper_threads.h"
#include "image/quantizer/kernels.h"
#include "image/quantizer/network.h"
#include "image/quantizer/refinement.h"
#include "image/quantizer/row_mapping.h"
#include "image/quantizer/search_table.h"
#include "runtime/memory.h"

namespace {

// Each further step of 262144 pixels halves how many of them learning looks at, up to 10.
constexpr uint64_t kPixelsPerSampleFactor = 262144;
constexpr int32_t kMaxSampleFactor = 10;
constexpr uint64_t kLearningRounds = 100;
// Steps of 4 times a prime that does not divide the length visit pixels all over the image
// before coming back; the last prime serves when the first three all divide it.
constexpr uint64_t kPrimes[] = {499, 491, 487};
constexpr uint64_t kLastPrime = 503;

constexpr int32_t kRowSlack = 8;
// Undithered rows are mapped about this many pixels at a time.
constexpr int64_t kBatchPixels = int64_t{1} << 20;

std::atomic<QuantSimd> quant_simd{quant::WidestQuantSimd()};

// --- Pixel preparation ---

bool ValidArguments(const void* pixels, int32_t width, int32_t height, int32_t source_depth,
                    int64_t pitch, int32_t output_depth) {
  if (pixels == nullptr || width < 1 || height < 1) return false;
  if (source_depth != 24 && source_depth != 32) return false;
  if (output_depth != 1 && output_depth != 2 && output_depth != 4 && output_depth != 8)
    return false;
  return pitch >= static_cast<int64_t>(width) * (source_depth / 8);
}

// Rows are copied one at a time at the source's pitch: a padded 32-bit source read as if it
// were packed would take padding for pixels and shear the image.
bool CopyPixels(ColourQuantizer* q, const uint8_t* source, int64_t pitch) {
  const uint64_t row_bytes = static_cast<uint64_t>(q->width) * 4;
  auto* copy = static_cast<uint8_t*>(AllocateBlockNoClear(row_bytes * q->height));
  if (copy == nullptr) return false;
  q->pixels = copy;
  q->owns_pixels = 1;
  const auto copy_rows = [q, source, pitch, copy, row_bytes](int32_t, int64_t first, int64_t end) {
    for (int64_t y = first; y < end; ++y) {
      const uint8_t* in = source + y * pitch;
      uint8_t* out = copy + y * row_bytes;
      if (q->source_depth == 32) {
        std::memcpy(out, in, row_bytes);
        continue;
      }
      for (int32_t x = 0; x < q->width; ++x, in += 3, out += 4) {
        std::memcpy(out, in, 3);
        out[3] = 255;
      }
    }
  };
  quant::RunInParts(q->height, quant::kPixelsPerHelper / q->width + 1, copy_rows);
  return true;
}

bool PreparePixels(ColourQuantizer* q, const void* pixels, int64_t pitch) {
  // Nothing writes to the pixels, so packed RGBA rows serve as they are.
  if (q->source_depth == 32 && pitch == static_cast<int64_t>(q->width) * 4) {
    q->pixels = static_cast<uint8_t*>(const_cast<void*>(pixels));
    return true;
  }
  return CopyPixels(q, static_cast<const uint8_t*>(pixels), pitch);
}

// --- Creation ---

// Two rows of errors for a learnt palette that is dithered; true when none are needed.
bool AllocateDithering(ColourQuantizer* q) {
  if ((q->options & QuantizeDither) == 0) return true;
  const uint64_t size = static_cast<uint64_t>(q->width) * 4 * sizeof(int32_t);
  q->incoming_error = static_cast<int32_t*>(AllocateBlock(size));
  q->outgoing_error = static_cast<int32_t*>(AllocateBlock(size));
  return q->incoming_error != nullptr && q->outgoing_error != nullptr;
}

bool Refines(const ColourQuantizer* q) {
  return q->network != nullptr && (q->options & QuantizeNoRefinement) == 0;
}

// Room for a batch of about kBatchPixels, whole rows, through which undithered rows are
// mapped; a refined palette's batch holds the whole image, which refining maps anyway.
bool AllocateBatch(ColourQuantizer* q) {
  const bool dithered = (q->options & QuantizeDither) != 0 && q->network != nullptr;
  if (dithered) return true;
  const int64_t rows = Refines(q) ? q->height : kBatchPixels / q->width;
  q->batch_rows = static_cast<int32_t>(std::clamp<int64_t>(rows, 1, q->height));
  q->mapped_rows =
      static_cast<uint8_t*>(AllocateBlockNoClear(static_cast<uint64_t>(q->batch_rows) * q->width));
  return q->mapped_rows != nullptr;
}

void SetBlackAndWhite(ColourQuantizer* q) {
  static constexpr uint8_t kWhite[4] = {255, 255, 255, 0};
  std::memset(q->palette[0], 0, 4);
  std::memcpy(q->palette[1], kWhite, 4);
}

// Learns the palette and readies the search; false when memory runs out.
bool LearnPalette(ColourQuantizer* q) {
  q->network = quant::CreateNetwork(q);
  q->search_table = static_cast<QuantSearchTable*>(AllocateBlock(sizeof(QuantSearchTable)));
  if (q->network == nullptr || q->search_table == nullptr) return false;
  const QuantLearningPlan plan = PlanQuantLearning(q->width, q->height);
  if (plan.samples > 0) quant::Learn(q->network, plan, *q->kernels);
  quant::BuildIndex(q->network);
  quant::ExportPalette(q);
  return quant::BuildSearchTable(q->search_table, q->network);
}

}  // namespace

QuantSimd LimitQuantSimd(QuantSimd widest) {
  const QuantSimd chosen = std::min(widest, quant::WidestQuantSimd());
  quant_simd.store(chosen, std::memory_order_relaxed);
  return chosen;
}

QuantLearningPlan PlanQuantLearning(int32_t width, int32_t height) {
  const uint64_t area = static_cast<uint64_t>(width) * height;
  const uint64_t length = area * 4;
  QuantLearningPlan plan{};
  plan.sample_factor = static_cast<int32_t>(std::min<uint64_t>(area / kPixelsPerSampleFactor,
                                                               kMaxSampleFactor - 1)) +
                       1;
  plan.alpha_decrease = 30 + (plan.sample_factor - 1) / 3;
  plan.step = 4 * kLastPrime;
  for (uint64_t prime : kPrimes) {
    if (length % prime == 0) continue;
    plan.step = 4 * prime;
    break;
  }
  const uint64_t bytes_per_sample = 4 * static_cast<uint64_t>(plan.sample_factor);
  if (bytes_per_sample > length) return plan;
  plan.samples = length / bytes_per_sample;
  plan.delta = std::max<uint64_t>(plan.samples / kLearningRounds, 1);
  return plan;
}

void BuildQuantGammaTable(double gamma, double table[256]) {
  for (int32_t i = 0; i < 256; ++i)
    table[i] = std::round(255.0 * std::pow(i / 255.0, 1.0 / gamma));
}

uint8_t QuantPaletteValue(double value, double gamma) {
  if (!(value > 0.0)) return 0;
  return static_cast<uint8_t>(std::min(std::floor(256.0 * std::pow(value / 255.0, gamma)), 255.0));
}

uint8_t QuantAlphaByte(double alpha) {
  if (!(alpha > 0.0)) return 0;
  return static_cast<uint8_t>(std::min(std::floor(256.0 * alpha / 255.0), 255.0));
}

ColourQuantizer* CreateQuantizer(const void* pixels, int32_t width, int32_t height,
                                 int32_t source_depth, int64_t pitch, int32_t output_depth,
                                 uint32_t options) {
  if (!ValidArguments(pixels, width, height, source_depth, pitch, output_depth)) return nullptr;
  auto* q = static_cast<ColourQuantizer*>(AllocateBlock(sizeof(ColourQuantizer)));
  if (q == nullptr) return nullptr;
  q->height = height;
  q->width = width;
  q->source_depth = source_depth;
  q->options = options;
  q->output_depth = output_depth;
  q->gamma = QuantGamma;
  q->kernels = quant::KernelsFor(quant_simd.load(std::memory_order_relaxed));
  q->row_buffer = static_cast<uint8_t*>(AllocateBlock(static_cast<uint64_t>(width) + kRowSlack));
  bool ready = q->row_buffer != nullptr && PreparePixels(q, pixels, pitch);
  if (ready && !quant::UseExactColours(q)) {
    if (output_depth == 1) {
      SetBlackAndWhite(q);
    } else {
      ready = LearnPalette(q) && AllocateDithering(q);
    }
  }
  ready = ready && AllocateBatch(q);
  if (!ready || (Refines(q) && !quant::RefinePalette(q))) {
    FreeQuantizer(q);
    return nullptr;
  }
  return q;
}

const uint8_t* QuantizedRow(ColourQuantizer* quantizer, int32_t y) {
  if (quantizer == nullptr || y < 0 || y >= quantizer->height) return nullptr;
  if (quantizer->mapped_rows != nullptr) {
    quant::MapUndithered(quantizer, y);
  } else {
    quant::MapWithDithering(quantizer, y);
  }
  quant::PackRow(quantizer->row_buffer, quantizer->width, quantizer->output_depth);
  return quantizer->row_buffer;
}

void FreeQuantizer(ColourQuantizer* quantizer) {
  if (quantizer == nullptr) return;
  if (quantizer->owns_pixels) FreeBlock(quantizer->pixels);
  FreeBlock(quantizer->network);
  if (quantizer->search_table != nullptr) FreeBlock(quantizer->search_table->pool);
  FreeBlock(quantizer->search_table);
  FreeBlock(quantizer->exact_colours);
  FreeBlock(quantizer->incoming_error);
  FreeBlock(quantizer->outgoing_error);
  FreeBlock(quantizer->mapped_rows);
  FreeBlock(quantizer->row_buffer);
  FreeBlock(quantizer);
}
