// The quantizer's network: up to 256 neurons of four channels (alpha, blue, green, red, in
// gamma space) that start as a ramp of greys and learn the picture's colours from a sample of
// its pixels, each sample moving the neuron that wins it and that neuron's neighbours towards
// it. Its colour map, sorted and indexed by green, is where searching starts, and its neurons
// become the palette.
#pragma once

#include <cstdint>
#include <utility>

#include "image/colour_quantizer.h"

namespace quant {

// A neuron's frequency decays by 1/1024 per sample and its bias grows by what it lost.
constexpr double kBeta = 1.0 / 1024.0;
constexpr double kBetaGamma = 1024.0;
// Farther than any pixel lies from any neuron: where a search for the nearest starts.
constexpr double kFarAway = 1073741824.0;

// A pixel as the network sees it: colours in gamma space, black when fully transparent, and
// the weight of colour against alpha differences, 1 - (1 - a/255)^2.
struct NetPixel {
  double alpha;
  double red;
  double green;
  double blue;
  double weight;
};

inline NetPixel ToNetPixel(const QuantNetwork* net, const uint8_t* rgba) {
  const double alpha = rgba[3];
  const double transparency = 1.0 - alpha / 255.0;
  NetPixel pixel{alpha, 0.0, 0.0, 0.0, 1.0 - transparency * transparency};
  if (rgba[3] == 0) return pixel;
  pixel.red = net->gamma_table[rgba[0]];
  pixel.green = net->gamma_table[rgba[1]];
  pixel.blue = net->gamma_table[rgba[2]];
  return pixel;
}

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

// A network of 2^output_depth neurons over the quantizer's pixels; null when memory runs out.
QuantNetwork* CreateNetwork(const ColourQuantizer* q);

// Moves the neurons towards plan.samples pixels, one contest and one move each, with the
// learning rate and the radius decaying every plan.delta samples.
void Learn(QuantNetwork* net, const QuantLearningPlan& plan, const QuantKernels& kernels);

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
void BuildGreenIndex(QuantNetwork* net);

// The colour map from the neurons, each colour as the palette will give it, sorted by green
// with the neurons moving along; and its green index.
void BuildIndex(QuantNetwork* net);

// The neurons as the quantizer's palette, entry for entry.
void ExportPalette(ColourQuantizer* q);

}  // namespace quant
