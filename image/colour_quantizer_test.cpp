#include "image/colour_quantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "image/test_picture.h"

namespace {

struct QuantizerDeleter {
  void operator()(ColourQuantizer* quantizer) const { FreeQuantizer(quantizer); }
};
using Quantizer = std::unique_ptr<ColourQuantizer, QuantizerDeleter>;

using Rgba = std::array<uint8_t, 4>;

constexpr Rgba kQuadrantColours[4] = {
    {200, 30, 40, 255}, {20, 160, 60, 255}, {30, 50, 220, 255}, {240, 230, 90, 255}};

// Four blocks of one colour each, as packed RGBA rows.
std::vector<uint8_t> Quadrants(int32_t width, int32_t height) {
  std::vector<uint8_t> pixels;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const Rgba& colour = kQuadrantColours[(y * 2 / height) * 2 + x * 2 / width];
      pixels.insert(pixels.end(), colour.begin(), colour.end());
    }
  }
  return pixels;
}

std::vector<uint8_t> Noise(int32_t width, int32_t height, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
  for (uint8_t& byte : pixels)
    byte = static_cast<uint8_t>(random());
  return pixels;
}

std::vector<int32_t> Unpack(const uint8_t* packed, int32_t width, int32_t depth) {
  std::vector<int32_t> indices;
  const int32_t per_byte = 8 / depth;
  for (int32_t x = 0; x < width; ++x) {
    const int32_t shift = 8 - depth * (x % per_byte + 1);
    indices.push_back((packed[x / per_byte] >> shift) & ((1 << depth) - 1));
  }
  return indices;
}

int32_t ColourDistance(const uint8_t* a, const uint8_t* b) {
  int32_t largest = 0;
  for (int32_t c = 0; c < 3; ++c)
    largest = std::max(largest, std::abs(a[c] - b[c]));
  return largest;
}

std::vector<std::vector<int32_t>> AllRows(ColourQuantizer* quantizer) {
  std::vector<std::vector<int32_t>> rows;
  for (int32_t y = 0; y < quantizer->height; ++y) {
    const uint8_t* packed = QuantizedRow(quantizer, y);
    rows.push_back(Unpack(packed, quantizer->width, quantizer->output_depth));
  }
  return rows;
}

TEST(QuantGammaTest, TableFollowsTheGammaCurve) {
  double table[256];
  BuildQuantGammaTable(QuantGamma, table);
  EXPECT_EQ(table[0], 0);
  EXPECT_EQ(table[1], 12);
  EXPECT_EQ(table[64], 118);
  EXPECT_EQ(table[128], 174);
  EXPECT_EQ(table[255], 255);
  EXPECT_TRUE(std::is_sorted(table, table + 256));
}

TEST(QuantGammaTest, PaletteValueNearlyInvertsTheTableAndStaysInRange) {
  double table[256];
  BuildQuantGammaTable(QuantGamma, table);
  for (int32_t i = 0; i < 256; ++i)
    EXPECT_LE(std::abs(QuantPaletteValue(table[i], QuantGamma) - i), 3) << i;
  EXPECT_EQ(QuantPaletteValue(-4.0, QuantGamma), 0);
  EXPECT_EQ(QuantPaletteValue(300.0, QuantGamma), 255);
  EXPECT_EQ(QuantAlphaByte(255.0), 255);
  EXPECT_EQ(QuantAlphaByte(100.0), 100);
  EXPECT_EQ(QuantAlphaByte(-1.0), 0);
}

TEST(QuantLearningPlanTest, SmallImageLearnsFromEveryPixel) {
  const QuantLearningPlan plan = PlanQuantLearning(4, 4);
  EXPECT_EQ(plan.sample_factor, 1);
  EXPECT_EQ(plan.samples, 16u);
  EXPECT_EQ(plan.delta, 1u);
  EXPECT_EQ(plan.alpha_decrease, 30);
  EXPECT_EQ(plan.step, 4u * 499);
}

TEST(QuantLearningPlanTest, SampleFactorGrowsWithAreaUpToTen) {
  const QuantLearningPlan megapixel = PlanQuantLearning(1024, 1024);
  EXPECT_EQ(megapixel.sample_factor, 5);
  EXPECT_EQ(megapixel.samples, 1024u * 1024 / 5);
  EXPECT_EQ(megapixel.delta, megapixel.samples / 100);
  EXPECT_EQ(megapixel.alpha_decrease, 31);
  EXPECT_EQ(PlanQuantLearning(8192, 8192).sample_factor, 10);
}

