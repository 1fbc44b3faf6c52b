#include "image/colour_quantizer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <system_error>
#include <thread>

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

// Undithered rows are mapped about this many pixels at a time, and a helper thread is started
// only for a share of at least kPixelsPerHelper.
constexpr int64_t kBatchPixels = int64_t{1} << 20;
constexpr int64_t kPixelsPerHelper = int64_t{1} << 14;
constexpr int32_t kMaxParts = 8;

// Refinement moves the palette this many times, the later moves judged from every
// kRefinementRowStep-th row.
constexpr int32_t kRefinementMoves = 3;
constexpr int32_t kRefinementRowStep = 8;

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

// --- Helper threads ---

int32_t Cores() {
  static const int32_t cores =
      std::clamp(static_cast<int32_t>(std::thread::hardware_concurrency()), 1, kMaxParts);
  return cores;
}

// Splits [0, count) into contiguous parts of at least min_part, one per core, and runs
// work(part, first, end) for each: the calling thread takes part 0 and helper threads the
// others. Returns the number of parts, after all of them have run. A helper that cannot be
// started leaves its part to the calling thread.
template <typename Work>
int32_t RunInParts(int64_t count, int64_t min_part, const Work& work) {
  const int64_t by_size = count / std::max<int64_t>(min_part, 1);
  const auto parts = static_cast<int32_t>(std::clamp<int64_t>(by_size, 1, Cores()));
  const auto bound = [count, parts](int32_t part) { return count * part / parts; };
  std::array<std::thread, kMaxParts> helpers;
  for (int32_t part = 1; part < parts; ++part) {
    try {
      helpers[part] = std::thread(work, part, bound(part), bound(part + 1));
    } catch (const std::system_error&) {
      work(part, bound(part), bound(part + 1));
    }
  }
  work(0, bound(0), bound(1));
  for (std::thread& helper : helpers) {
    if (helper.joinable()) helper.join();
  }
  return parts;
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
  RunInParts(q->height, kPixelsPerHelper / q->width + 1, copy_rows);
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

// --- Vectors ---

// The helpers and kernels below take and return vectors by value. They are always inlined,
// so the compilers' note that 32-byte vectors pass differently with and without AVX concerns
// no call that is made.
#pragma GCC diagnostic ignored "-Wpsabi"

// GCC and Clang vector types of one width. Kernels are written once over these and compiled
// for each width: 16 bytes for the base instruction set, 32 inside functions that target
// AVX2 and 64 inside functions that target AVX-512. Vectors never cross a function boundary
// that is not inlined, where the widths would need different calling conventions.
template <int32_t kBytes>
struct Simd;

template <>
struct Simd<16> {
  typedef double F64 __attribute__((vector_size(16)));
  typedef int64_t I64 __attribute__((vector_size(16)));
  typedef float F32 __attribute__((vector_size(16)));
  typedef int32_t I32 __attribute__((vector_size(16)));
};

template <>
struct Simd<32> {
  typedef double F64 __attribute__((vector_size(32)));
  typedef int64_t I64 __attribute__((vector_size(32)));
  typedef float F32 __attribute__((vector_size(32)));
  typedef int32_t I32 __attribute__((vector_size(32)));
};

template <>
struct Simd<64> {
  typedef double F64 __attribute__((vector_size(64)));
  typedef int64_t I64 __attribute__((vector_size(64)));
};

template <typename V>
[[gnu::always_inline]] inline V Load(const void* from) {
  V v;
  std::memcpy(&v, from, sizeof(v));
  return v;
}

template <typename V>
[[gnu::always_inline]] inline void Store(void* to, const V& v) {
  std::memcpy(to, &v, sizeof(v));
}

template <typename V>
[[gnu::always_inline]] inline constexpr int32_t Lanes() {
  return static_cast<int32_t>(sizeof(V) / sizeof(V{}[0]));
}

// Every lane set to value, written as GCC makes a broadcast of it.
template <typename V, typename T>
[[gnu::always_inline]] inline V Splat(T value) {
  V v{};
  v[0] = value;
  if constexpr (Lanes<V>() == 8) {
    return __builtin_shufflevector(v, v, 0, 0, 0, 0, 0, 0, 0, 0);
  } else if constexpr (Lanes<V>() == 4) {
    return __builtin_shufflevector(v, v, 0, 0, 0, 0);
  } else {
    return __builtin_shufflevector(v, v, 0, 0);
  }
}

// 0, 1, 2, ... in the lanes.
template <typename V>
[[gnu::always_inline]] inline V LaneNumbers() {
  V v{};
  for (int32_t k = 0; k < Lanes<V>(); ++k)
    v[k] = k;
  return v;
}

// As std::fabs, by clearing the sign bits.
template <typename F, typename M>
[[gnu::always_inline]] inline F Abs(const F& v) {
  return reinterpret_cast<F>(reinterpret_cast<M>(v) &
                             Splat<M>(std::numeric_limits<int64_t>::max()));
}

// Lanes of a comparison are all ones or all zeros.
template <typename V, typename M>
[[gnu::always_inline]] inline V Select(const M& mask, const V& yes, const V& no) {
  return mask ? yes : no;
}

// Written as the compilers recognise a minimum instruction.
template <typename V>
[[gnu::always_inline]] inline V Least(const V& a, const V& b) {
  return a < b ? a : b;
}

// The smallest lane, halving the vector until one lane is left.
template <typename M>
[[gnu::always_inline]] inline int32_t SmallestLane(const M& v) {
  if constexpr (Lanes<M>() == 8) {
    const M halves = Least(v, __builtin_shufflevector(v, v, 4, 5, 6, 7, 0, 1, 2, 3));
    const M quarters =
        Least(halves, __builtin_shufflevector(halves, halves, 2, 3, 0, 1, 6, 7, 4, 5));
    return std::min(quarters[0], quarters[1]);
  } else {
    const M halves = Least(v, __builtin_shufflevector(v, v, 2, 3, 0, 1));
    return std::min(halves[0], halves[1]);
  }
}

// The smallest value seen in each lane and the position where it was first seen.
template <typename F, typename M>
struct FirstSmallest {
  F value = Splat<F>(std::numeric_limits<double>::infinity());
  M at = Splat<M>(0);

  [[gnu::always_inline]] void Offer(const F& values, const M& positions) {
    at = Select(values < value, positions, at);
    value = Least(values, value);
  }
};

// The position of the smallest value of two trackers over distinct positions, the lowest
// position among equal values.
template <typename F, typename M>
[[gnu::always_inline]] inline int32_t Settle(const FirstSmallest<F, M>& a,
                                             const FirstSmallest<F, M>& b) {
  double value = std::numeric_limits<double>::infinity();
  int64_t at = 0;
  for (const FirstSmallest<F, M>* tracker : {&a, &b}) {
    for (int32_t k = 0; k < Lanes<F>(); ++k) {
      if (tracker->value[k] < value || (tracker->value[k] == value && tracker->at[k] < at)) {
        value = tracker->value[k];
        at = tracker->at[k];
      }
    }
  }
  return static_cast<int32_t>(at);
}

// --- Learning ---

// Vector loops may run past the last neuron into this room. Contests need at least a vector
// of neurons.
constexpr int32_t kNeuronRoom = QuantMaxNeurons + 8;
// A sample moves the neurons within the radius of the winner, each by the factor for its
// distance, which lies at kFactorCentre + distance; factors beyond the radius are 0.
constexpr int32_t kFactorCentre = QuantInitialRadius;
constexpr int32_t kFactorRoom = 2 * QuantInitialRadius + 8;

// The network while it learns, one array per component so that a vector holds one component
// of consecutive neurons.
struct alignas(32) LearningNetwork {
  double alpha[kNeuronRoom];
  double blue[kNeuronRoom];
  double green[kNeuronRoom];
  double red[kNeuronRoom];
  double bias[kNeuronRoom];
  double frequency[kNeuronRoom];
  double factors[kFactorRoom];
  // Of the current contest: each neuron's distance less its bias, and its bias before the
  // contest decayed it.
  double biased[kNeuronRoom];
  double contest_bias[kNeuronRoom];
};

// The distance of one neuron from the sample as the contest measures it: blue and red first,
// then green and alpha added. A weight of exactly 1 (an opaque sample) multiplies nothing.
template <bool kOpaque, typename F>
[[gnu::always_inline]] inline F BlueAndRed(const F& blue, const F& red, const F& weight) {
  if constexpr (kOpaque) return blue + red;
  return weight * blue + weight * red;
}

template <bool kOpaque, typename F>
[[gnu::always_inline]] inline F GreenAndAlpha(const F& green, const F& alpha, const F& weight) {
  if constexpr (kOpaque) return green + alpha;
  return weight * green + alpha;
}

// The biased winner one neuron at a time, as the neuron-by-neuron contest decides it: a
// neuron's green and alpha only count when its blue and red leave it in the running.
template <bool kOpaque>
int32_t SettleOneByOne(const LearningNetwork* net, int32_t netsize, const NetPixel& p) {
  double best = kFarAway;
  double best_biased = kFarAway;
  int32_t best_biased_position = 0;
  for (int32_t i = 0; i < netsize; ++i) {
    const double partial = BlueAndRed<kOpaque>(std::fabs(net->blue[i] - p.blue),
                                               std::fabs(net->red[i] - p.red), p.weight);
    if (!(partial < best || partial < best_biased + net->contest_bias[i])) continue;
    const double full =
        partial + GreenAndAlpha<kOpaque>(std::fabs(net->green[i] - p.green),
                                         std::fabs(net->alpha[i] - p.alpha), p.weight);
    best = std::min(best, full);
    if (net->biased[i] < best_biased) {
      best_biased = net->biased[i];
      best_biased_position = i;
    }
  }
  return best_biased_position;
}

// A sample as vectors of its components.
template <typename F>
struct ContestSample {
  F weight;
  F alpha;
  F blue;
  F green;
  F red;
};

// One block of neurons: their distances, what the contest needs of them afterwards, and the
// decay of their frequency and bias.
template <bool kOpaque, typename F, typename M>
[[gnu::always_inline]] inline void ContestBlock(LearningNetwork* net, int32_t i,
                                                const ContestSample<F>& s,
                                                FirstSmallest<F, M>* nearest,
                                                FirstSmallest<F, M>* nearest_biased) {
  const F bias = Load<F>(net->bias + i);
  const F partial = BlueAndRed<kOpaque>(Abs<F, M>(Load<F>(net->blue + i) - s.blue),
                                        Abs<F, M>(Load<F>(net->red + i) - s.red), s.weight);
  const F full =
      partial + GreenAndAlpha<kOpaque>(Abs<F, M>(Load<F>(net->green + i) - s.green),
                                       Abs<F, M>(Load<F>(net->alpha + i) - s.alpha), s.weight);
  const F biased = full - bias;
  Store(net->biased + i, biased);
  Store(net->contest_bias + i, bias);
  const M positions = Splat<M>(int64_t{i}) + LaneNumbers<M>();
  nearest->Offer(full, positions);
  nearest_biased->Offer(biased, positions);
  const F frequency = Load<F>(net->frequency + i);
  const F decay = frequency * kBeta;
  Store(net->frequency + i, frequency - decay);
  Store(net->bias + i, bias + decay * kBetaGamma);
}

// Whether the biased winner of the whole network, ignoring that a neuron's green and alpha
// only count when its blue and red leave it in the running, is the winner the neuron-by-
// neuron contest picks. That contest takes it as soon as it looks at its green and alpha:
// no neuron after it comes closer, and none before it came as close. It does look unless
// the blue and red distance alone reaches the best biased distance before it plus its bias,
// which rounding can only bring about when the two are within a few units in the last place.
template <bool kOpaque, typename F, typename M>
[[gnu::always_inline]] inline bool BiasedWinnerStands(const LearningNetwork* net, int32_t winner,
                                                      const NetPixel& p) {
  constexpr int32_t kLanes = Lanes<F>();
  // Two running minimums, so that each waits on half as many before it.
  F before_even = Splat<F>(kFarAway);
  F before_odd = before_even;
  int32_t i = 0;
  for (; i + 2 * kLanes <= winner; i += 2 * kLanes) {
    const F even = Load<F>(net->biased + i);
    const F odd = Load<F>(net->biased + i + kLanes);
    before_even = Least(even, before_even);
    before_odd = Least(odd, before_odd);
  }
  double best_before = kFarAway;
  for (int32_t k = 0; k < kLanes; ++k)
    best_before = std::min({best_before, before_even[k], before_odd[k]});
  for (; i < winner; ++i)
    best_before = std::min(best_before, net->biased[i]);
  const double partial = BlueAndRed<kOpaque>(std::fabs(net->blue[winner] - p.blue),
                                             std::fabs(net->red[winner] - p.red), p.weight);
  return partial < best_before + net->contest_bias[winner];
}

// Finds the neuron closest to the pixel and the one that wins once each neuron's bias is
// counted; the bias favours neurons that have rarely won, so that every neuron is used.
// Returns the biased winner.
//
// The closest neuron is the first of the smallest distances whatever the order of the
// comparisons, and so is the biased winner but for the rare case BiasedWinnerStands rules
// out, which is settled one neuron at a time. Blocks alternate between two sets of trackers
// so that each waits on half as many comparisons before it.
template <int32_t kBytes, bool kOpaque>
[[gnu::always_inline]] inline int32_t ContestKernel(LearningNetwork* net, int32_t netsize,
                                                    const NetPixel& p) {
  using F = typename Simd<kBytes>::F64;
  using M = typename Simd<kBytes>::I64;
  constexpr int32_t kLanes = Lanes<F>();
  const ContestSample<F> sample{Splat<F>(p.weight), Splat<F>(p.alpha), Splat<F>(p.blue),
                                Splat<F>(p.green), Splat<F>(p.red)};
  FirstSmallest<F, M> nearest[2];
  FirstSmallest<F, M> nearest_biased[2];
  int32_t i = 0;
  for (; i + 2 * kLanes <= netsize; i += 2 * kLanes) {
    ContestBlock<kOpaque>(net, i, sample, &nearest[0], &nearest_biased[0]);
    ContestBlock<kOpaque>(net, i + kLanes, sample, &nearest[1], &nearest_biased[1]);
  }
  if (i < netsize) ContestBlock<kOpaque>(net, i, sample, &nearest[0], &nearest_biased[0]);
  const int32_t closest = Settle(nearest[0], nearest[1]);
  int32_t winner = Settle(nearest_biased[0], nearest_biased[1]);
  if (!BiasedWinnerStands<kOpaque, F, M>(net, winner, p))
    winner = SettleOneByOne<kOpaque>(net, netsize, p);
  net->frequency[closest] += kBeta;
  net->bias[closest] -= 1.0;
  return winner;
}

// Moves the winner and its neighbours within the radius towards the sample. Lanes that run
// past the neighbourhood meet factor 0, which leaves a component as it is.
template <int32_t kBytes>
[[gnu::always_inline]] inline void MoveKernel(LearningNetwork* net, int32_t netsize, int32_t winner,
                                              int32_t rad, const NetPixel& p) {
  using F = typename Simd<kBytes>::F64;
  constexpr int32_t kLanes = Lanes<F>();
  const int32_t reach = rad > 0 ? rad - 1 : 0;
  const int32_t last = std::min(netsize - 1, winner + reach);
  const F alpha = Splat<F>(p.alpha);
  const F blue = Splat<F>(p.blue);
  const F green = Splat<F>(p.green);
  const F red = Splat<F>(p.red);
  for (int32_t i = std::max(0, winner - reach); i <= last; i += kLanes) {
    const F factor = Load<F>(net->factors + kFactorCentre + (i - winner));
    const F a = Load<F>(net->alpha + i);
    const F b = Load<F>(net->blue + i);
    const F g = Load<F>(net->green + i);
    const F r = Load<F>(net->red + i);
    Store(net->alpha + i, a - factor * (a - alpha));
    Store(net->blue + i, b - factor * (b - blue));
    Store(net->green + i, g - factor * (g - green));
    Store(net->red + i, r - factor * (r - red));
  }
}

// --- Searching ---

// Opaque pixels are searched through a grid over gamma space: each cell lists every neuron
// that can be the closest to some colour within it, nearest to the cell first, in blocks of
// kBlockLanes padded with far-away entries. Cells are 16 values a side for large images and
// larger for small ones, whose few pixels would not repay the building of many cells.
constexpr int32_t kFinestCellShift = 4;
constexpr int32_t kMostCells = 1 << 3 * (8 - kFinestCellShift);
constexpr uint64_t kPixelsPerCell = 64;
constexpr int32_t kBlockLanes = 8;
constexpr float kFarAwayChannel = 1.0e6f;
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

}  // namespace

