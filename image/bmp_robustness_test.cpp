// Feeds the BMP decoder mutated and truncated copies of valid files. Under AddressSanitizer
// any read past a file or write past a pixel buffer stops the test; besides, every decode
// must end in 0 or 1 and every accepted size must lie within the decoder's limits.
#include "image/bmp_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "image/image_codec.h"
#include "runtime/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A caller would not allocate more than this for an untrusted file of a few hundred bytes.
constexpr int64_t kLargestBuffer = int64_t{1} << 22;
constexpr int32_t kNotIdentified = -1;
constexpr int32_t kTooLarge = -2;

// The harness: one entry point, decoding data as a careful caller would. The data and the
// pixel buffer are heap blocks of exactly their size, so that the sanitizer sees any
// overrun.
int32_t DecodeUntrusted(const Bytes& data, uint32_t flags) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[data.size()]);
  std::copy(data.begin(), data.end(), copy.get());
  if (IdentifyImageData(copy.get(), static_cast<uint32_t>(data.size())) == 0) return kNotIdentified;
  const ImageDecodeContext* context = CurrentImageDecodeContext();
  EXPECT_GE(context->width, 1);
  EXPECT_GE(context->height, 1);
  EXPECT_LE(static_cast<int64_t>(context->width) * context->height, BmpMaxPixels);
  const int64_t pitch = static_cast<int64_t>(context->width) * (context->output_depth / 8);
  if (pitch * context->height > kLargestBuffer) {
    FinishImageDecode();
    return kTooLarge;
  }
  std::unique_ptr<uint8_t[]> pixels(new uint8_t[pitch * context->height]);
  const int32_t result = DecodeImagePixels(pixels.get(), pitch, flags);
  FinishImageDecode();
  return result;
}

Bytes Encoded(int32_t width, int32_t height, int32_t depth) {
  Bytes pixels(static_cast<size_t>(width) * height * 4);
  std::mt19937 random(static_cast<uint32_t>(depth));
  for (uint8_t& byte : pixels)
    byte = static_cast<uint8_t>(random() % 4 * 60);
  auto* block = reinterpret_cast<uint8_t*>(
      EncodeBmp(nullptr, pixels.data(), width, height, width * 4, 0, 0, depth, 32));
  Bytes file(block, block + BlockSize(block));
  FreeMemory(block);
  return file;
}

// Hand-made files for what the encoder never writes: RLE8 and 16-bit bit fields.
Bytes Rle8File() {
  return {
      'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 62, 0, 0, 0,  // file header: pixels at 62
      40,  0,   0, 0, 6, 0, 0, 0, 3, 0, 0,  0,        // info size, width 6, height 3
      1,   0,   8, 0, 1, 0, 0, 0,                     // planes, 8 bits, RLE8
      0,   0,   0, 0, 0, 0, 0, 0, 0, 0, 0,  0,        // image size, resolution
      2,   0,   0, 0, 0, 0, 0, 0,                     // two colours used, important
      9,   9,   9, 0, 7, 7, 7, 0,                     // palette
      3,   1,   0, 0,                                 // run of three, end of line
      0,   3,   1, 0, 1, 0,                           // literal of three and its pad
      0,   2,   1, 1, 2, 0, 0, 1,                     // delta, run of two, end of bitmap
  };
}

Bytes BitFieldsFile() {
  Bytes file = {
      'B',  'M',  0,  0, 0,    0,    0, 0, 0,    0, 66, 0, 0, 0,  // file header: pixels at 66
      40,   0,    0,  0, 3,    0,    0, 0, 2,    0, 0,  0,        // info size, width 3, height 2
      1,    0,    16, 0, 3,    0,    0, 0,                        // planes, 16 bits, bit fields
      0,    0,    0,  0, 0,    0,    0, 0, 0,    0, 0,  0,        // image size, resolution
      0,    0,    0,  0, 0,    0,    0, 0,                        // colours used, important
      0x00, 0xF8, 0,  0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0,  0,        // 5-6-5 masks
  };
  for (int32_t i = 0; i < 2 * 8; ++i)
    file.push_back(static_cast<uint8_t>(i * 37));
  return file;
}

Bytes Mutate(const Bytes& seed, std::mt19937& random) {
  Bytes data = seed;
  static constexpr uint8_t kInteresting[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
  const int32_t changes = 1 + static_cast<int32_t>(random() % 4);
  for (int32_t i = 0; i < changes; ++i) {
    // Headers and palettes decide most paths, so most changes land in the first 80 bytes.
    const size_t limit = random() % 4 == 0 ? data.size() : std::min<size_t>(data.size(), 80);
    const size_t at = random() % limit;
    data[at] = random() % 2 == 0 ? kInteresting[random() % 5] : static_cast<uint8_t>(random());
  }
  if (random() % 3 == 0) data.resize(1 + random() % data.size());
  return data;
}

TEST(BmpRobustnessTest, MutatedFilesDecodeToZeroOrOneWithinTheirBuffers) {
  InitImageDecodeContext();
  RegisterBmpCodec();
  const Bytes seeds[] = {Encoded(7, 3, 1),  Encoded(5, 4, 4), Encoded(9, 2, 8), Encoded(3, 3, 24),
                         Encoded(2, 5, 32), Rle8File(),       BitFieldsFile()};
  for (const Bytes& seed : seeds)
    ASSERT_EQ(DecodeUntrusted(seed, 0), 1);

  std::mt19937 random(20240611);
  int32_t outcomes[5] = {};
  for (int32_t round = 0; round < 3000; ++round) {
    const Bytes& seed = seeds[round % std::size(seeds)];
    const int32_t result = DecodeUntrusted(Mutate(seed, random), round % 2 * ImageRowsBottomUp);
    ASSERT_GE(result, kTooLarge);
    ASSERT_LE(result, 1);
    ++outcomes[result - kTooLarge];
  }
  // The mutations must reach both the refusals and the decoding paths.
  EXPECT_GT(outcomes[kNotIdentified - kTooLarge], 0);
  EXPECT_GT(outcomes[0 - kTooLarge], 0);
  EXPECT_GT(outcomes[1 - kTooLarge], 0);
}

}  // namespace
