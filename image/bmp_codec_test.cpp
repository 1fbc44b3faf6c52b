#include "image/bmp_codec.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <QImage>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "image/colour_quantizer.h"
#include "image/image_codec.h"
#include "runtime/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kUnwritten = 0xEE;

void Put16(Bytes& bytes, uint16_t value) {
  bytes.push_back(static_cast<uint8_t>(value));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(Bytes& bytes, uint32_t value) {
  Put16(bytes, static_cast<uint16_t>(value));
  Put16(bytes, static_cast<uint16_t>(value >> 16));
}

uint32_t Get32(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

struct Layout {
  int32_t width;
  int32_t height;
  uint16_t bits;
  uint32_t compression = 0;
  uint32_t colours_used = 0;
  uint32_t palette_entries = 0;  // stored between the headers and the pixels
};

// The 54 header bytes of a well-formed file; palette and pixels are appended by each test.
Bytes Headers(const Layout& layout) {
  Bytes bytes = {'B', 'M'};
  Put32(bytes, 0);
  Put32(bytes, 0);
  Put32(bytes, 54 + 4 * layout.palette_entries);
  Put32(bytes, 40);
  Put32(bytes, static_cast<uint32_t>(layout.width));
  Put32(bytes, static_cast<uint32_t>(layout.height));
  Put16(bytes, 1);
  Put16(bytes, layout.bits);
  Put32(bytes, layout.compression);
  for (int32_t i = 0; i < 3; ++i)
    Put32(bytes, 0);
  Put32(bytes, layout.colours_used);
  Put32(bytes, 0);
  return bytes;
}

Bytes operator+(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

struct Decoded {
  uint32_t format = 0;
  int32_t result = -1;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t depth = 0;
  Bytes pixels;  // top row first unless decoded bottom-up
};

Decoded Decode(const Bytes& file, uint32_t flags = 0) {
  Decoded decoded;
  decoded.format = IdentifyImageData(file.data(), static_cast<uint32_t>(file.size()));
  if (decoded.format == 0) return decoded;
  const ImageDecodeContext* context = CurrentImageDecodeContext();
  decoded.width = context->width;
  decoded.height = context->height;
  decoded.depth = context->output_depth;
  const int64_t pitch = static_cast<int64_t>(decoded.width) * (decoded.depth / 8);
  decoded.pixels.assign(pitch * decoded.height, kUnwritten);
  decoded.result = DecodeImagePixels(decoded.pixels.data(), pitch, flags);
  FinishImageDecode();
  return decoded;
}

class BmpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitImageDecodeContext();
    RegisterBmpCodec();
  }
};

// --- Identification ---

TEST_F(BmpTest, AcceptsOnlyWholeHeadersWithSignatureAndZeroReservedWords) {
  const Bytes header = Headers({1, 1, 24});
  EXPECT_EQ(IdentifyImageData(header.data(), 53), 0u);
  EXPECT_EQ(IdentifyImageData(header.data(), 54), ImageFormatBmp);
  FinishImageDecode();

  Bytes wrong_signature = header;
  wrong_signature[1] = 'A';
  EXPECT_EQ(IdentifyImageData(wrong_signature.data(), 54), 0u);
  Bytes reserved = header;
  reserved[8] = 1;
  EXPECT_EQ(IdentifyImageData(reserved.data(), 54), 0u);
  EXPECT_EQ(IdentifyImageData(nullptr, 54), 0u);
}

TEST_F(BmpTest, EncoderIsFoundByItsFormat) {
  const ImageEncoderPlugin* encoder = FindImageEncoder(ImageFormatBmp);
  ASSERT_NE(encoder, nullptr);
  const uint8_t pixel[4] = {1, 2, 3, 4};
  auto* block = reinterpret_cast<uint8_t*>(encoder->encode32(nullptr, pixel, 1, 1, 4, 0, 0, 32));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(BlockSize(block), 58u);
  EXPECT_EQ(block[57], 4);  // the alpha of a 32-bit source
  FreeMemory(block);
  EXPECT_EQ(FindImageEncoder(0x474E50), nullptr);
}

int32_t RefuseEverything(ImageDecodeContext*) {
  return 0;
}

TEST_F(BmpTest, RegistryHoldsThirtyDecodersAndNoDuplicates) {
  static ImageDecoderPlugin others[MaxImageCodecs];
  int32_t accepted = 0;
  for (ImageDecoderPlugin& plugin : others) {
    plugin = ImageDecoderPlugin{RefuseEverything, nullptr, nullptr, 0x585858};
    accepted += RegisterImageDecoder(&plugin);
  }
  EXPECT_LT(accepted, MaxImageCodecs);
  EXPECT_EQ(RegisterImageDecoder(&others[0]), 0);
  EXPECT_EQ(RegisterImageDecoder(&others[MaxImageCodecs - 1]), 0);
  const Bytes header = Headers({1, 1, 24});
  EXPECT_EQ(IdentifyImageData(header.data(), 54), ImageFormatBmp);
  FinishImageDecode();
}

// --- Decoding every depth ---

TEST_F(BmpTest, Decodes24BitRowsBottomUpIntoEitherBufferOrder) {
  const Bytes bottom = {0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0};  // blue, green, red, padding
  const Bytes top = {255, 255, 255, 0, 0, 0, 128, 64, 32, 0, 0, 0};
  const Bytes file = Headers({3, 2, 24}) + bottom + top;
  const Bytes top_first = {255, 255, 255, 0, 0, 0, 32, 64, 128, 255, 0, 0, 0, 255, 0, 0, 0, 255};
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(decoded.depth, 24u);
  EXPECT_EQ(decoded.pixels, top_first);

  const Decoded bottom_up = Decode(file, ImageRowsBottomUp);
  ASSERT_EQ(bottom_up.result, 1);
  EXPECT_EQ(Bytes(bottom_up.pixels.begin(), bottom_up.pixels.begin() + 9),
            Bytes(top_first.begin() + 9, top_first.end()));
}

TEST_F(BmpTest, NegativeHeightStoresRowsTopDown) {
  const Bytes file = Headers({1, -2, 24}) + Bytes{1, 2, 3, 0, 4, 5, 6, 0};
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(decoded.height, 2);
  EXPECT_EQ(decoded.pixels, (Bytes{3, 2, 1, 6, 5, 4}));
  EXPECT_EQ(Decode(file, ImageRowsBottomUp).pixels, (Bytes{6, 5, 4, 3, 2, 1}));
}

TEST_F(BmpTest, ThirtyTwoBitKeepsAlphaOnlyWhenSomePixelHasIt) {
  const Bytes with_alpha = Headers({2, 1, 32}) + Bytes{10, 20, 30, 0, 40, 50, 60, 128};
  const Decoded rgba = Decode(with_alpha);
  ASSERT_EQ(rgba.result, 1);
  EXPECT_EQ(rgba.depth, 32u);
  EXPECT_EQ(rgba.pixels, (Bytes{30, 20, 10, 0, 60, 50, 40, 128}));

  const Bytes no_alpha = Headers({2, 1, 32}) + Bytes{10, 20, 30, 0, 40, 50, 60, 0};
  const Decoded rgb = Decode(no_alpha);
  ASSERT_EQ(rgb.result, 1);
  EXPECT_EQ(rgb.depth, 24u);
  EXPECT_EQ(rgb.pixels, (Bytes{30, 20, 10, 60, 50, 40}));
}

TEST_F(BmpTest, OneBitFollowsItsPaletteAcrossByteBoundaries) {
  const Bytes palette = {0, 0, 255, 0, 255, 255, 0, 0};  // red, then cyan
  const Bytes file = Headers({10, 1, 1, 0, 0, 2}) + palette + Bytes{0b10110000, 0b01000000, 0, 0};
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  const int32_t cyan_at[] = {0, 2, 3, 9};
  for (int32_t x = 0; x < 10; ++x) {
    const bool cyan = std::find(std::begin(cyan_at), std::end(cyan_at), x) != std::end(cyan_at);
    const Bytes expected = cyan ? Bytes{0, 255, 255} : Bytes{255, 0, 0};
    EXPECT_EQ(Bytes(decoded.pixels.begin() + x * 3, decoded.pixels.begin() + x * 3 + 3), expected)
        << x;
  }
}

TEST_F(BmpTest, FourBitWritesExactlyWidthPixels) {
  Bytes palette;
  for (uint8_t i = 0; i < 16; ++i)
    palette.insert(palette.end(), {i, static_cast<uint8_t>(i * 2), static_cast<uint8_t>(i * 3), 0});
  const Bytes file = Headers({5, 1, 4, 0, 0, 16}) + palette + Bytes{0x12, 0x34, 0x5F, 0};
  ASSERT_EQ(IdentifyImageData(file.data(), static_cast<uint32_t>(file.size())), ImageFormatBmp);
  Bytes buffer(8 * 3, kUnwritten);
  ASSERT_EQ(DecodeImagePixels(buffer.data(), 8 * 3, 0), 1);
  FinishImageDecode();
  const Bytes expected = {3, 2, 1, 6, 4, 2, 9, 6, 3, 12, 8, 4, 15, 10, 5};
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 15), expected);
  EXPECT_EQ(Bytes(buffer.begin() + 15, buffer.end()), Bytes(9, kUnwritten));
}