struct QuantSearchTable {
  uint8_t gamma[256];         // the gamma table as bytes
  uint8_t transparent_index;  // every fully transparent pixel's answer
  int32_t cell_shift;         // log2 of a cell's side
  uint32_t first_block[kMostCells];
  uint32_t blocks[kMostCells];
  CandidateBlock* pool;
  uint64_t pool_capacity;  // blocks
};

namespace {

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

// Walks up and down from where the pixel's green starts in the index, the upward candidate
// first at each step; among equally close neurons the first visited wins.
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

int32_t CellOf(int32_t shift, int32_t red, int32_t green, int32_t blue) {
  const int32_t side_bits = 8 - shift;
  return (((red >> shift) << side_bits | green >> shift) << side_bits) | blue >> shift;
}

// The answer of SearchOneByOne for an opaque pixel. That search's distances are sums of
// squares of whole numbers, exact in floats, and it picks the closest neuron, the first
// visited among equals: the smallest key among the cell's candidates. The candidates are
// looked at until a block's floor exceeds the best distance found.
template <int32_t kBytes>
[[gnu::always_inline]] inline int32_t SearchOpaque(const QuantSearchTable* table,
                                                   const QuantNetwork* net, const uint8_t* rgba) {
  using F = typename Simd<kBytes>::F32;
  using M = typename Simd<kBytes>::I32;
  constexpr int32_t kLanes = Lanes<F>();
  const int32_t r = table->gamma[rgba[0]];
  const int32_t g = table->gamma[rgba[1]];
  const int32_t b = table->gamma[rgba[2]];
  const int32_t cell = CellOf(table->cell_shift, r, g, b);
  const int32_t start = net->green_index[g];
  const F red = Splat<F>(static_cast<float>(r));
  const F green = Splat<F>(static_cast<float>(g));
  const F blue = Splat<F>(static_cast<float>(b));
  const F cap = Splat<F>(kDistanceCap);
  const M doubled_start = Splat<M>(2 * start);
  M best = Splat<M>(std::numeric_limits<int32_t>::max());
  int32_t smallest = std::numeric_limits<int32_t>::max();
  const CandidateBlock* block = table->pool + table->first_block[cell];
  const CandidateBlock* end = block + table->blocks[cell];
  for (; block < end && block->floor <= smallest >> kTurnBits; ++block) {
    for (int32_t lane = 0; lane < kBlockLanes; lane += kLanes) {
      const F dr = Load<F>(block->red + lane) - red;
      const F dg = Load<F>(block->green + lane) - green;
      const F db = Load<F>(block->blue + lane) - blue;
      const F distance = dr * dr + dg * dg + db * db + Load<F>(block->alpha_term + lane);
      const F capped = Least(distance, cap);
      // Upward neuron i is visited at turn 2 (i - start), downward neuron i at
      // 2 (start - 1 - i) + 1, which is the one's complement of 2 (i - start).
      const M offset = 2 * Load<M>(block->neuron + lane) - doubled_start;
      const M turn = offset ^ (offset >> 31);
      const M key = (__builtin_convertvector(capped, M) << kTurnBits) | turn;
      best = Least(key, best);
    }
    smallest = SmallestLane(best);
  }
  const int32_t turn = smallest & ((1 << kTurnBits) - 1);
  return (turn & 1) == 0 ? start + turn / 2 : start - (turn + 1) / 2;
}

// Translucent pixels, whose weighted distances round, are searched one neuron at a time.
template <int32_t kBytes>
[[gnu::always_inline]] inline int32_t SearchKernel(const QuantSearchTable* table,
                                                   const QuantNetwork* net, const uint8_t* rgba) {
  if (rgba[3] == 255) return SearchOpaque<kBytes>(table, net, rgba);
  if (rgba[3] == 0) return table->transparent_index;
  return SearchOneByOne(net, rgba);
}

// Consecutive pixels of one colour, as in flat areas, are searched once.
template <int32_t kBytes>
[[gnu::always_inline]] inline void MapRowKernel(const QuantSearchTable* table,
                                                const QuantNetwork* net, const uint8_t* rgba,
                                                int32_t width, uint8_t* out) {
  uint32_t previous = 0;
  uint8_t previous_index = 0;
  for (int32_t x = 0; x < width; ++x, rgba += 4) {
    const uint32_t colour = PackColour(rgba);
    if (x == 0 || colour != previous) {
      previous = colour;
      previous_index = static_cast<uint8_t>(SearchKernel<kBytes>(table, net, rgba));
    }
    out[x] = previous_index;
  }
}

// --- Dispatch ---

}  // namespace

