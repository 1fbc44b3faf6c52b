// BMP encoding and decoding of square images of a photograph-like gradient, in memory:
// true-colour files written and read back, and 8-bit files whose time is mostly the
// palette quantizer's.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench/gradient_image.h"
#include "image/bmp_codec.h"
#include "image/image_codec.h"
#include "runtime/memory.h"

namespace {

void EncodeInMemory(benchmark::State& state, int32_t depth) {
  const auto side = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> pixels = GradientRgba(side);
  for (auto _ : state) {
    void* block = reinterpret_cast<void*>(
        EncodeBmp(nullptr, pixels.data(), side, side, side * 4, 0, 0, depth, 32));
    benchmark::DoNotOptimize(block);
    FreeMemory(block);
  }
  state.SetItemsProcessed(state.iterations() * side * side);
}

void BM_EncodeBmp_24Bit(benchmark::State& state) {
  EncodeInMemory(state, 24);
}
BENCHMARK(BM_EncodeBmp_24Bit)->RangeMultiplier(4)->Range(64, 1024);

void BM_EncodeBmp_8BitQuantized(benchmark::State& state) {
  EncodeInMemory(state, 8);
}
BENCHMARK(BM_EncodeBmp_8BitQuantized)->RangeMultiplier(4)->Range(64, 1024);

void BM_DecodeBmp_24Bit(benchmark::State& state) {
  const auto side = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t> pixels = GradientRgba(side);
  auto* file = reinterpret_cast<uint8_t*>(
      EncodeBmp(nullptr, pixels.data(), side, side, side * 4, 0, 0, 24, 32));
  const auto size = static_cast<uint32_t>(BlockSize(file));
  std::vector<uint8_t> decoded(static_cast<size_t>(side) * side * 3);
  InitImageDecodeContext();
  RegisterBmpCodec();
  for (auto _ : state) {
    IdentifyImageData(file, size);
    benchmark::DoNotOptimize(DecodeImagePixels(decoded.data(), side * 3, 0));
    FinishImageDecode();
  }
  FreeMemory(file);
  state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(BM_DecodeBmp_24Bit)->RangeMultiplier(4)->Range(64, 1024);

}  // namespace

BENCHMARK_MAIN();