TEST_F(BmpTest, EightBitUsesColoursUsedEntries) {
  const Bytes palette = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
  const Bytes file = Headers({3, 1, 8, 0, 3, 3}) + palette + Bytes{2, 0, 1, 0};
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(decoded.pixels, (Bytes{9, 8, 7, 3, 2, 1, 6, 5, 4}));
}

TEST_F(BmpTest, Rle8RunThenEndOfBitmapFillsTheStartOfTheBottomRow) {
  Bytes palette(256 * 4, 0);
  palette[7 * 4 + 2] = 200;
  const Bytes file = Headers({4, 2, 8, 1, 0, 256}) + palette + Bytes{3, 7, 0, 1};
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  const Bytes bottom(decoded.pixels.begin() + 12, decoded.pixels.end());
  EXPECT_EQ(bottom, (Bytes{200, 0, 0, 200, 0, 0, 200, 0, 0, kUnwritten, kUnwritten, kUnwritten}));
  EXPECT_EQ(Bytes(decoded.pixels.begin(), decoded.pixels.begin() + 12), Bytes(12, kUnwritten));
}

TEST_F(BmpTest, Rle8EndOfLineLiteralAndDeltaEscapes) {
  const Bytes palette = {0, 0, 10, 0, 0, 0, 20, 0, 0, 0, 30, 0, 0, 0, 40, 0};
  const Bytes rle = {
      2, 1,              // file row 0: two of colour 1
      0, 0,              // end of line
      0, 3, 2, 3, 0, 0,  // file row 1: literal 2, 3, 0 and a pad byte
      0, 2, 0, 1,        // delta: down one row, to x 3 of file row 2
      1, 1,              // one of colour 1 at x 3
      0, 1,              // end of bitmap
  };
  const Bytes file = Headers({4, 3, 8, 1, 4, 4}) + palette + rle;
  const Decoded decoded = Decode(file, ImageRowsBottomUp);
  ASSERT_EQ(decoded.result, 1);
  auto red = [&](int32_t x, int32_t y) { return decoded.pixels[(y * 4 + x) * 3]; };
  EXPECT_EQ(red(0, 0), 20);
  EXPECT_EQ(red(1, 0), 20);
  EXPECT_EQ(red(2, 0), kUnwritten);
  EXPECT_EQ(red(0, 1), 30);
  EXPECT_EQ(red(1, 1), 40);
  EXPECT_EQ(red(2, 1), 10);
  EXPECT_EQ(red(3, 1), kUnwritten);
  EXPECT_EQ(red(2, 2), kUnwritten);
  EXPECT_EQ(red(3, 2), 20);
}