struct QuantKernels {
  int32_t (*contest)(LearningNetwork* net, int32_t netsize, const NetPixel& p);
  void (*move)(LearningNetwork* net, int32_t netsize, int32_t winner, int32_t rad,
               const NetPixel& p);
  int32_t (*search)(const QuantSearchTable* table, const QuantNetwork* net, const uint8_t* rgba);
  void (*map_row)(const QuantSearchTable* table, const QuantNetwork* net, const uint8_t* rgba,
                  int32_t width, uint8_t* out);
};

namespace {

// Expands to the entry points of one instruction set, with the given function attributes:
// learning at learn_bytes, narrowed for networks smaller than a vector, and searching at
// search_bytes, whose blocks of candidates take at most 32.
#define BREVIK_QUANT_KERNELS(learn_bytes, search_bytes, Suffix, ...)                              \
  __VA_ARGS__ int32_t Contest##Suffix(LearningNetwork* net, int32_t netsize, const NetPixel& p) { \
    constexpr int32_t kNarrow = learn_bytes > 32 ? 32 : learn_bytes;                              \
    const bool opaque = p.weight == 1.0;                                                          \
    if (netsize * 8 < learn_bytes) {                                                              \
      return opaque ? ContestKernel<kNarrow, true>(net, netsize, p)                               \
                    : ContestKernel<kNarrow, false>(net, netsize, p);                             \
    }                                                                                             \
    return opaque ? ContestKernel<learn_bytes, true>(net, netsize, p)                             \
                  : ContestKernel<learn_bytes, false>(net, netsize, p);                           \
  }                                                                                               \
  __VA_ARGS__ void Move##Suffix(LearningNetwork* net, int32_t netsize, int32_t winner,            \
                                int32_t rad, const NetPixel& p) {                                 \
    MoveKernel<learn_bytes>(net, netsize, winner, rad, p);                                        \
  }                                                                                               \
  __VA_ARGS__ int32_t Search##Suffix(const QuantSearchTable* table, const QuantNetwork* net,      \
                                     const uint8_t* rgba) {                                       \
    return SearchKernel<search_bytes>(table, net, rgba);                                          \
  }                                                                                               \
  __VA_ARGS__ void MapRow##Suffix(const QuantSearchTable* table, const QuantNetwork* net,         \
                                  const uint8_t* rgba, int32_t width, uint8_t* out) {             \
    MapRowKernel<search_bytes>(table, net, rgba, width, out);                                     \
  }                                                                                               \
  constexpr QuantKernels k##Suffix##Kernels{Contest##Suffix, Move##Suffix, Search##Suffix,        \
                                            MapRow##Suffix};

