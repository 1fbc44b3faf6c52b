#include "image/quantizer/network.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "image/quantizer/kernels.h"
#include "runtime/memory.h"

namespace quant {
namespace {

constexpr double kInitialAlpha = 1024.0;
constexpr double kRadiusBias = 262144.0;
constexpr double kRadiusDecrease = 30.0;

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

}  // namespace

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

}  // namespace quant