TEST_F(BmpTest, SixteenBitDefaultsToFiveFiveFive) {
  // Three pixels fill six bytes; the row is padded by two.
  const Bytes file = Headers({3, 1, 16}) + Bytes{0x00, 0x7C, 0xE0, 0x03, 0xFF, 0x7F, 0, 0};
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(decoded.pixels, (Bytes{248, 0, 0, 0, 248, 0, 248, 248, 248}));
}

Bytes Masks(uint32_t red, uint32_t green, uint32_t blue) {
  Bytes bytes;
  Put32(bytes, red);
  Put32(bytes, green);
  Put32(bytes, blue);
  return bytes;
}

TEST_F(BmpTest, SixteenBitBitFieldsFollowTheirMasks) {
  // The masks take the place of a three-entry palette.
  const Bytes pixels = {0xE0, 0x03, 0x00, 0x7C, 0x1F, 0x00, 0, 0};
  const Bytes five_six_five = Headers({3, 1, 16, 3, 0, 3}) + Masks(0xF800, 0x07E0, 0x001F) + pixels;
  const Decoded wide_green = Decode(five_six_five);
  ASSERT_EQ(wide_green.result, 1);
  EXPECT_EQ(wide_green.pixels, (Bytes{0, 124, 0, 120, 128, 0, 0, 0, 248}));

  const Bytes five_five_five =
      Headers({3, 1, 16, 3, 0, 3}) + Masks(0x7C00, 0x03E0, 0x001F) + pixels;
  const Decoded narrow_green = Decode(five_five_five);
  ASSERT_EQ(narrow_green.result, 1);
  EXPECT_EQ(narrow_green.pixels, (Bytes{0, 248, 0, 248, 0, 0, 0, 0, 248}));
}

// Every pixel the decoder wrote must be the one Qt reads, alpha too when both have it.
// Returns how many pixels were left unwritten (run-length skips), whatever Qt put there.
int32_t CompareWithQt(const Decoded& decoded, const Bytes& file) {
  QImage qt;
  if (!qt.loadFromData(file.data(), static_cast<int>(file.size()), "BMP") ||
      qt.width() != decoded.width || qt.height() != decoded.height) {
    ADD_FAILURE() << "Qt reads the file otherwise";
    return -1;
  }
  EXPECT_EQ(decoded.depth == 32, qt.hasAlphaChannel());
  qt.convertTo(QImage::Format_RGBA8888);
  const int32_t channels = static_cast<int32_t>(decoded.depth / 8);
  int32_t unwritten = 0;
  for (int32_t i = 0; i < decoded.width * decoded.height; ++i) {
    const uint8_t* ours = &decoded.pixels[i * channels];
    const uint8_t* theirs = qt.constScanLine(i / decoded.width) + i % decoded.width * 4;
    if (ours[0] == kUnwritten && ours[1] == kUnwritten && ours[2] == kUnwritten) {
      ++unwritten;
      continue;
    }
    EXPECT_EQ(Bytes(ours, ours + channels), Bytes(theirs, theirs + channels)) << "pixel " << i;
  }
  return unwritten;
}

// Regression: 32-bit bit-field files were read as blue, green, red, alpha whatever their masks.
// Qt keeps the low bits of fields wider than 8 and refuses compression 6, so those two layouts
// are checked against what their fields hold.
TEST_F(BmpTest, ThirtyTwoBitPixelsFollowTheirMasks) {
  struct MaskLayout {
    uint32_t info_size;  // the masks lie inside a larger info header, or follow a 40-byte one
    uint32_t compression;
    uint32_t masks[4];  // red, green, blue, alpha
    uint32_t pixels[2];
    Bytes expected;  // empty: as Qt reads the file
  };
  const MaskLayout layouts[] = {
      {124, 3, {0xFF000000, 0xFF0000, 0xFF00, 0xFF}, {0x11223344, 0xAABBCC80}, {}},
      {40, 3, {0xFF, 0xFF00, 0xFF0000, 0}, {0x7F332211, 0x01CCBBAA}, {}},
      {124,
       3,
       {0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000},
       {3u << 30 | 1023 << 20 | 512 << 10 | 3, 1u << 30 | 4 << 20 | 1020 << 10 | 700},
       {255, 128, 0, 255, 1, 255, 175, 85}},
      {40,
       6,
       {0xFF00, 0xFF0000, 0xFF000000, 0xFF},
       {0x332211C0, 0x99887700},
       {0x11, 0x22, 0x33, 0xC0, 0x77, 0x88, 0x99, 0}},
  };
  for (const MaskLayout& layout : layouts) {
    Bytes masks;
    Bytes pixels;
    for (uint32_t mask : layout.masks)
      Put32(masks, mask);
    for (uint32_t pixel : layout.pixels)
      Put32(pixels, pixel);
    masks.resize(layout.info_size > 40 ? layout.info_size - 40 : layout.compression == 6 ? 16 : 12);
    const auto mask_words = static_cast<uint32_t>(masks.size() / 4);
    Bytes file = Headers({2, 1, 32, layout.compression, 0, mask_words}) + masks + pixels;
    file[14] = static_cast<uint8_t>(layout.info_size);
    const Decoded decoded = Decode(file);
    ASSERT_EQ(decoded.result, 1) << std::hex << layout.masks[0];
    if (layout.expected.empty()) {
      EXPECT_EQ(CompareWithQt(decoded, file), 0) << std::hex << layout.masks[0];
    } else {
      EXPECT_EQ(decoded.pixels, layout.expected) << std::hex << layout.masks[0];
    }
  }
}

