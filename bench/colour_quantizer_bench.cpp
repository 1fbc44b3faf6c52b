// The colour quantizer on square images of a photograph-like gradient: learning a 256-colour
// palette (sampling about one pixel in the sample factor, at most 100 rounds), then mapping
// every row to it with and without dithering. Mapping is timed on a new quantizer each time,
// since undithered rows once mapped are kept.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/gradient_image.h"
#include "image/colour_quantizer.h"
#include "image/test_picture.h"

namespace {

void BM_CreateQuantizer_Learn256(benchmark::State& state) {
  const auto side = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> pixels = GradientRgba(side);
  for (auto _ : state) {
    ColourQuantizer* quantizer =
        CreateQuantizer(pixels.data(), side, side, 32, side * 4, 8, QuantizeNoRefinement);
    benchmark::DoNotOptimize(quantizer);
    FreeQuantizer(quantizer);
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(BM_CreateQuantizer_Learn256)->RangeMultiplier(4)->Range(64, 1024);

void MapAllRows(benchmark::State& state, uint32_t options) {
  const auto side = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> pixels = GradientRgba(side);
  for (auto _ : state) {
    state.PauseTiming();
    ColourQuantizer* quantizer =
        CreateQuantizer(pixels.data(), side, side, 32, side * 4, 8, options | QuantizeNoRefinement);
    state.ResumeTiming();
    for (int32_t y = 0; y < side; ++y)
      benchmark::DoNotOptimize(QuantizedRow(quantizer, y));
    state.PauseTiming();
    FreeQuantizer(quantizer);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}

void BM_QuantizedRow_Search256(benchmark::State& state) {
  MapAllRows(state, 0);
}
BENCHMARK(BM_QuantizedRow_Search256)->RangeMultiplier(4)->Range(256, 1024);

void BM_QuantizedRow_Dithered256(benchmark::State& state) {
  MapAllRows(state, QuantizeDither);
}
BENCHMARK(BM_QuantizedRow_Dithered256)->RangeMultiplier(4)->Range(256, 1024);

// Learning a 256-colour palette for a 4000 x 3000 photograph-like picture and mapping every row
// to it, the whole of an 8-bit conversion but for the file around it; with the refinement of
// the learnt palette (refined:1) and without it.
void BM_Photo4000x3000_Quantize256(benchmark::State& state) {
  constexpr int32_t kWidth = 4000;
  constexpr int32_t kHeight = 3000;
  const uint32_t options = state.range(0) != 0 ? 0 : QuantizeNoRefinement;
  const std::vector<uint8_t> pixels = PhotoLikeRgb(kWidth, kHeight);
  for (auto _ : state) {
    ColourQuantizer* quantizer =
        CreateQuantizer(pixels.data(), kWidth, kHeight, 24, kWidth * 3, 8, options);
    for (int32_t y = 0; y < kHeight; ++y)
      benchmark::DoNotOptimize(QuantizedRow(quantizer, y));
    FreeQuantizer(quantizer);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(pixels.size()));
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
BENCHMARK(BM_Photo4000x3000_Quantize256)
    ->ArgName("refined")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
