#include "image/colour_quantizer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

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

constexpr double kInitialAlpha = 1024.0;
constexpr double kRadiusBias = 262144.0;
constexpr double kRadiusDecrease = 30.0;
// A neuron's frequency decays by 1/1024 per sample and its bias grows by what it lost.
constexpr double kBeta = 1.0 / 1024.0;
constexpr double kBetaGamma = 1024.0;
constexpr double kFarAway = 1073741824.0;

constexpr int32_t kRowSlack = 8;
constexpr double kLuminanceThreshold = 160.0;
constexpr int32_t kErrorLimit = 10;
constexpr int64_t kErrorEnergyLimit = 201;

// A pixel as the network sees it: colours in gamma space, black when fully transparent, and
// the weight of colour against alpha differences, 1 - (1 - a/255)^2.
struct NetPixel {
  double alpha;
  double red;
  double green;
  double blue;
  double weight;
};

NetPixel ToNetPixel(const QuantNetwork* net, const uint8_t* rgba) {
  const double alpha = rgba[3];
  const double transparency = 1.0 - alpha / 255.0;
  NetPixel pixel{alpha, 0.0, 0.0, 0.0, 1.0 - transparency * transparency};
  if (rgba[3] == 0) return pixel;
  pixel.red = net->gamma_table[rgba[0]];
  pixel.green = net->gamma_table[rgba[1]];
  pixel.blue = net->gamma_table[rgba[2]];
  return pixel;
}

uint8_t ClampByte(int32_t value) {
  return static_cast<uint8_t>(std::clamp(value, 0, 255));
}

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
  for (int32_t y = 0; y < q->height; ++y) {
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

// --- Exact colours ---

// Twice the largest palette, so that probe runs stay short and an empty slot always remains.
constexpr int32_t kColourSlots = 512;

}  // namespace

struct QuantColourTable {
  uint32_t colours[kColourSlots];  // RGBA bytes as one value
  int16_t entries[kColourSlots];   // the colour's palette entry; -1 for an empty slot
};