// Regression: RLE4 decoded as a success without writing a pixel.
TEST_F(BmpTest, Rle4RunsLiteralsDeltasAndLineEndsMatchQt) {
  Bytes palette;
  for (uint8_t i = 0; i < 16; ++i)
    palette.insert(palette.end(),
                   {static_cast<uint8_t>(i * 16), static_cast<uint8_t>(255 - i), 40, 0});
  const Bytes rle = {
      3, 0x12,                       // file row 0: 1, 2, 1
      0, 0,                          // end of line: five pixels skipped
      0, 5,    0x34, 0x56, 0x70, 0,  // literal 3, 4, 5, 6, 7: three bytes and a pad byte
      0, 2,    1,    1,              // delta to x 6 of file row 2: skips 3 + 6 pixels
      2, 0xAB,                       // A, B
      0, 0,                          // end of line
      0, 3,    0xDE, 0xF0,           // literal D, E, F: two bytes, no pad
      5, 0x9C,                       // 9, C, 9, C, 9
      0, 1,                          // end of bitmap
  };
  const Bytes file = Headers({8, 4, 4, 2, 0, 16}) + palette + rle;
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(CompareWithQt(decoded, file), 5 + 3 + 6);
}

// The 12-byte info header: 16-bit width and height, 2^bits palette entries of 3 bytes.
Bytes CoreFile(int32_t width, int32_t height, uint16_t bits) {
  const uint32_t entries = bits <= 8 ? 1u << bits : 0;
  Bytes file = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0};
  Put32(file, 26 + 3 * entries);
  Put32(file, 12);
  for (uint16_t field :
       {static_cast<uint16_t>(width), static_cast<uint16_t>(height), uint16_t{1}, bits})
    Put16(file, field);
  for (uint32_t i = 0; i < entries * 3; ++i)
    file.push_back(static_cast<uint8_t>(i * 37 + 1));
  for (int32_t i = 0; i < (width * bits + 31) / 32 * 4 * height; ++i)
    file.push_back(static_cast<uint8_t>(i * 29 + 7));
  return file;
}

// Regression: files with the 12-byte info header of early writers were refused.
TEST_F(BmpTest, CoreHeaderFilesDecodeAsQtDoes) {
  for (uint16_t bits : {1, 4, 8, 24}) {
    const Bytes file = CoreFile(13, 3, bits);
    const Decoded decoded = Decode(file);
    ASSERT_EQ(decoded.result, 1) << bits;
    EXPECT_EQ(CompareWithQt(decoded, file), 0) << bits;
  }
}

// Regression: kinds the decoder does not read were reported as decoded, with no pixels.
TEST_F(BmpTest, RefusesKindsItDoesNotDecode) {
  struct Kind {
    uint16_t bits;
    uint32_t compression;
    uint32_t info_size;
  };
  const Kind kinds[] = {
      {2, 0, 40},  {64, 0, 40}, {0, 4, 40},  {0, 5, 40},  {24, 4, 40},  // 2, 64, JPEG, PNG
      {24, 4, 64}, {1, 3, 64},                                          // RLE24, Huffman
      {4, 1, 40},  {8, 2, 40},  {16, 1, 40}, {24, 3, 40}, {32, 11, 40},
  };
  for (const Kind& kind : kinds) {
    Bytes file = Headers({2, 2, kind.bits, kind.compression, 0, 64}) + Bytes(320, 0);
    file[14] = static_cast<uint8_t>(kind.info_size);
    const Decoded decoded = Decode(file);
    EXPECT_EQ(decoded.format, ImageFormatBmp) << kind.bits << " " << kind.compression;
    EXPECT_EQ(decoded.result, 0) << kind.bits << " " << kind.compression;
  }
  for (uint16_t bits : {16, 32})
    EXPECT_EQ(Decode(CoreFile(2, 2, bits)).result, 0) << bits;
}

// --- Malformed files ---

TEST_F(BmpTest, RefusesTruncatedAndForeignHeaders) {
  const Bytes truncated = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                           0,   0,   0, 1, 0, 0, 0, 1, 0, 0, 0,  1, 0, 24, 0};
  EXPECT_EQ(IdentifyImageData(truncated.data(), static_cast<uint32_t>(truncated.size())), 0u);
  // A 12-byte header cut short, and an info header size no writer uses.
  const Bytes core = CoreFile(1, 1, 24);
  EXPECT_EQ(IdentifyImageData(core.data(), 25), 0u);
  Bytes odd_size = core;
  odd_size[14] = 16;
  EXPECT_EQ(IdentifyImageData(odd_size.data(), static_cast<uint32_t>(odd_size.size())), 0u);
}

