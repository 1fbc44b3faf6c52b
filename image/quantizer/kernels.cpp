#include "image/quantizer/kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "image/quantizer/exact_colours.h"
#include "image/quantizer/search_table.h"
#include "image/quantizer/vectors.h"

namespace quant {
namespace {

// --- Learning ---

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

// --- Per instruction set ---

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

}  // namespace

QuantSimd WidestQuantSimd() {
#if defined(__x86_64__)
  // Static initialisation may come before the compiler's own reading of the processor.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return QuantSimd::Avx512;
  if (__builtin_cpu_supports("avx2")) return QuantSimd::Avx2;
#endif
  return QuantSimd::Base;
}

const QuantKernels* KernelsFor(QuantSimd simd) {
#if defined(__x86_64__)
  switch (simd) {
    case QuantSimd::Avx512:
      return &kAvx512Kernels;
    case QuantSimd::Avx2:
      return &kAvx2Kernels;
    case QuantSimd::Base:
      break;
  }
#else
  (void)simd;
#endif
  return &kBaseKernels;
}

}  // namespace quant