namespace {

uint32_t PackColour(const uint8_t* rgba) {
  uint32_t colour = 0;
  std::memcpy(&colour, rgba, 4);
  return colour;
}

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

// When the colours fit the palette they become it unchanged: learning would only blur them.
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

// --- The network ---

QuantNetwork* CreateNetwork(const ColourQuantizer* q) {
  auto* net = static_cast<QuantNetwork*>(AllocateBlock(sizeof(QuantNetwork)));
  if (net == nullptr) return nullptr;
  net->pixels = q->pixels;
  net->length = static_cast<uint64_t>(q->width) * q->height * 4;
  net->netsize = 1 << q->output_depth;
  net->gamma = q->gamma;
  BuildQuantGammaTable(net->gamma, net->gamma_table);
  for (int32_t i = 0; i < net->netsize; ++i) {
    double* neuron = net->neurons[i];
    const double grey = net->gamma_table[(i * 256) / net->netsize];
    neuron[QuantBlue] = grey;
    neuron[QuantGreen] = grey;
    neuron[QuantRed] = grey;
    neuron[QuantAlpha] = i < 16 ? 16.0 * i : 255.0;
    net->frequency[i] = 1.0 / net->netsize;
  }
  return net;
}

void ComputeRadiusPowers(QuantNetwork* net, double alpha, int32_t rad) {
  const int32_t rad_squared = rad * rad;
  for (int32_t m = 0; m < rad; ++m) {
    const int32_t falloff = ((rad_squared - m * m) * 256) / rad_squared;
    net->radius_power[m] = std::floor(alpha * falloff);
  }
}

// Finds the neuron closest to the pixel and the one that wins once each neuron's bias is
// counted; the bias favours neurons that have rarely won, so that every neuron is used.
// Returns the biased winner.
int32_t Contest(QuantNetwork* net, const NetPixel& p) {
  double best = kFarAway;
  double best_biased = kFarAway;
  int32_t best_position = 0;
  int32_t best_biased_position = 0;
  for (int32_t i = 0; i < net->netsize; ++i) {
    const double* n = net->neurons[i];
    double dist =
        p.weight * std::fabs(n[QuantBlue] - p.blue) + p.weight * std::fabs(n[QuantRed] - p.red);
    if (dist < best || dist < best_biased + net->bias[i]) {
      dist += p.weight * std::fabs(n[QuantGreen] - p.green) + std::fabs(n[QuantAlpha] - p.alpha);
      if (dist < best) {
        best = dist;
        best_position = i;
      }
      const double biased = dist - net->bias[i];
      if (biased < best_biased) {
        best_biased = biased;
        best_biased_position = i;
      }
    }
    const double decay = net->frequency[i] * kBeta;
    net->frequency[i] -= decay;
    net->bias[i] += decay * kBetaGamma;
  }
  net->frequency[best_position] += kBeta;
  net->bias[best_position] -= 1.0;
  return best_biased_position;
}

void MoveNeuron(double* neuron, double factor, const NetPixel& p) {
  neuron[QuantAlpha] -= factor * (neuron[QuantAlpha] - p.alpha);
  neuron[QuantBlue] -= factor * (neuron[QuantBlue] - p.blue);
  neuron[QuantGreen] -= factor * (neuron[QuantGreen] - p.green);
  neuron[QuantRed] -= factor * (neuron[QuantRed] - p.red);
}

void MoveNeighbours(QuantNetwork* net, int32_t j, int32_t rad, const NetPixel& p) {
  for (int32_t m = 1; m < rad && (j + m < net->netsize || j - m >= 0); ++m) {
    const double factor = net->radius_power[m] / kRadiusBias;
    if (j + m < net->netsize) MoveNeuron(net->neurons[j + m], factor, p);
    if (j - m >= 0) MoveNeuron(net->neurons[j - m], factor, p);
  }
}

void Learn(QuantNetwork* net, const QuantLearningPlan& plan) {
  double alpha = kInitialAlpha;
  double radius = QuantInitialRadius;
  int32_t rad = QuantInitialRadius;
  ComputeRadiusPowers(net, alpha, rad);
  uint64_t position = 0;
  for (uint64_t i = 1; i <= plan.samples; ++i) {
    const NetPixel p = ToNetPixel(net, net->pixels + position);
    const int32_t winner = Contest(net, p);
    MoveNeuron(net->neurons[winner], alpha / kInitialAlpha, p);
    if (rad > 0) MoveNeighbours(net, winner, rad, p);
    // The step can exceed a small image, so wrapping once by the length would not do.
    position = (position + plan.step) % net->length;
    if (i % plan.delta != 0) continue;
    alpha -= alpha / plan.alpha_decrease;
    radius -= radius / kRadiusDecrease;
    rad = static_cast<int32_t>(radius);
    if (rad < 2) rad = 0;
    ComputeRadiusPowers(net, alpha, rad);
  }
}

// --- Index and palette ---

void SortByGreen(QuantNetwork* net) {
  for (int32_t i = 0; i < net->netsize; ++i) {
    int32_t smallest = i;
    for (int32_t j = i + 1; j < net->netsize; ++j) {
      if (net->colour_map[j][1] < net->colour_map[smallest][1]) smallest = j;
    }
    if (smallest == i) continue;
    std::swap(net->colour_map[i], net->colour_map[smallest]);
    std::swap(net->neurons[i], net->neurons[smallest]);
  }
}

// Each green value points at the middle of the run of neurons with that green, or at the
// neuron where the next green begins, so that the search starts near its answer.
void BuildGreenIndex(QuantNetwork* net) {
  const int32_t last = net->netsize - 1;
  int32_t previous = 0;
  int32_t start = 0;
  for (int32_t i = 0; i < net->netsize; ++i) {
    const int32_t green = net->colour_map[i][1];
    if (green == previous) continue;
    net->green_index[previous] = (start + i) / 2;
    for (int32_t g = previous + 1; g < green; ++g)
      net->green_index[g] = i;
    previous = green;
    start = i;
  }
  net->green_index[previous] = (start + last) / 2;
  for (int32_t g = previous + 1; g < 256; ++g)
    net->green_index[g] = last;
}

void BuildIndex(QuantNetwork* net) {
  for (int32_t i = 0; i < net->netsize; ++i) {
    const double* n = net->neurons[i];
    uint8_t* bytes = net->colour_map[i];
    bytes[0] = static_cast<uint8_t>(net->gamma_table[QuantPaletteValue(n[QuantRed], net->gamma)]);
    bytes[1] = static_cast<uint8_t>(net->gamma_table[QuantPaletteValue(n[QuantGreen], net->gamma)]);
    bytes[2] = static_cast<uint8_t>(net->gamma_table[QuantPaletteValue(n[QuantBlue], net->gamma)]);
    bytes[3] = QuantAlphaByte(n[QuantAlpha]);
  }
  SortByGreen(net);
  BuildGreenIndex(net);
}

void ExportPalette(ColourQuantizer* q) {
  const QuantNetwork* net = q->network;
  for (int32_t i = 0; i < net->netsize; ++i) {
    const double* n = net->neurons[i];
    uint8_t* entry = q->palette[i];
    entry[0] = QuantPaletteValue(n[QuantRed], net->gamma);
    entry[1] = QuantPaletteValue(n[QuantGreen], net->gamma);
    entry[2] = QuantPaletteValue(n[QuantBlue], net->gamma);
    entry[3] = QuantAlphaByte(n[QuantAlpha]);
  }
}

// --- Search ---

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

int32_t Search(const QuantNetwork* net, const uint8_t* rgba) {
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

// --- Rows ---

uint8_t* PixelRow(const ColourQuantizer* q, int32_t y) {
  return q->pixels + static_cast<uint64_t>(y) * q->width * 4;
}

void MapByLuminance(const ColourQuantizer* q, const uint8_t* row) {
  for (int32_t x = 0; x < q->width; ++x, row += 4) {
    const double luminance = 0.2126 * row[0] + 0.7152 * row[1] + 0.0722 * row[2];
    q->row_buffer[x] = luminance > kLuminanceThreshold ? 1 : 0;
  }
}

void MapExactly(const ColourQuantizer* q, const uint8_t* row) {
  const QuantColourTable* table = q->exact_colours;
  for (int32_t x = 0; x < q->width; ++x, row += 4)
    q->row_buffer[x] = static_cast<uint8_t>(table->entries[FindSlot(table, PackColour(row))]);
}

void MapBySearch(const ColourQuantizer* q, const uint8_t* row) {
  for (int32_t x = 0; x < q->width; ++x, row += 4)
    q->row_buffer[x] = static_cast<uint8_t>(Search(q->network, row));
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

// The error goes to whichever row is asked for next: the encoder asks for the bottom row
// first when the source runs top-down, and a row already written can take no more error.
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
    const int32_t index = Search(q->network, target);
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

// Packs in place: byte j is made from indices j * per_byte onwards, which lie at or after j,
// so no index is overwritten before it is read. The slack after the width stays 0.
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

// Two rows of errors for a learnt palette that is dithered; true when none are needed.
bool AllocateDithering(ColourQuantizer* q) {
  if ((q->options & QuantizeDither) == 0) return true;
  const uint64_t size = static_cast<uint64_t>(q->width) * 4 * sizeof(int32_t);
  q->incoming_error = static_cast<int32_t*>(AllocateBlock(size));
  q->outgoing_error = static_cast<int32_t*>(AllocateBlock(size));
  return q->incoming_error != nullptr && q->outgoing_error != nullptr;
}

void SetBlackAndWhite(ColourQuantizer* q) {
  static constexpr uint8_t kWhite[4] = {255, 255, 255, 0};
  std::memset(q->palette[0], 0, 4);
  std::memcpy(q->palette[1], kWhite, 4);
}

}  // namespace

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
  q->row_buffer = static_cast<uint8_t*>(AllocateBlock(static_cast<uint64_t>(width) + kRowSlack));
  if (q->row_buffer == nullptr || !PreparePixels(q, pixels, pitch)) {
    FreeQuantizer(q);
    return nullptr;
  }
  if (UseExactColours(q)) return q;
  if (output_depth == 1) {
    SetBlackAndWhite(q);
    return q;
  }
  q->network = CreateNetwork(q);
  if (q->network == nullptr || !AllocateDithering(q)) {
    FreeQuantizer(q);
    return nullptr;
  }
  const QuantLearningPlan plan = PlanQuantLearning(width, height);
  if (plan.samples > 0) Learn(q->network, plan);
  BuildIndex(q->network);
  ExportPalette(q);
  return q;
}

const uint8_t* QuantizedRow(ColourQuantizer* quantizer, int32_t y) {
  if (quantizer == nullptr || y < 0 || y >= quantizer->height) return nullptr;
  if (quantizer->exact_colours != nullptr) {
    MapExactly(quantizer, PixelRow(quantizer, y));
  } else if (quantizer->output_depth == 1) {
    MapByLuminance(quantizer, PixelRow(quantizer, y));
  } else if ((quantizer->options & QuantizeDither) != 0) {
    MapWithDithering(quantizer, y);
  } else {
    MapBySearch(quantizer, PixelRow(quantizer, y));
  }
  PackRow(quantizer->row_buffer, quantizer->width, quantizer->output_depth);
  return quantizer->row_buffer;
}

void FreeQuantizer(ColourQuantizer* quantizer) {
  if (quantizer == nullptr) return;
  if (quantizer->owns_pixels) FreeBlock(quantizer->pixels);
  FreeBlock(quantizer->network);
  FreeBlock(quantizer->exact_colours);
  FreeBlock(quantizer->incoming_error);
  FreeBlock(quantizer->outgoing_error);
  FreeBlock(quantizer->row_buffer);
  FreeBlock(quantizer);
}