TEST_F(BmpTest, RefusesSizesThatAreNegativeHugeOrOverflow) {
  struct Case {
    int32_t width;
    int32_t height;
  };
  const Case cases[] = {{0, 1},
                        {-5, 1},
                        {1, 0},
                        {0x7FFFFFFF, 1},
                        {1, INT32_MIN},
                        {65536, 65536},
                        {0x10000, -0x10000},
                        {1 << 21, 1}};
  for (const Case& c : cases) {
    const Bytes file = Headers({c.width, c.height, 24}) + Bytes(16, 0);
    EXPECT_EQ(IdentifyImageData(file.data(), static_cast<uint32_t>(file.size())), 0u)
        << c.width << " x " << c.height;
  }
}

// Each limit is accepted and one beyond it refused, whichever way the rows are stored; the
// accepted sizes are what the header says (the height as a row count).
TEST_F(BmpTest, AcceptsEachLargestSizeAndRefusesOneBeyond) {
  constexpr int32_t kSide = 1 << 14;  // kSide × kSide pixels is the most accepted
  static_assert(int64_t{kSide} * kSide == BmpMaxPixels);
  struct Case {
    int32_t width;
    int32_t height;
    bool accepted;
  };
  const Case cases[] = {{BmpMaxDimension, 1, true},
                        {BmpMaxDimension + 1, 1, false},
                        {1, BmpMaxDimension, true},
                        {1, BmpMaxDimension + 1, false},
                        {kSide, kSide, true},
                        {kSide, kSide + 1, false},
                        {BmpMaxPixels / BmpMaxDimension, BmpMaxDimension, true},
                        {BmpMaxPixels / BmpMaxDimension + 1, BmpMaxDimension, false}};
  for (const Case& c : cases) {
    for (int32_t sign : {1, -1}) {
      const Bytes file = Headers({c.width, sign * c.height, 24}) + Bytes(16, 0);
      const uint32_t format = IdentifyImageData(file.data(), static_cast<uint32_t>(file.size()));
      EXPECT_EQ(format != 0, c.accepted) << c.width << " x " << sign * c.height;
      if (format == 0) continue;
      EXPECT_EQ(CurrentImageDecodeContext()->width, c.width);
      EXPECT_EQ(CurrentImageDecodeContext()->height, c.height);
      FinishImageDecode();
    }
  }
}

TEST_F(BmpTest, RefusesPalettesBeyondTheDataOrBeyond256) {
  const Bytes two_entries = {0, 0, 0, 0, 255, 255, 255, 0};
  const Bytes claims_200 = Headers({2, 1, 8, 0, 200, 2}) + two_entries + Bytes{0, 1, 0, 0};
  EXPECT_EQ(Decode(claims_200).result, 0);
  const Bytes claims_257 = Headers({2, 1, 8, 0, 257, 257}) + Bytes(257 * 4, 0) + Bytes{0, 1, 0, 0};
  EXPECT_EQ(Decode(claims_257).result, 0);
}

TEST_F(BmpTest, RefusesIndicesPastThePalette) {
  const Bytes two_entries = {0, 0, 0, 0, 255, 255, 255, 0};
  EXPECT_EQ(Decode(Headers({2, 1, 8, 0, 2, 2}) + two_entries + Bytes{1, 5, 0, 0}).result, 0);
  EXPECT_EQ(Decode(Headers({2, 1, 4, 0, 2, 2}) + two_entries + Bytes{0x12, 0, 0, 0}).result, 0);
  EXPECT_EQ(Decode(Headers({2, 1, 1, 0, 1, 1}) + Bytes{0, 0, 0, 0} + Bytes{0x40, 0, 0, 0}).result,
            0);
  EXPECT_EQ(Decode(Headers({2, 1, 8, 1, 2, 2}) + two_entries + Bytes{2, 9, 0, 1}).result, 0);
}

TEST_F(BmpTest, RefusesPixelDataCutShortKeepingRowsWritten) {
  const Bytes file = Headers({1, 2, 24}) + Bytes{1, 2, 3, 0, 4, 5};
  const Decoded decoded = Decode(file);
  EXPECT_EQ(decoded.result, 0);
  EXPECT_EQ(decoded.pixels, (Bytes{kUnwritten, kUnwritten, kUnwritten, 3, 2, 1}));

  Bytes far_offset = Headers({1, 1, 24}) + Bytes{1, 2, 3, 0};
  far_offset[10] = 0xF0;
  far_offset[13] = 0xFF;
  EXPECT_EQ(Decode(far_offset).result, 0);
}

TEST_F(BmpTest, RefusesRle8ThatLeavesTheBitmapOrNeverEnds) {
  const Bytes palette = {0, 0, 10, 0, 0, 0, 20, 0};
  const Layout layout{4, 2, 8, 1, 2, 2};
  const Bytes below_the_bitmap = {0, 2, 0, 2, 1, 1, 0, 1};
  const Bytes missing_end = {2, 1, 0, 0};
  const Bytes missing_pad = {0, 3, 1, 1, 1};
  const Bytes cut_delta = {0, 2, 1};
  const Bytes index_past_palette = {1, 7, 0, 1};
  for (const Bytes& rle :
       {below_the_bitmap, missing_end, missing_pad, cut_delta, index_past_palette}) {
    EXPECT_EQ(Decode(Headers(layout) + palette + rle).result, 0);
  }
}

