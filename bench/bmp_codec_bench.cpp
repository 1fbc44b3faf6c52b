// BMP encoding and decoding of square images of a photograph-like gradient, in memory:
// true-colour files written and read back, and 8-bit files whose time is mostly the
// palette quantizer's; and of a 4000 x 3000 photograph-like picture, from and to files too.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
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
//
// Each decoding goes into a buffer allocated afresh, as a program that opens a picture does,
// and each encoding into a new block or file. Files go to $BREVIK_BENCH_FOLDER, or else to
// the temporary folder; the 24-bit file is written there first, the very bytes that
// bench_picture_writer writes as picture24.bmp.

constexpr int32_t kPhotoWidth = 4000;
constexpr int32_t kPhotoHeight = 3000;

const std::vector<uint8_t>& PhotoRgb() {
  static const std::vector<uint8_t> pixels = PhotoLikeRgb(kPhotoWidth, kPhotoHeight);
  return pixels;
}

std::string PhotoPath(const char* name) {
  const char* folder = std::getenv("BREVIK_BENCH_FOLDER");
  return std::string(folder != nullptr ? folder : "/tmp") + "/" + name;
}

intptr_t EncodePhoto(const char* path, int32_t depth) {
  return EncodeBmp(path, PhotoRgb().data(), kPhotoWidth, kPhotoHeight, kPhotoWidth * 3, 0, 0, depth,
                   24);
}

// The picture's 24-bit BMP file, in memory and on disk, encoded once.
const std::vector<uint8_t>& PhotoFile() {
  static const std::vector<uint8_t> file = [] {
    auto* block = reinterpret_cast<uint8_t*>(EncodePhoto(nullptr, 24));
    std::vector<uint8_t> bytes(block, block + BlockSize(block));
    FreeMemory(block);
    return bytes;
  }();
  return file;
}

const std::string& PhotoFilePath() {
  static const std::string path = [] {
    std::string name = PhotoPath("ours24.bmp");
    if (EncodePhoto(name.c_str(), 24) != 1) std::abort();
    return name;
  }();
  return path;
}

// Bytes processed are the picture's RGB bytes, whatever the file's depth, so that figures of
// every depth and the floor compare directly.
void SetPhotoCounters(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(PhotoRgb().size()));
  state.SetItemsProcessed(state.iterations() * kPhotoWidth * kPhotoHeight);
}

// Decodes the identified source into a buffer of its own.
void DecodeIntoFreshBuffer() {
  const ImageDecodeContext* context = CurrentImageDecodeContext();
  const int64_t pitch = int64_t{context->width} * (context->output_depth / 8);
  std::unique_ptr<uint8_t[]> pixels(new uint8_t[pitch * context->height]);
  benchmark::DoNotOptimize(DecodeImagePixels(pixels.get(), pitch, 0));
  FinishImageDecode();
  benchmark::ClobberMemory();
}

void BM_Photo4000x3000_DecodeBmpFile(benchmark::State& state) {
  const std::string& path = PhotoFilePath();
  InitImageDecodeContext();
  RegisterBmpCodec();
  for (auto _ : state) {
    if (IdentifyImageFile(path.c_str()) != ImageFormatBmp) state.SkipWithError("not decoded");
    DecodeIntoFreshBuffer();
  }
  SetPhotoCounters(state);
}
BENCHMARK(BM_Photo4000x3000_DecodeBmpFile)->Unit(benchmark::kMillisecond);

void BM_Photo4000x3000_DecodeBmpMemory(benchmark::State& state) {
  const std::vector<uint8_t>& file = PhotoFile();
  InitImageDecodeContext();
  RegisterBmpCodec();
  for (auto _ : state) {
    IdentifyImageData(file.data(), static_cast<uint32_t>(file.size()));
    DecodeIntoFreshBuffer();
  }
  SetPhotoCounters(state);
}
BENCHMARK(BM_Photo4000x3000_DecodeBmpMemory)->Unit(benchmark::kMillisecond);

void BM_Photo4000x3000_EncodeBmpMemory(benchmark::State& state) {
  const auto depth = static_cast<int32_t>(state.range(0));
  PhotoRgb();
  for (auto _ : state) {
    void* block = reinterpret_cast<void*>(EncodePhoto(nullptr, depth));
    benchmark::DoNotOptimize(block);
    FreeMemory(block);
  }
  SetPhotoCounters(state);
}
BENCHMARK(BM_Photo4000x3000_EncodeBmpMemory)->Arg(24)->Arg(8)->Unit(benchmark::kMillisecond);

// Writes ours24.bmp or ours8.bmp, which bench/image_compare measures the PSNR of.
void BM_Photo4000x3000_EncodeBmpFile(benchmark::State& state) {
  const auto depth = static_cast<int32_t>(state.range(0));
  const std::string path = PhotoPath(depth == 8 ? "ours8.bmp" : "ours24.bmp");
  PhotoRgb();
  for (auto _ : state) {
    if (EncodePhoto(path.c_str(), depth) != 1) state.SkipWithError("not written");
  }
  SetPhotoCounters(state);
}
BENCHMARK(BM_Photo4000x3000_EncodeBmpFile)->Arg(24)->Arg(8)->Unit(benchmark::kMillisecond);

// The floor for any decoder or encoder: copying the 24-bit file's bytes once.
void BM_Photo4000x3000_MemcpyFloor(benchmark::State& state) {
  const std::vector<uint8_t>& file = PhotoFile();
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