BREVIK_QUANT_KERNELS(16, 16, Base)
#if defined(__x86_64__)
BREVIK_QUANT_KERNELS(32, 32, Avx2, [[gnu::target("avx2")]])
BREVIK_QUANT_KERNELS(64, 32, Avx512, [[gnu::target("avx512f")]])
#endif
#undef BREVIK_QUANT_KERNELS

QuantSimd WidestQuantSimd() {
#if defined(__x86_64__)
  // Static initialisation may come before the compiler's own reading of the processor.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return QuantSimd::Avx512;
  if (__builtin_cpu_supports("avx2")) return QuantSimd::Avx2;
#endif
  return QuantSimd::Base;
}

std::atomic<QuantSimd> quant_simd{WidestQuantSimd()};

const QuantKernels* ChosenKernels() {
#if defined(__x86_64__)
  switch (quant_simd.load(std::memory_order_relaxed)) {
    case QuantSimd::Avx512:
      return &kAvx512Kernels;
    case QuantSimd::Avx2:
      return &kAvx2Kernels;
    case QuantSimd::Base:
      break;
  }
#endif
  return &kBaseKernels;
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

// The winner moves by alpha / 1024, its neighbours at distance m by radius_power[m] / 2^18.
void ComputeFactors(LearningNetwork* learning, const QuantNetwork* net, double alpha, int32_t rad) {
  std::fill(std::begin(learning->factors), std::end(learning->factors), 0.0);
  learning->factors[kFactorCentre] = alpha / kInitialAlpha;
  for (int32_t m = 1; m < rad; ++m) {
    const double factor = net->radius_power[m] / kRadiusBias;
    learning->factors[kFactorCentre + m] = factor;
    learning->factors[kFactorCentre - m] = factor;
  }
}

void StartLearning(LearningNetwork* learning, const QuantNetwork* net) {
  std::memset(learning, 0, sizeof(*learning));
  for (int32_t i = 0; i < net->netsize; ++i) {
    learning->alpha[i] = net->neurons[i][QuantAlpha];
    learning->blue[i] = net->neurons[i][QuantBlue];
    learning->green[i] = net->neurons[i][QuantGreen];
    learning->red[i] = net->neurons[i][QuantRed];
    learning->bias[i] = net->bias[i];
    learning->frequency[i] = net->frequency[i];
  }
}

void FinishLearning(QuantNetwork* net, const LearningNetwork* learning) {
  for (int32_t i = 0; i < net->netsize; ++i) {
    net->neurons[i][QuantAlpha] = learning->alpha[i];
    net->neurons[i][QuantBlue] = learning->blue[i];
    net->neurons[i][QuantGreen] = learning->green[i];
    net->neurons[i][QuantRed] = learning->red[i];
    net->bias[i] = learning->bias[i];
    net->frequency[i] = learning->frequency[i];
  }
}

void Learn(QuantNetwork* net, const QuantLearningPlan& plan, const QuantKernels& kernels) {
  LearningNetwork learning;
  StartLearning(&learning, net);
  double alpha = kInitialAlpha;
  double radius = QuantInitialRadius;
  int32_t rad = QuantInitialRadius;
  ComputeRadiusPowers(net, alpha, rad);
  ComputeFactors(&learning, net, alpha, rad);
  uint64_t position = 0;
  for (uint64_t i = 1; i <= plan.samples; ++i) {
    const NetPixel p = ToNetPixel(net, net->pixels + position);
    const int32_t winner = kernels.contest(&learning, net->netsize, p);
    kernels.move(&learning, net->netsize, winner, rad, p);
    // The step can exceed a small image, so wrapping once by the length would not do.
    position = (position + plan.step) % net->length;
    if (i % plan.delta != 0) continue;
    alpha -= alpha / plan.alpha_decrease;
    radius -= radius / kRadiusDecrease;
    rad = static_cast<int32_t>(radius);
    if (rad < 2) rad = 0;
    ComputeRadiusPowers(net, alpha, rad);
    ComputeFactors(&learning, net, alpha, rad);
  }
  FinishLearning(net, &learning);
}

// --- Index and palette ---

// Selection sort by the green byte, the first of equal greens first, moving each neuron's
// companion (its neuron or its palette entry) along.
template <typename Companion>
void SortByGreen(QuantNetwork* net, Companion* companions) {
  for (int32_t i = 0; i < net->netsize; ++i) {
    int32_t smallest = i;
    for (int32_t j = i + 1; j < net->netsize; ++j) {
      if (net->colour_map[j][1] < net->colour_map[smallest][1]) smallest = j;
    }
    if (smallest == i) continue;
    std::swap(net->colour_map[i], net->colour_map[smallest]);
    std::swap(companions[i], companions[smallest]);
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
  SortByGreen(net, net->neurons);
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

// Lays out the network's colour map for SearchKernel; false when memory runs out. Cells are
// measured twice, once to count their candidates and once to fill them in, so that the
// candidates need no room beyond the pool.
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

// --- Rows ---

uint8_t* PixelRow(const ColourQuantizer* q, int32_t y) {
  return q->pixels + static_cast<uint64_t>(y) * q->width * 4;
}

void MapByLuminance(const ColourQuantizer* q, const uint8_t* row, uint8_t* out) {
  for (int32_t x = 0; x < q->width; ++x, row += 4) {
    const double luminance = 0.2126 * row[0] + 0.7152 * row[1] + 0.0722 * row[2];
    out[x] = luminance > kLuminanceThreshold ? 1 : 0;
  }
}

void MapExactly(const ColourQuantizer* q, const uint8_t* row, uint8_t* out) {
  const QuantColourTable* table = q->exact_colours;
  for (int32_t x = 0; x < q->width; ++x, row += 4)
    out[x] = static_cast<uint8_t>(table->entries[FindSlot(table, PackColour(row))]);
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

void MapUndithered(ColourQuantizer* q, int32_t y) {
  if (y < q->mapped_first || y >= q->mapped_first + q->mapped_count) MapBatch(q, y);
  const uint64_t offset = static_cast<uint64_t>(y - q->mapped_first) * q->width;
  std::memcpy(q->row_buffer, q->mapped_rows + offset, static_cast<size_t>(q->width));
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
// Each pixel's search waits for the error of the one before, so this stays on one thread.
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

// --- Refinement ---

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

// Moves each palette colour to the mean of the pixels mapped to it and maps again, a few
// times: the first move from the whole image, the later ones from every kRefinementRowStep-th
// row. Pixels are mapped by gamma-space distance while the means are taken in the pixels' own
// values, so a move can lose even though each mean alone cannot; the refined palette is kept
// only when the whole image maps to it with less squared error than to the learnt one, so
// refining never lowers the PSNR. The last mapping stays in mapped_rows when that holds the
// whole image. False when memory runs out.
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
  q->network = CreateNetwork(q);
  q->search_table = static_cast<QuantSearchTable*>(AllocateBlock(sizeof(QuantSearchTable)));
  if (q->network == nullptr || q->search_table == nullptr) return false;
  const QuantLearningPlan plan = PlanQuantLearning(q->width, q->height);
  if (plan.samples > 0) Learn(q->network, plan, *q->kernels);
  BuildIndex(q->network);
  ExportPalette(q);
  return BuildSearchTable(q->search_table, q->network);
}

}  // namespace

QuantSimd LimitQuantSimd(QuantSimd widest) {
  const QuantSimd chosen = std::min(widest, WidestQuantSimd());
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
  q->kernels = ChosenKernels();
  q->row_buffer = static_cast<uint8_t*>(AllocateBlock(static_cast<uint64_t>(width) + kRowSlack));
  bool ready = q->row_buffer != nullptr && PreparePixels(q, pixels, pitch);
  if (ready && !UseExactColours(q)) {
    if (output_depth == 1) {
      SetBlackAndWhite(q);
    } else {
      ready = LearnPalette(q) && AllocateDithering(q);
    }
  }
  ready = ready && AllocateBatch(q);
  if (!ready || (Refines(q) && !RefinePalette(q))) {
    FreeQuantizer(q);
    return nullptr;
  }
  return q;
}

const uint8_t* QuantizedRow(ColourQuantizer* quantizer, int32_t y) {
  if (quantizer == nullptr || y < 0 || y >= quantizer->height) return nullptr;
  if (quantizer->mapped_rows != nullptr) {
    MapUndithered(quantizer, y);
  } else {
    MapWithDithering(quantizer, y);
  }
  PackRow(quantizer->row_buffer, quantizer->width, quantizer->output_depth);
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