// Writers let a row's last run cover the row's padding; what lies past the width is dropped.
TEST_F(BmpTest, Rle8RunsPastTheRowEndAreClippedToTheRow) {
  const Bytes palette = {0, 0, 10, 0, 0, 0, 20, 0};
  const Layout layout{4, 2, 8, 1, 2, 2};
  const Bytes rows = {
      0, 3, 1, 1, 1, 0,  // literal 1, 1, 1 and a pad byte
      5, 0,              // five of colour 0 from x 3: one lands, four are padding
      0, 0,              // end of line
      6, 1,              // six of colour 1 over a row of four
      0, 1,              // end of bitmap
  };
  const Decoded decoded = Decode(Headers(layout) + palette + rows, ImageRowsBottomUp);
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(decoded.pixels, (Bytes{20, 0, 0, 20, 0, 0, 20, 0, 0, 10, 0, 0,  //
                                   20, 0, 0, 20, 0, 0, 20, 0, 0, 20, 0, 0}));
}

TEST_F(BmpTest, RefusesBitFieldsWithoutOrWithBrokenMasks) {
  EXPECT_EQ(Decode(Headers({1, 1, 16, 3}) + Bytes{0xFF, 0x7F, 0, 0}).result, 0);
  const Bytes scattered = Masks(0xF00F, 0x07E0, 0x0010);
  EXPECT_EQ(Decode(Headers({1, 1, 16, 3, 0, 3}) + scattered + Bytes{0xFF, 0x7F, 0, 0}).result, 0);
}

TEST_F(BmpTest, RefusesAPitchShorterThanARow) {
  const Bytes file = Headers({2, 1, 24}) + Bytes{1, 2, 3, 4, 5, 6, 0, 0};
  ASSERT_EQ(IdentifyImageData(file.data(), static_cast<uint32_t>(file.size())), ImageFormatBmp);
  Bytes buffer(6, kUnwritten);
  EXPECT_EQ(DecodeImagePixels(buffer.data(), 5, 0), 0);
  EXPECT_EQ(DecodeImagePixels(nullptr, 6, 0), 0);
  FinishImageDecode();
  EXPECT_EQ(DecodeImagePixels(buffer.data(), 6, 0), 0);
}

TEST_F(BmpTest, HasAlphaLooksOnlyWithinTheData) {
  Bytes file = Headers({1, 2, 32}) + Bytes{0, 0, 0, 9};
  EXPECT_EQ(BmpHasAlpha(file.data(), file.size(), 1, 1), 1);
  // A second row would lie past the end.
  EXPECT_EQ(BmpHasAlpha(file.data(), file.size(), 1, 2), 0);
  EXPECT_EQ(BmpHasAlpha(file.data(), file.size(), -1, 1), 0);
  file[12] = 0x10;  // pixel data offset far beyond the end
  EXPECT_EQ(BmpHasAlpha(file.data(), file.size(), 1, 1), 0);
}

// --- Encoding ---

struct BlockDeleter {
  void operator()(uint8_t* block) const { FreeMemory(block); }
};
using Block = std::unique_ptr<uint8_t, BlockDeleter>;

Bytes EncodeToBytes(const Bytes& pixels, int32_t width, int32_t height, int32_t depth,
                    int32_t source_depth, uint32_t flags = 0, int64_t pitch = 0,
                    uint32_t options = 0) {
  if (pitch == 0) pitch = static_cast<int64_t>(width) * (source_depth / 8);
  Block block(reinterpret_cast<uint8_t*>(EncodeBmp(nullptr, pixels.data(), width, height, pitch,
                                                   flags, options, depth, source_depth)));
  if (block == nullptr) return {};
  return Bytes(block.get(), block.get() + BlockSize(block.get()));
}

Bytes Gradient(int32_t width, int32_t height, int32_t channels) {
  Bytes pixels;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      pixels.insert(pixels.end(), {static_cast<uint8_t>(x * 40), static_cast<uint8_t>(y * 50),
                                   static_cast<uint8_t>(x * y * 7)});
      if (channels == 4) pixels.push_back(static_cast<uint8_t>(255 - x - y));
    }
  }
  return pixels;
}

// Test processes may run side by side, so each names its own files.
std::string TemporaryPath(const char* name) {
  return ::testing::TempDir() + "brevik_" + std::to_string(getpid()) + "_" + name;
}

bool FileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

TEST_F(BmpTest, EncoderRefusesOtherDepthsAndWritesNoFile) {
  const Bytes pixels = Gradient(2, 2, 3);
  const std::string path = TemporaryPath("depth16.bmp");
  std::remove(path.c_str());
  for (int32_t depth : {0, 2, 16, 33, 64, -8})
    EXPECT_EQ(EncodeBmp(path.c_str(), pixels.data(), 2, 2, 6, 0, 0, depth, 24), 0) << depth;
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(EncodeBmp(nullptr, pixels.data(), 2, 2, 5, 0, 0, 24, 24), 0);
  EXPECT_EQ(EncodeBmp(nullptr, pixels.data(), 2, 2, 6, 0, 0, 24, 16), 0);
  EXPECT_EQ(EncodeBmp(nullptr, pixels.data(), 0, 2, 6, 0, 0, 24, 24), 0);
}