TEST(QuantLearningPlanTest, StepAvoidsPrimesThatDivideTheLength) {
  EXPECT_EQ(PlanQuantLearning(499, 1).step, 4u * 491);
  EXPECT_EQ(PlanQuantLearning(499, 491).step, 4u * 487);
  EXPECT_EQ(PlanQuantLearning(499 * 491, 487).step, 4u * 503);
}

TEST(ColourQuantizerTest, RefusesBadArguments) {
  const std::vector<uint8_t> pixels = Quadrants(4, 4);
  EXPECT_EQ(CreateQuantizer(nullptr, 4, 4, 32, 16, 8, 0), nullptr);
  EXPECT_EQ(CreateQuantizer(pixels.data(), 0, 4, 32, 16, 8, 0), nullptr);
  EXPECT_EQ(CreateQuantizer(pixels.data(), 4, -1, 32, 16, 8, 0), nullptr);
  EXPECT_EQ(CreateQuantizer(pixels.data(), 4, 4, 16, 16, 8, 0), nullptr);
  EXPECT_EQ(CreateQuantizer(pixels.data(), 4, 4, 32, 16, 3, 0), nullptr);
  EXPECT_EQ(CreateQuantizer(pixels.data(), 4, 4, 32, 15, 8, 0), nullptr);
}

TEST(ColourQuantizerTest, RowOutsideTheImageIsNull) {
  const std::vector<uint8_t> pixels = Quadrants(4, 4);
  Quantizer quantizer(CreateQuantizer(pixels.data(), 4, 4, 32, 16, 4, 0));
  ASSERT_NE(quantizer, nullptr);
  EXPECT_EQ(QuantizedRow(quantizer.get(), -1), nullptr);
  EXPECT_EQ(QuantizedRow(quantizer.get(), 4), nullptr);
  EXPECT_NE(QuantizedRow(quantizer.get(), 3), nullptr);
}

TEST(ColourQuantizerTest, DepthOneSplitsByLuminanceAndPacksEightPerByte) {
  // Ten pixels: light, dark, light, ... crossing a byte; alpha plays no part.
  std::vector<uint8_t> pixels;
  for (int32_t x = 0; x < 10; ++x) {
    const uint8_t level = x % 2 == 0 ? 200 : 100;
    pixels.insert(pixels.end(), {level, level, level, static_cast<uint8_t>(x * 20)});
  }
  Quantizer quantizer(CreateQuantizer(pixels.data(), 10, 1, 32, 40, 1, QuantizeDither));
  ASSERT_NE(quantizer, nullptr);
  EXPECT_EQ(quantizer->network, nullptr);
  EXPECT_EQ(Rgba(std::to_array(quantizer->palette[0])), (Rgba{0, 0, 0, 0}));
  EXPECT_EQ(Rgba(std::to_array(quantizer->palette[1])), (Rgba{255, 255, 255, 0}));
  const uint8_t* row = QuantizedRow(quantizer.get(), 0);
  EXPECT_EQ(row[0], 0b10101010);
  EXPECT_EQ(row[1] & 0b11000000, 0b10000000);
}

// Vertical stripes three pixels wide cycling through the first colours of kQuadrantColours,
// so that neighbours within one packed byte have different indices.
std::vector<uint8_t> Stripes(int32_t width, int32_t height, int32_t colours) {
  std::vector<uint8_t> pixels;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const Rgba& colour = kQuadrantColours[(x / 3) % colours];
      pixels.insert(pixels.end(), colour.begin(), colour.end());
    }
  }
  return pixels;
}

struct FewColours {
  int32_t depth;
  int32_t colours;
};

// Each pixel's index must lead to a palette colour within the gamma round trip's rounding of
// the pixel; this also pins down the packing order of 2, 4 and 8-bit indices.
class FewColoursTest : public ::testing::TestWithParam<FewColours> {};

