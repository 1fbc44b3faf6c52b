// BMP encoding and decoding of square images of a photograph-like gradient, in memory:
// true-colour files written and read back, and 8-bit files whose time is mostly the
// palette quantizer's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/gradient_image.h"
#include "image/bmp_codec.h"
#include "image/image_codec.h"
#include "image/test_picture.h"
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

// --- A 4000 x 3000 photograph-like picture, as bench/image_compare sets against other programs ---

constexpr int32_t kPhotoWidth = 4000;
constexpr int32_t kPhotoHeight = 3000;

const std::vector<uint8_t>& PhotoRgb() {
  static const std::vector<uint8_t> pixels = PhotoLikeRgb(kPhotoWidth, kPhotoHeight);
  return pixels;
}

// The picture's BMP file at depth 24 or 8, encoded once.
const std::vector<uint8_t>& PhotoFile(int32_t depth) {
  static std::vector<uint8_t> files[2];
  std::vector<uint8_t>& file = files[depth == 8 ? 1 : 0];
  if (file.empty()) {
    auto* block = reinterpret_cast<uint8_t*>(EncodeBmp(
        nullptr, PhotoRgb().data(), kPhotoWidth, kPhotoHeight, kPhotoWidth * 3, 0, 0, depth, 24));
    file.assign(block, block + BlockSize(block));
    FreeMemory(block);
  }
  return file;
}

// Bytes processed are the picture's RGB bytes, whatever the file's depth, so that figures of
// every depth and the floor compare directly.
void SetPhotoCounters(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(PhotoRgb().size()));
  state.SetItemsProcessed(state.iterations() * kPhotoWidth * kPhotoHeight);
}

void BM_Photo4000x3000_DecodeBmp(benchmark::State& state) {
  const std::vector<uint8_t>& file = PhotoFile(static_cast<int32_t>(state.range(0)));
  std::vector<uint8_t> decoded(PhotoRgb().size());
  InitImageDecodeContext();
  RegisterBmpCodec();
  for (auto _ : state) {
    IdentifyImageData(file.data(), static_cast<uint32_t>(file.size()));
    benchmark::DoNotOptimize(DecodeImagePixels(decoded.data(), kPhotoWidth * 3, 0));
    FinishImageDecode();
    benchmark::ClobberMemory();
  }
  SetPhotoCounters(state);
}
BENCHMARK(BM_Photo4000x3000_DecodeBmp)->Arg(24)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_Photo4000x3000_EncodeBmp(benchmark::State& state) {
  const auto depth = static_cast<int32_t>(state.range(0));
  const std::vector<uint8_t>& pixels = PhotoRgb();
  for (auto _ : state) {
    void* block = reinterpret_cast<void*>(EncodeBmp(
        nullptr, pixels.data(), kPhotoWidth, kPhotoHeight, kPhotoWidth * 3, 0, 0, depth, 24));
    benchmark::DoNotOptimize(block);
    FreeMemory(block);
  }
  SetPhotoCounters(state);
}
BENCHMARK(BM_Photo4000x3000_EncodeBmp)->Arg(24)->Arg(8)->Unit(benchmark::kMillisecond);

// The floor for any decoder or encoder: copying the 24-bit file's bytes once.
void BM_Photo4000x3000_MemcpyFloor(benchmark::State& state) {
  const std::vector<uint8_t>& file = PhotoFile(24);
  std::vector<uint8_t> copy(file.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), file.data(), file.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  SetPhotoCounters(state);
}
BENCHMARK(BM_Photo4000x3000_MemcpyFloor)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