TEST_F(BmpTest, EightBitHeadersAndPaletteTake1078Bytes) {
  const Bytes file = EncodeToBytes(Gradient(5, 3, 3), 5, 3, 8, 24);
  ASSERT_EQ(file.size(), 1078u + 8 * 3);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[1], 'M');
  EXPECT_EQ(Get32(&file[2]), file.size());
  EXPECT_EQ(Get32(&file[10]), 1078u);
  EXPECT_EQ(Get32(&file[14]), 40u);
  EXPECT_EQ(Get32(&file[34]), 8u * 3);
  EXPECT_EQ(file[28], 8);
}

TEST_F(BmpTest, TwentyFourBitRowsArePaddedWithZeros) {
  const Bytes file = EncodeToBytes(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}, 3, 1, 24, 24);
  ASSERT_EQ(file.size(), 54u + 12);
  EXPECT_EQ(Bytes(file.begin() + 54, file.end()), (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0}));
}

class TrueColourRoundTripTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TrueColourRoundTripTest, TwentyFourAndThirtyTwoBitsAreExact) {
  const uint32_t flags = GetParam();
  InitImageDecodeContext();
  RegisterBmpCodec();
  const Bytes rgb = Gradient(5, 3, 3);
  const Decoded from24 = Decode(EncodeToBytes(rgb, 5, 3, 24, 24, flags), flags);
  ASSERT_EQ(from24.result, 1);
  EXPECT_EQ(from24.pixels, rgb);

  const Bytes rgba = Gradient(5, 3, 4);
  const Decoded from32 = Decode(EncodeToBytes(rgba, 5, 3, 32, 32, flags), flags);
  ASSERT_EQ(from32.result, 1);
  EXPECT_EQ(from32.depth, 32u);
  EXPECT_EQ(from32.pixels, rgba);
}

INSTANTIATE_TEST_SUITE_P(BufferOrders, TrueColourRoundTripTest,
                         ::testing::Values(0u, ImageRowsBottomUp));

TEST_F(BmpTest, TwentyFourBitSourceAtThirtyTwoBitsHasZeroAlpha) {
  const Bytes rgb = Gradient(3, 2, 3);
  const Bytes file = EncodeToBytes(rgb, 3, 2, 32, 24);
  ASSERT_EQ(file.size(), 54u + 3 * 4 * 2);
  for (size_t i = 54 + 3; i < file.size(); i += 4)
    EXPECT_EQ(file[i], 0) << i;
  const Decoded decoded = Decode(file);
  EXPECT_EQ(decoded.depth, 24u);
  EXPECT_EQ(decoded.pixels, rgb);
}

TEST_F(BmpTest, ThirtyTwoBitSourceAtTwentyFourBitsDropsAlpha) {
  const Bytes rgba = Gradient(3, 2, 4);
  const Decoded decoded = Decode(EncodeToBytes(rgba, 3, 2, 24, 32));
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(decoded.pixels, Gradient(3, 2, 3));
}

TEST_F(BmpTest, PaddedSourceRowsAreReadAtTheirPitch) {
  const Bytes rgb = Gradient(3, 2, 3);
  Bytes padded(rgb.begin(), rgb.begin() + 9);
  padded.insert(padded.end(), {0xAB, 0xCD, 0xEF});
  padded.insert(padded.end(), rgb.begin() + 9, rgb.end());
  const Decoded decoded = Decode(EncodeToBytes(padded, 3, 2, 24, 24, 0, 12));
  ASSERT_EQ(decoded.result, 1);
  EXPECT_EQ(decoded.pixels, rgb);
}

TEST_F(BmpTest, OneBitRoundTripSplitsByLuminance) {
  Bytes rgb;
  // Three greys, so that the picture does not fit a two-colour palette as it is.
  for (int32_t x = 0; x < 11; ++x) {
    const uint8_t level = x % 3 == 0 ? 200 : static_cast<uint8_t>(40 * (x % 3));
    rgb.insert(rgb.end(), {level, level, level});
  }
  rgb.insert(rgb.end(), rgb.begin(), rgb.end());
  const Bytes file = EncodeToBytes(rgb, 11, 2, 1, 24);
  ASSERT_EQ(file.size(), 54u + 8 + 4 * 2);
  const Decoded decoded = Decode(file);
  ASSERT_EQ(decoded.result, 1);
  for (int32_t i = 0; i < 22; ++i) {
    const uint8_t expected = (i % 11) % 3 == 0 ? 255 : 0;
    EXPECT_EQ(decoded.pixels[i * 3], expected) << i;
  }
}

// Regression: a picture whose colours all fit the palette came back altered by learning (151
// colours at 8 bits by up to 72 per channel).
TEST_F(BmpTest, ColoursThatFitThePaletteSurviveExactly) {
  for (const auto& [depth, colours] : {std::pair{1, 2}, {4, 16}, {8, 151}, {8, 256}}) {
    Bytes rgb;
    for (int32_t i = 0; i < 31 * 27; ++i) {
      // Odd multipliers make the red channel, and so the colour, different for every k.
      const int32_t k = i % colours;
      rgb.insert(rgb.end(), {static_cast<uint8_t>(k * 167), static_cast<uint8_t>(k * 73 + 40),
                             static_cast<uint8_t>(k * 211 + 90)});
    }
    for (uint32_t flags : {0u, ImageRowsBottomUp}) {
      for (uint32_t options : {0u, QuantizeDither}) {
        const Decoded decoded =
            Decode(EncodeToBytes(rgb, 31, 27, depth, 24, flags, 0, options), flags);
        ASSERT_EQ(decoded.result, 1);
        EXPECT_EQ(decoded.pixels, rgb) << colours << " colours at " << depth << " bits, flags "
                                       << flags << ", options " << options;
      }
    }
  }
}

