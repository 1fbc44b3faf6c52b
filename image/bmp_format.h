// The BMP format as Brevik's codec reads and writes it: the file header and the info header
// at the start of every file, field by field, the codes of its compression and run lengths,
// and its blue, green, red order of colours.
#pragma once

#include <cstdint>

namespace bmp {

// The file header and the info header as they lie at the start of every BMP file; all
// fields are little-endian. The decoder reads and the encoder writes these offsets only.
//
//   offset size  field
//    0     2     signature "BM"
//    2     4     file size (not trusted when reading)
//    6     2     reserved, 0
//    8     2     reserved, 0
//   10     4     pixel data offset
//   14     4     info header size: 12 in early files (below), else 40 or more; the palette
//                follows the info header
//   18     4     width
//   22     4     height: rows stored bottom-up, or top-down when negative
//   26     2     planes, 1
//   28     2     bits per pixel
//   30     4     compression: 0 none, 1 RLE8, 2 RLE4, 3 bit fields, 6 bit fields with alpha
//   34     4     image size (not trusted when reading)
//   38     8     pixels per metre across and down, 0 when writing
//   46     4     colours used: palette entries, 0 for 2^bits
//   50     4     important colours, 0 when writing
//   54     12    red, green and blue masks, for bit-field compression: inside an info header
//                of 52 bytes or more, else right after the 40-byte one
//   66     4     alpha mask: inside an info header of 56 bytes or more, or after the other
//                three masks for compression 6
// Palette entries are 4 bytes: blue, green, red, 0.
//
// Early files have a 12-byte info header, no compression, and 2^bits palette entries of 3
// bytes (blue, green, red):
//   18     2     width
//   20     2     height, rows stored bottom-up
//   22     2     planes, 1
//   24     2     bits per pixel: 1, 4, 8 or 24
constexpr uint64_t kSignature = 0;
constexpr uint64_t kFileSize = 2;
constexpr uint64_t kReserved1 = 6;
constexpr uint64_t kReserved2 = 8;
constexpr uint64_t kPixelOffset = 10;
constexpr uint64_t kInfoSize = 14;
constexpr uint64_t kWidth = 18;
constexpr uint64_t kHeight = 22;
constexpr uint64_t kPlanes = 26;
constexpr uint64_t kBitsPerPixel = 28;
constexpr uint64_t kCompression = 30;
constexpr uint64_t kImageSize = 34;
constexpr uint64_t kColoursUsed = 46;
constexpr uint64_t kMasks = 54;
constexpr uint64_t kAlphaMask = 66;
constexpr uint32_t kInfoSizeWithAlphaMask = 56;

constexpr uint64_t kCoreWidth = 18;
constexpr uint64_t kCoreHeight = 20;
constexpr uint64_t kCoreBitsPerPixel = 24;

constexpr uint64_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kCoreInfoHeaderSize = 12;
constexpr uint64_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
constexpr uint64_t kSmallestFile = kFileHeaderSize + kCoreInfoHeaderSize;
constexpr uint16_t kMagic = 0x4D42;  // "BM"
constexpr uint64_t kPaletteEntrySize = 4;
constexpr uint64_t kCorePaletteEntrySize = 3;

constexpr uint32_t kCompressionNone = 0;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionRle4 = 2;
constexpr uint32_t kCompressionBitFields = 3;
constexpr uint32_t kCompressionAlphaBitFields = 6;

// Escapes of run-length data: a zero count, then one of these.
constexpr uint8_t kRleEndOfLine = 0;
constexpr uint8_t kRleEndOfBitmap = 1;
constexpr uint8_t kRleDelta = 2;

// Reverses the three bytes of each pixel: the file's blue, green, red to red, green, blue, and
// back when writing. The two rows do not overlap.
void SwapRedAndBlue(const uint8_t* in, uint8_t* out, int64_t pixels);

}  // namespace bmp