TEST_P(FewColoursTest, PaletteReproducesTheColours) {
  const auto [depth, colours] = GetParam();
  const std::vector<uint8_t> pixels = Stripes(32, 32, colours);
  Quantizer quantizer(CreateQuantizer(pixels.data(), 32, 32, 32, 128, depth, 0));
  ASSERT_NE(quantizer, nullptr);
  const auto rows = AllRows(quantizer.get());
  for (int32_t y = 0; y < 32; ++y) {
    for (int32_t x = 0; x < 32; ++x) {
      const int32_t index = rows[y][x];
      ASSERT_LT(index, 1 << depth);
      const uint8_t* pixel = &pixels[(y * 32 + x) * 4];
      ASSERT_LE(ColourDistance(quantizer->palette[index], pixel), 2) << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, FewColoursTest,
                         ::testing::Values(FewColours{2, 2}, FewColours{4, 4}, FewColours{8, 4}));

TEST(ColourQuantizerTest, TransparentPixelsAreToldApartByAlphaAlone) {
  // An opaque ramp of 1024 colours, too many to keep as they are, so the palette is learnt.
  std::vector<uint8_t> pixels;
  for (int32_t i = 0; i < 32 * 32; ++i)
    pixels.insert(pixels.end(),
                  {static_cast<uint8_t>(i % 32 * 8), static_cast<uint8_t>(i / 4), 128, 255});
  // Transparent pixels of very different colours on the left of the top rows.
  for (int32_t i = 0; i < 16; ++i) {
    uint8_t* pixel = &pixels[((i / 8) * 32 + i % 8) * 4];
    pixel[0] = static_cast<uint8_t>(i * 16);
    pixel[1] = static_cast<uint8_t>(255 - i * 16);
    pixel[3] = 0;
  }
  Quantizer quantizer(CreateQuantizer(pixels.data(), 32, 32, 32, 128, 8, 0));
  ASSERT_NE(quantizer, nullptr);
  ASSERT_NE(quantizer->network, nullptr);
  const auto rows = AllRows(quantizer.get());
  const int32_t transparent = rows[0][0];
  for (int32_t i = 0; i < 16; ++i)
    EXPECT_EQ(rows[i / 8][i % 8], transparent);
  EXPECT_LT(quantizer->palette[transparent][3], 16);
  EXPECT_NE(rows[31][0], transparent);
}

TEST(ColourQuantizerTest, DitheringKeepsIndicesAndErrorInRangeAndLeavesTheSourceAlone) {
  const std::vector<uint8_t> pixels = Noise(37, 23, 7);
  const std::vector<uint8_t> original = pixels;
  Quantizer quantizer(CreateQuantizer(pixels.data(), 37, 23, 32, 37 * 4, 4, QuantizeDither));
  ASSERT_NE(quantizer, nullptr);
  for (int32_t y = 22; y >= 0; --y) {
    const std::vector<int32_t> row = Unpack(QuantizedRow(quantizer.get(), y), 37, 4);
    EXPECT_TRUE(std::all_of(row.begin(), row.end(), [](int32_t i) { return i < 16; }));
    // The carry is 7/16 of an error whose channels were brought within +-10.
    for (int32_t c = 0; c < 4; ++c)
      EXPECT_LE(std::abs(quantizer->error_carry[c]), 4) << "row " << y;
  }
  EXPECT_EQ(pixels, original);
}

// Regression: a 32-bit source whose rows are padded was read as if packed, taking padding
// for pixels.
class PaddedPitchTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PaddedPitchTest, PaddedSourceQuantizesLikeThePackedOne) {
  const uint32_t options = GetParam();
  constexpr int32_t kWidth = 16;
  constexpr int32_t kHeight = 8;
  constexpr int32_t kPitch = kWidth * 4 + 12;
  const std::vector<uint8_t> packed = Quadrants(kWidth, kHeight);
  std::vector<uint8_t> padded;
  for (int32_t y = 0; y < kHeight; ++y) {
    padded.insert(padded.end(), packed.begin() + y * kWidth * 4,
                  packed.begin() + (y + 1) * kWidth * 4);
    for (int32_t i = 0; i < 3; ++i)
      padded.insert(padded.end(), {255, 0, 255, 255});
  }
  Quantizer from_packed(
      CreateQuantizer(packed.data(), kWidth, kHeight, 32, kWidth * 4, 8, options));
  Quantizer from_padded(CreateQuantizer(padded.data(), kWidth, kHeight, 32, kPitch, 8, options));
  ASSERT_NE(from_packed, nullptr);
  ASSERT_NE(from_padded, nullptr);
  EXPECT_EQ(0,
            std::memcmp(from_packed->palette, from_padded->palette, sizeof(from_packed->palette)));
  EXPECT_EQ(AllRows(from_packed.get()), AllRows(from_padded.get()));
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutDithering, PaddedPitchTest,
                         ::testing::Values(0u, QuantizeDither));

// --- Exact results ---

// A photograph-like picture with a band of graded alpha and a transparent block, so that
// learning and mapping meet opaque, translucent and invisible pixels alike.
std::vector<uint8_t> MixedAlphaPicture(int32_t width, int32_t height) {
  const std::vector<uint8_t> rgb = PhotoLikeRgb(width, height);
  std::vector<uint8_t> pixels;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* in = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      uint8_t alpha = 255;
      if (y >= height / 4 && y < height / 2) alpha = static_cast<uint8_t>(x * 255 / (width - 1));
      if (y >= height * 3 / 4 && x < width / 4) alpha = 0;
      pixels.insert(pixels.end(), {in[0], in[1], in[2], alpha});
    }
  }
  return pixels;
}