// The mean over columns and channels of how far a column's average strays from the source's:
// dithering that works only along rows leaves stripes down the picture. Both are top row first.
double ColumnError(const Bytes& decoded, const Bytes& source, int32_t side) {
  double total = 0;
  for (int32_t i = 0; i < side * 3; ++i) {
    int32_t difference = 0;
    for (int32_t y = 0; y < side; ++y)
      difference += decoded[y * side * 3 + i] - source[y * side * 3 + i];
    total += std::abs(difference) / static_cast<double>(side);
  }
  return total / (side * 3);
}

// Regression: with a top-down source the encoder asks for the last row first, and each row's
// error went into the row below it, which was already written.
TEST_F(BmpTest, DitheringServesTopDownAndBottomUpSourcesAlike) {
  // A grey ramp across, every row alike, so that both row orders hand over the same bytes.
  constexpr int32_t kSide = 64;
  Bytes ramp;
  for (int32_t i = 0; i < kSide * kSide; ++i) {
    const auto grey = static_cast<uint8_t>(i % kSide * 4);
    ramp.insert(ramp.end(), {grey, grey, grey});
  }
  const Decoded from_top = Decode(EncodeToBytes(ramp, kSide, kSide, 4, 24, 0, 0, QuantizeDither));
  const Decoded from_bottom =
      Decode(EncodeToBytes(ramp, kSide, kSide, 4, 24, ImageRowsBottomUp, 0, QuantizeDither));
  ASSERT_EQ(from_top.result, 1);
  ASSERT_EQ(from_bottom.result, 1);
  const double top_error = ColumnError(from_top.pixels, ramp, kSide);
  const double bottom_error = ColumnError(from_bottom.pixels, ramp, kSide);
  EXPECT_LE(top_error, bottom_error * 1.1) << "bottom-up source: " << bottom_error;
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return Bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

Decoded DecodeFile(const std::string& path) {
  Decoded decoded;
  decoded.format = IdentifyImageFile(path.c_str());
  if (decoded.format == 0) return decoded;
  const ImageDecodeContext* context = CurrentImageDecodeContext();
  const int64_t pitch = static_cast<int64_t>(context->width) * (context->output_depth / 8);
  decoded.pixels.assign(pitch * context->height, kUnwritten);
  decoded.result = DecodeImagePixels(decoded.pixels.data(), pitch, 0);
  FinishImageDecode();
  return decoded;
}

TEST_F(BmpTest, FileAndMemoryEncodingsAgreeAndFilesDecode) {
  const Bytes rgba = Gradient(6, 4, 4);
  const std::string path = TemporaryPath("round_trip.bmp");
  ASSERT_EQ(EncodeBmp(path.c_str(), rgba.data(), 6, 4, 24, 0, 0, 8, 32), 1);
  EXPECT_EQ(ReadWholeFile(path), EncodeToBytes(rgba, 6, 4, 8, 32));

  ASSERT_EQ(IdentifyImageFile(path.c_str()), ImageFormatBmp);
  EXPECT_EQ(CurrentImageDecodeContext()->width, 6);
  Bytes pixels(6 * 4 * 3);
  EXPECT_EQ(DecodeImagePixels(pixels.data(), 18, 0), 1);
  FinishImageDecode();
  EXPECT_EQ(CurrentImageDecodeContext()->file, nullptr);
  std::remove(path.c_str());
}

// A file larger than the encoder's buffer is written in pieces; read back from disk, whole
// or cut short, it decodes as its bytes do from memory.
TEST_F(BmpTest, FilesWriteInPiecesAndDecodeAsTheirBytesDo) {
  constexpr int32_t kWidth = 301;
  constexpr int32_t kHeight = 300;
  const Bytes rgb = Gradient(kWidth, kHeight, 3);
  const std::string path = TemporaryPath("large.bmp");
  ASSERT_EQ(EncodeBmp(path.c_str(), rgb.data(), kWidth, kHeight, kWidth * 3, 0, 0, 24, 24), 1);
  const Bytes file = ReadWholeFile(path);
  ASSERT_EQ(file, EncodeToBytes(rgb, kWidth, kHeight, 24, 24));
  for (size_t size : {file.size(), file.size() - 1000}) {
    const Bytes bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(size));
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
    const Decoded from_file = DecodeFile(path);
    const Decoded from_memory = Decode(bytes);
    EXPECT_EQ(from_file.result, from_memory.result) << size;
    EXPECT_TRUE(from_file.pixels == from_memory.pixels) << size;
  }
  EXPECT_EQ(Decode(file).pixels, rgb);
  std::remove(path.c_str());
}

TEST_F(BmpTest, UnwritableFileFailsAndLeavesNothing) {
  const Bytes rgb = Gradient(2, 2, 3);
  const std::string path = TemporaryPath("no_such_folder/out.bmp");
  EXPECT_EQ(EncodeBmp(path.c_str(), rgb.data(), 2, 2, 6, 0, 0, 24, 24), 0);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(IdentifyImageFile(path.c_str()), 0u);

  const std::string not_bmp = TemporaryPath("not_a.bmp");
  std::ofstream(not_bmp) << std::string(60, 'x');
  EXPECT_EQ(IdentifyImageFile(not_bmp.c_str()), 0u);
  EXPECT_EQ(CurrentImageDecodeContext()->file, nullptr);
  std::remove(not_bmp.c_str());
}

}  // namespace