uint64_t Fnv1a(uint64_t hash, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i)
    hash = (hash ^ bytes[i]) * 0x100000001B3u;
  return hash;
}

// The palette and every index, rows asked for bottom first as the encoder does.
uint64_t OutputHash(ColourQuantizer* quantizer) {
  const int32_t depth = quantizer->output_depth;
  uint64_t hash = Fnv1a(0xCBF29CE484222325u, quantizer->palette[0], size_t{4} << depth);
  for (int32_t y = quantizer->height - 1; y >= 0; --y) {
    const std::vector<int32_t> row = Unpack(QuantizedRow(quantizer, y), quantizer->width, depth);
    for (int32_t index : row) {
      const auto byte = static_cast<uint8_t>(index);
      hash = Fnv1a(hash, &byte, 1);
    }
  }
  return hash;
}

struct HashCase {
  int32_t source_depth;
  int32_t depth;
  uint32_t options;
  uint64_t hash;
};

using ExactOutputParam = std::tuple<HashCase, QuantSimd>;

// The learnt palette and the mapping of every pixel are pinned, at every vector width: faster
// learning and searching must reproduce them bit for bit.
class ExactOutputTest : public ::testing::TestWithParam<ExactOutputParam> {
 protected:
  void TearDown() override { LimitQuantSimd(QuantSimd::Avx512); }
};

TEST_P(ExactOutputTest, PaletteAndIndicesKeepTheirHash) {
  const auto& [c, simd] = GetParam();
  if (LimitQuantSimd(simd) != simd) GTEST_SKIP() << "the processor lacks this instruction set";
  constexpr int32_t kWidth = 160;
  constexpr int32_t kHeight = 120;
  const std::vector<uint8_t> pixels =
      c.source_depth == 32 ? MixedAlphaPicture(kWidth, kHeight) : PhotoLikeRgb(kWidth, kHeight);
  Quantizer quantizer(CreateQuantizer(pixels.data(), kWidth, kHeight, c.source_depth,
                                      kWidth * (c.source_depth / 8), c.depth,
                                      c.options | QuantizeNoRefinement));
  ASSERT_NE(quantizer, nullptr);
  ASSERT_NE(quantizer->network, nullptr);
  EXPECT_EQ(OutputHash(quantizer.get()), c.hash);
}

std::string ExactOutputName(const ::testing::TestParamInfo<ExactOutputParam>& info) {
  static constexpr const char* kSimdNames[] = {"Base", "Avx2", "Avx512"};
  const auto& [c, simd] = info.param;
  return "From" + std::to_string(c.source_depth) + "To" + std::to_string(c.depth) +
         ((c.options & QuantizeDither) != 0 ? "Dithered" : "") +
         kSimdNames[static_cast<int32_t>(simd)];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExactOutputTest,
    ::testing::Combine(::testing::Values(HashCase{32, 8, 0, 12216523767323504870u},
                                         HashCase{32, 8, QuantizeDither, 4346577354877686907u},
                                         HashCase{32, 4, 0, 13960912843317611980u},
                                         HashCase{32, 2, QuantizeDither, 9330494545144681255u},
                                         HashCase{24, 8, 0, 7445164490780743166u}),
                       ::testing::Values(QuantSimd::Base, QuantSimd::Avx2, QuantSimd::Avx512)),
    ExactOutputName);

// Undithered rows are mapped a batch of rows at a time, over several threads; a row asked for
// out of order must still come from its own batch.
TEST(ColourQuantizerTest, RowsAskedInAnyOrderMapToTheirOwnPixels) {
  constexpr int32_t kWidth = 2048;
  constexpr int32_t kHeight = 1024;
  const std::vector<uint8_t> pixels = Quadrants(kWidth, kHeight);
  Quantizer quantizer(CreateQuantizer(pixels.data(), kWidth, kHeight, 32, kWidth * 4, 8, 0));
  ASSERT_NE(quantizer, nullptr);
  ASSERT_LT(quantizer->batch_rows, kHeight);
  for (int32_t y : {kHeight - 1, 0, kHeight / 2, kHeight / 2 - 1, kHeight - 2, 1}) {
    const uint8_t* row = QuantizedRow(quantizer.get(), y);
    const int32_t top_or_bottom = y < kHeight / 2 ? 0 : 2;
    for (int32_t x : {0, kWidth / 2 - 1, kWidth / 2, kWidth - 1}) {
      const int32_t index = row[x];
      EXPECT_EQ(index, top_or_bottom + (x < kWidth / 2 ? 0 : 1)) << x << "," << y;
    }
  }
}

}  // namespace
