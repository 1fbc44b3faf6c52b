#include "image/bmp_codec.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "image/byte_reader.h"
#include "image/colour_quantizer.h"
#include "image/mapped_file.h"
#include "runtime/memory.h"

namespace {

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
namespace layout {
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
}  // namespace layout

constexpr uint32_t kCompressionNone = 0;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionRle4 = 2;
constexpr uint32_t kCompressionBitFields = 3;
constexpr uint32_t kCompressionAlphaBitFields = 6;

constexpr uint8_t kRleEndOfLine = 0;
constexpr uint8_t kRleEndOfBitmap = 1;
constexpr uint8_t kRleDelta = 2;

// --- Header ---

struct BmpHeader {
  uint32_t pixel_offset;
  uint32_t info_size;
  int32_t width;
  int32_t height;  // rows, always positive
  bool top_down;
  bool core;  // the 12-byte info header of early files
  uint16_t bits_per_pixel;
  uint32_t compression;
  uint32_t colours_used;
};

bool ValidSize(int32_t width, int32_t stored_height, BmpHeader* header) {
  if (width < 1 || width > BmpMaxDimension) return false;
  if (stored_height == 0 || stored_height < -BmpMaxDimension || stored_height > BmpMaxDimension)
    return false;
  header->width = width;
  header->top_down = stored_height < 0;
  header->height = header->top_down ? -stored_height : stored_height;
  return static_cast<int64_t>(width) * header->height <= BmpMaxPixels;
}

bool ParseCoreHeader(const ByteReader& in, BmpHeader* header) {
  uint16_t width = 0;
  uint16_t height = 0;
  if (!in.U16At(layout::kCoreWidth, &width) || !in.U16At(layout::kCoreHeight, &height) ||
      !in.U16At(layout::kCoreBitsPerPixel, &header->bits_per_pixel)) {
    return false;
  }
  header->core = true;
  header->compression = kCompressionNone;
  header->colours_used = 0;
  return ValidSize(width, height, header);
}

bool ParseHeader(const ByteReader& in, BmpHeader* header) {
  uint16_t signature = 0;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  if (!in.U16At(layout::kSignature, &signature) || !in.U16At(layout::kReserved1, &reserved1) ||
      !in.U16At(layout::kReserved2, &reserved2) ||
      !in.U32At(layout::kPixelOffset, &header->pixel_offset) ||
      !in.U32At(layout::kInfoSize, &header->info_size)) {
    return false;
  }
  if (signature != layout::kMagic || reserved1 != 0 || reserved2 != 0) return false;
  if (header->info_size == layout::kCoreInfoHeaderSize) return ParseCoreHeader(in, header);
  int32_t width = 0;
  int32_t stored_height = 0;
  if (header->info_size < layout::kInfoHeaderSize || in.Size() < layout::kHeadersSize) return false;
  if (!in.I32At(layout::kWidth, &width) || !in.I32At(layout::kHeight, &stored_height) ||
      !in.U16At(layout::kBitsPerPixel, &header->bits_per_pixel) ||
      !in.U32At(layout::kCompression, &header->compression) ||
      !in.U32At(layout::kColoursUsed, &header->colours_used)) {
    return false;
  }
  return ValidSize(width, stored_height, header);
}

// --- Pixel rows ---

// Where decoded rows go. Stored rows are counted in file order; flip says whether file
// order runs opposite to the buffer's.
struct Output {
  uint8_t* base;
  int64_t pitch;
  int32_t height;
  bool flip;
  int32_t pixel_bytes;  // 3 or 4

  uint8_t* Row(int64_t stored_row) const {
    const int64_t row = flip ? height - 1 - stored_row : stored_row;
    return base + row * pitch;
  }
};

struct Palette {
  uint8_t rgb[256][3];
  uint32_t count;
};

struct ChannelMask {
  uint32_t mask;
  int32_t shift;
  int32_t bits;  // 0 when the channel is absent
};

enum MaskChannel { kRed, kGreen, kBlue, kAlpha };

struct RowFormat {
  int32_t width;
  int32_t bits_per_pixel;
  int32_t pixel_bytes;
  const Palette* palette;
  ChannelMask masks[4];  // red, green, blue, alpha of 16 and 32-bit pixels
};

using RowDecoder = bool (*)(const RowFormat& format, const uint8_t* in, uint8_t* out);

bool IndexedRow(const RowFormat& format, const uint8_t* in, uint8_t* out) {
  const int32_t bits = format.bits_per_pixel;
  const int32_t per_byte = 8 / bits;
  const uint32_t mask = (1u << bits) - 1;
  for (int32_t x = 0; x < format.width; ++x, out += format.pixel_bytes) {
    const int32_t shift = 8 - bits * (x % per_byte + 1);
    const uint32_t index = (in[x / per_byte] >> shift) & mask;
    if (index >= format.palette->count) return false;
    std::memcpy(out, format.palette->rgb[index], 3);
  }
  return true;
}

uint32_t FieldValue(uint32_t pixel, const ChannelMask& mask) {
  return (pixel & mask.mask) >> mask.shift;
}

// Colour fields narrower than 8 bits are shifted up with the low bits zero; wider ones keep
// their top 8 bits.
uint8_t ScaleChannel(uint32_t pixel, const ChannelMask& mask) {
  if (mask.bits == 0) return 0;
  const uint32_t value = FieldValue(pixel, mask);
  return static_cast<uint8_t>(mask.bits >= 8 ? value >> (mask.bits - 8) : value << (8 - mask.bits));
}

// An alpha field is stretched over 0-255 instead, so that its largest value stays opaque
// however few bits it has. Without one the pixel is opaque.
uint8_t ScaleAlpha(uint32_t pixel, const ChannelMask& mask) {
  if (mask.bits == 0) return 255;
  const uint64_t largest = (uint64_t{1} << mask.bits) - 1;
  return static_cast<uint8_t>((FieldValue(pixel, mask) * 255 + largest / 2) / largest);
}

uint32_t LoadPixel(const uint8_t* in, int32_t stored_bytes) {
  uint32_t pixel = static_cast<uint32_t>(in[0] | in[1] << 8);
  if (stored_bytes == 4) pixel |= static_cast<uint32_t>(in[2]) << 16 | uint32_t{in[3]} << 24;
  return pixel;
}

bool MaskedRow(const RowFormat& format, const uint8_t* in, uint8_t* out) {
  const int32_t stored_bytes = format.bits_per_pixel / 8;
  for (int32_t x = 0; x < format.width; ++x, in += stored_bytes, out += format.pixel_bytes) {
    const uint32_t pixel = LoadPixel(in, stored_bytes);
    for (int32_t c = kRed; c <= kBlue; ++c)
      out[c] = ScaleChannel(pixel, format.masks[c]);
    if (format.pixel_bytes == 4) out[3] = ScaleAlpha(pixel, format.masks[kAlpha]);
  }
  return true;
}

// Reverses the three bytes of each pixel: the file's blue, green, red to red, green, blue, and
// back when writing. The two rows do not overlap.
void SwapRedAndBlueOneByOne(const uint8_t* in, uint8_t* out, int64_t pixels) {
  for (int64_t x = 0; x < pixels; ++x, in += 3, out += 3) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
  }
}

#if defined(__x86_64__)
// Sixteen bytes at a time, five whole pixels and the first byte of a sixth, which the next
// step writes again; so a step is only taken while a sixth pixel follows.
[[gnu::target("ssse3")]] void SwapRedAndBlueSsse3(const uint8_t* in, uint8_t* out, int64_t pixels) {
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int64_t x = 0;
  for (; x + 6 <= pixels; x += 5) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 3 * x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * x), _mm_shuffle_epi8(bytes, order));
  }
  SwapRedAndBlueOneByOne(in + 3 * x, out + 3 * x, pixels - x);
}
#endif

using SwapFunction = void (*)(const uint8_t* in, uint8_t* out, int64_t pixels);

SwapFunction ChooseSwap() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("ssse3")) return SwapRedAndBlueSsse3;
#endif
  return SwapRedAndBlueOneByOne;
}

void SwapRedAndBlue(const uint8_t* in, uint8_t* out, int64_t pixels) {
  static const SwapFunction swap = ChooseSwap();
  swap(in, out, pixels);
}

// 24-bit rows always decode to 3-byte pixels.
bool BgrRow(const RowFormat& format, const uint8_t* in, uint8_t* out) {
  SwapRedAndBlue(in, out, format.width);
  return true;
}

uint64_t StoredRowSize(int32_t width, int32_t bits_per_pixel) {
  return (static_cast<uint64_t>(width) * bits_per_pixel + 31) / 32 * 4;
}

// Only the bytes a row's pixels use are required to be present: the padding of the last row
// may be missing.
int32_t DecodeRows(const ByteReader& in, const BmpHeader& header, const Output& out,
                   const RowFormat& format, RowDecoder decode_row) {
  const uint64_t stored_size = StoredRowSize(header.width, header.bits_per_pixel);
  const uint64_t used_size = (static_cast<uint64_t>(header.width) * header.bits_per_pixel + 7) / 8;
  for (int32_t y = 0; y < header.height; ++y) {
    const uint8_t* row = in.At(header.pixel_offset + y * stored_size, used_size);
    if (row == nullptr || !decode_row(format, row, out.Row(y))) return 0;
  }
  return 1;
}

// --- Palette depths ---

bool ReadPalette(const ByteReader& in, const BmpHeader& header, Palette* palette) {
  const uint64_t count =
      header.colours_used != 0 ? header.colours_used : uint64_t{1} << header.bits_per_pixel;
  if (count > 256) return false;
  const uint64_t entry_size =
      header.core ? layout::kCorePaletteEntrySize : layout::kPaletteEntrySize;
  const uint8_t* entries = in.At(layout::kFileHeaderSize + header.info_size, count * entry_size);
  if (entries == nullptr) return false;
  for (uint64_t i = 0; i < count; ++i, entries += entry_size) {
    palette->rgb[i][0] = entries[2];
    palette->rgb[i][1] = entries[1];
    palette->rgb[i][2] = entries[0];
  }
  palette->count = static_cast<uint32_t>(count);
  return true;
}

// RLE8 and RLE4 share their codes; a byte holds one index, or two (high nibble first) that
// runs alternate and literals take in turn. Runs, literals and deltas move a cursor over the
// stored rows; a run or literal that would leave the bitmap makes the file malformed.
class RleDecoder {
 public:
  RleDecoder(const ByteReader& in, const BmpHeader& header, const Output& out,
             const Palette& palette)
      : in_(in), width_(header.width), bits_(header.bits_per_pixel), out_(out), palette_(palette) {
    in_.Seek(header.pixel_offset);
  }

  int32_t Run() {
    for (;;) {
      uint8_t count = 0;
      uint8_t value = 0;
      if (!in_.Next(&count) || !in_.Next(&value)) return 0;
      if (count > 0) {
        if (!Fill(count, value)) return 0;
        continue;
      }
      if (value == kRleEndOfBitmap) return 1;
      if (!Escape(value)) return 0;
    }
  }

 private:
  bool Escape(uint8_t code) {
    if (code == kRleEndOfLine) {
      x_ = 0;
      ++y_;
      return true;
    }
    if (code == kRleDelta) {
      uint8_t dx = 0;
      uint8_t dy = 0;
      if (!in_.Next(&dx) || !in_.Next(&dy)) return false;
      x_ += dx;
      y_ += dy;
      return true;
    }
    return Literal(code);
  }

  // Pixel i of a run or literal, taken from the byte that holds it.
  uint8_t Index(uint8_t byte, int32_t i) const {
    if (bits_ == 8) return byte;
    return i % 2 == 0 ? byte >> 4 : byte & 0x0F;
  }

  // The cursor's row, or null when it lies below the bitmap. Writers commonly let a row's
  // last run cover the row's padding too, so pixels past the width are read and dropped.
  uint8_t* Row() const {
    if (y_ >= out_.height) return nullptr;
    return out_.Row(y_);
  }

  // Writes the pixel at column x when it lies within the row.
  bool Put(uint8_t* row, int64_t x, uint8_t index) const {
    if (index >= palette_.count) return false;
    if (x < width_) std::memcpy(row + x * out_.pixel_bytes, palette_.rgb[index], 3);
    return true;
  }

  bool Fill(uint8_t count, uint8_t value) {
    uint8_t* row = Row();
    if (row == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) {
      if (!Put(row, x_ + i, Index(value, i))) return false;
    }
    x_ += count;
    return true;
  }

  // Literal runs keep the data 16-bit aligned: an odd number of bytes is followed by a pad.
  bool Literal(uint8_t count) {
    uint8_t* row = Row();
    if (row == nullptr) return false;
    const int32_t per_byte = 8 / bits_;
    uint8_t byte = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (i % per_byte == 0 && !in_.Next(&byte)) return false;
      if (!Put(row, x_ + i, Index(byte, i))) return false;
    }
    x_ += count;
    const int32_t bytes = (count + per_byte - 1) / per_byte;
    return bytes % 2 == 0 || in_.Next(&byte);
  }

  ByteReader in_;
  const int64_t width_;
  const int32_t bits_;  // 4 or 8
  const Output& out_;
  const Palette& palette_;
  int64_t x_ = 0;
  int64_t y_ = 0;
};

int32_t DecodeIndexed(const ByteReader& in, const BmpHeader& header, const Output& out,
                      RowFormat format) {
  const bool rle = (header.bits_per_pixel == 8 && header.compression == kCompressionRle8) ||
                   (header.bits_per_pixel == 4 && header.compression == kCompressionRle4);
  if (header.compression != kCompressionNone && !rle) return 0;
  Palette palette;
  if (!ReadPalette(in, header, &palette)) return 0;
  if (rle) return RleDecoder(in, header, out, palette).Run();
  format.palette = &palette;
  return DecodeRows(in, header, out, format, IndexedRow);
}

// --- 16 and 32 bits ---

bool MakeMask(uint32_t mask, int32_t bits_per_pixel, ChannelMask* channel) {
  *channel = ChannelMask{mask, 0, 0};
  if (mask == 0) return true;
  if (bits_per_pixel == 16 && mask > 0xFFFF) return false;
  channel->shift = std::countr_zero(mask);
  channel->bits = std::popcount(mask);
  // Contiguous: the shifted mask is all ones.
  return (mask >> channel->shift) == (uint64_t{1} << channel->bits) - 1;
}

// Uncompressed pixels have fixed fields: 5-5-5 in 16 bits, blue, green, red and alpha bytes
// in 32. Bit-field files give their own masks, the alpha mask where the header has room for
// it or compression 6 adds it.
bool ReadPixelMasks(const ByteReader& in, const BmpHeader& header, ChannelMask masks[4]) {
  static constexpr uint32_t kFiveFiveFive[4] = {0x7C00, 0x03E0, 0x001F, 0};
  static constexpr uint32_t kBlueGreenRedAlpha[4] = {0x00FF0000, 0x0000FF00, 0x000000FF,
                                                     0xFF000000};
  const int32_t bits = header.bits_per_pixel;
  if (header.core || (bits != 16 && bits != 32)) return false;
  uint32_t values[4] = {};
  if (header.compression == kCompressionNone) {
    std::memcpy(values, bits == 16 ? kFiveFiveFive : kBlueGreenRedAlpha, sizeof(values));
  } else if (header.compression == kCompressionBitFields ||
             header.compression == kCompressionAlphaBitFields) {
    for (int32_t c = kRed; c <= kBlue; ++c) {
      if (!in.U32At(layout::kMasks + 4 * c, &values[c])) return false;
    }
    const bool alpha_mask = header.compression == kCompressionAlphaBitFields ||
                            header.info_size >= layout::kInfoSizeWithAlphaMask;
    if (alpha_mask && !in.U32At(layout::kAlphaMask, &values[kAlpha])) return false;
  } else {
    return false;
  }
  for (int32_t c = kRed; c <= kAlpha; ++c) {
    if (!MakeMask(values[c], bits, &masks[c])) return false;
  }
  return true;
}

int32_t DecodeMasked(const ByteReader& in, const BmpHeader& header, const Output& out,
                     RowFormat format) {
  if (!ReadPixelMasks(in, header, format.masks)) return 0;
  return DecodeRows(in, header, out, format, MaskedRow);
}

// 1 when some pixel's alpha field is not zero; 0 when none is, or when the rows do not lie
// within the data.
int32_t ScanAlpha(const ByteReader& in, uint64_t pixel_offset, int32_t width, int32_t height,
                  int32_t bits_per_pixel, uint32_t alpha_mask) {
  if (width < 1 || height < 1 || alpha_mask == 0) return 0;
  const int32_t stored_bytes = bits_per_pixel / 8;
  const uint64_t used_size = static_cast<uint64_t>(width) * stored_bytes;
  const uint64_t stored_size = StoredRowSize(width, bits_per_pixel);
  // Both factors are below 2^33, and the height below 2^31: no product wraps.
  const uint8_t* pixels = in.At(pixel_offset, stored_size * (height - 1) + used_size);
  if (pixels == nullptr) return 0;
  for (int32_t y = 0; y < height; ++y, pixels += stored_size) {
    for (uint64_t i = 0; i < used_size; i += stored_bytes) {
      if ((LoadPixel(pixels + i, stored_bytes) & alpha_mask) != 0) return 1;
    }
  }
  return 0;
}

// Whether the decoded pixels carry alpha: 16 and 32-bit files whose alpha field is in use.
bool UsesAlpha(const ByteReader& in, const BmpHeader& header) {
  ChannelMask masks[4];
  if (!ReadPixelMasks(in, header, masks)) return false;
  return ScanAlpha(in, header.pixel_offset, header.width, header.height, header.bits_per_pixel,
                   masks[kAlpha].mask) != 0;
}

// --- 24 bits ---

int32_t Decode24(const ByteReader& in, const BmpHeader& header, const Output& out,
                 const RowFormat& format) {
  if (header.compression != kCompressionNone) return 0;
  return DecodeRows(in, header, out, format, BgrRow);
}

// --- Decoding ---

int32_t DecodeBytes(const ImageDecodeContext* context, void* destination, int64_t pitch,
                    uint32_t flags) {
  const ByteReader in(context->bytes, context->size);
  BmpHeader header{};
  if (!ParseHeader(in, &header)) return 0;
  const bool masked = header.bits_per_pixel == 16 || header.bits_per_pixel == 32;
  const int32_t pixel_bytes = masked && context->output_depth == 32 ? 4 : 3;
  if (pitch < static_cast<int64_t>(header.width) * pixel_bytes) return 0;
  const bool bottom_up_buffer = (flags & ImageRowsBottomUp) != 0;
  const Output out{static_cast<uint8_t*>(destination), pitch, header.height,
                   header.top_down == bottom_up_buffer, pixel_bytes};
  const RowFormat format{header.width, header.bits_per_pixel, pixel_bytes, nullptr, {}};
  switch (header.bits_per_pixel) {
    case 1:
    case 4:
    case 8:
      return DecodeIndexed(in, header, out, format);
    case 16:
    case 32:
      return DecodeMasked(in, header, out, format);
    case 24:
      return Decode24(in, header, out, format);
    default:
      return 0;
  }
}

// --- Encoding ---

// Where an encoded file goes: a file or a memory block, behind one core. Rows are encoded
// straight into the room the sink gives for them.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Room for the next size bytes of the file, to be filled before the next call; null when
  // the file cannot take them.
  virtual uint8_t* Room(uint64_t size) = 0;

  bool Write(const void* data, uint64_t size) {
    uint8_t* room = Room(size);
    if (room == nullptr) return false;
    std::memcpy(room, data, size);
    return true;
  }
};

struct BlockDeleter {
  void operator()(void* block) const { FreeBlock(block); }
};
using ScratchBlock = std::unique_ptr<uint8_t, BlockDeleter>;

// Collects the file in a buffer of at least kBufferBytes and writes it out as it fills.
class FileSink final : public ByteSink {
 public:
  static constexpr uint64_t kBufferBytes = 1 << 18;

  // largest_room: the most Room is asked for at once.
  FileSink(const char* path, uint64_t largest_room)
      : path_(path),
        file_(std::fopen(path, "wb")),
        capacity_(std::max(kBufferBytes, largest_room)),
        buffer_(static_cast<uint8_t*>(AllocateBlockNoClear(capacity_))) {
    struct stat status {};
    regular_ = file_ != nullptr && fstat(fileno(file_), &status) == 0 && S_ISREG(status.st_mode);
  }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  ~FileSink() override {
    if (file_ != nullptr) Finish(false);
  }

  bool IsOpen() const { return file_ != nullptr && buffer_ != nullptr; }

  uint8_t* Room(uint64_t size) override {
    if (size > capacity_ - used_ && !Flush()) return nullptr;
    if (size > capacity_) return nullptr;
    uint8_t* room = buffer_.get() + used_;
    used_ += size;
    return room;
  }

  // Writes what remains and closes the file, deleting it unless it was written whole; the
  // result says whether it was. Only a regular file is deleted: a device or pipe given as
  // the path stays.
  bool Finish(bool written) {
    written = written && Flush();
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (written && closed) return true;
    if (regular_) unlink(path_);
    return false;
  }

 private:
  bool Flush() {
    const bool written = std::fwrite(buffer_.get(), 1, used_, file_) == used_;
    used_ = 0;
    return written;
  }

  const char* path_;
  std::FILE* file_;
  uint64_t capacity_;
  ScratchBlock buffer_;
  uint64_t used_ = 0;
  bool regular_ = false;
};

// A large block about to be written from end to end is backed by huge pages where the system
// offers them on request, sparing a page fault for every 4 KB.
void AdviseHugePages(void* block, uint64_t size) {
#if defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHugePage = uintptr_t{1} << 21;
  const auto start = reinterpret_cast<uintptr_t>(block);
  const uintptr_t first = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (start + size) & ~(kHugePage - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

class MemorySink final : public ByteSink {
 public:
  explicit MemorySink(uint64_t size)
      : block_(static_cast<uint8_t*>(AllocateMemory(static_cast<int64_t>(size), MemoryNoClear))),
        size_(size) {
    if (block_ != nullptr) AdviseHugePages(block_, size_);
  }
  MemorySink(const MemorySink&) = delete;
  MemorySink& operator=(const MemorySink&) = delete;
  ~MemorySink() override { FreeMemory(block_); }

  bool IsOpen() const { return block_ != nullptr; }

  uint8_t* Room(uint64_t size) override {
    if (size > size_ - used_) return nullptr;
    uint8_t* room = block_ + used_;
    used_ += size;
    return room;
  }

  // The block, handed over when it was filled exactly; null otherwise.
  void* Release() {
    if (used_ != size_) return nullptr;
    return std::exchange(block_, nullptr);
  }

 private:
  uint8_t* block_;
  uint64_t size_;
  uint64_t used_ = 0;
};

struct EncodeJob {
  const uint8_t* pixels;
  int32_t width;
  int32_t height;
  int64_t pitch;
  uint32_t flags;
  uint32_t options;
  int32_t depth;
  int32_t source_depth;
  uint64_t packed_bytes = 0;  // pixel bytes of one stored row
  uint64_t row_size = 0;      // packed_bytes rounded up to 4
  uint64_t palette_bytes = 0;
  uint64_t file_size = 0;
};

bool IsEncodableDepth(int32_t depth) {
  return depth == 1 || depth == 4 || depth == 8 || depth == 24 || depth == 32;
}

bool PlanEncoding(EncodeJob* job) {
  if (job->pixels == nullptr || job->width < 1 || job->height < 1) return false;
  if (job->width > BmpMaxDimension || job->height > BmpMaxDimension) return false;
  if (static_cast<int64_t>(job->width) * job->height > BmpMaxPixels) return false;
  if (job->source_depth != 24 && job->source_depth != 32) return false;
  if (job->pitch < static_cast<int64_t>(job->width) * (job->source_depth / 8)) return false;
  job->packed_bytes = (static_cast<uint64_t>(job->width) * job->depth + 7) / 8;
  job->row_size = (job->packed_bytes + 3) & ~uint64_t{3};
  job->palette_bytes = job->depth <= 8 ? layout::kPaletteEntrySize << job->depth : 0;
  job->file_size = layout::kHeadersSize + job->palette_bytes + job->row_size * job->height;
  // The header keeps the file size in 32 bits.
  return job->file_size <= UINT32_MAX;
}

void Put16(uint8_t* header, uint64_t offset, uint16_t value) {
  header[offset] = static_cast<uint8_t>(value);
  header[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* header, uint64_t offset, uint32_t value) {
  for (int32_t i = 0; i < 4; ++i)
    header[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

bool WriteHeaders(ByteSink& sink, const EncodeJob& job) {
  uint8_t header[layout::kHeadersSize] = {};
  Put16(header, layout::kSignature, layout::kMagic);
  Put32(header, layout::kFileSize, static_cast<uint32_t>(job.file_size));
  Put32(header, layout::kPixelOffset,
        static_cast<uint32_t>(layout::kHeadersSize + job.palette_bytes));
  Put32(header, layout::kInfoSize, layout::kInfoHeaderSize);
  Put32(header, layout::kWidth, static_cast<uint32_t>(job.width));
  Put32(header, layout::kHeight, static_cast<uint32_t>(job.height));
  Put16(header, layout::kPlanes, 1);
  Put16(header, layout::kBitsPerPixel, static_cast<uint16_t>(job.depth));
  Put32(header, layout::kCompression, kCompressionNone);
  Put32(header, layout::kImageSize, static_cast<uint32_t>(job.row_size * job.height));
  return sink.Write(header, sizeof(header));
}

// Stored row k (the bottom row first) comes from this source row.
int32_t SourceRowNumber(const EncodeJob& job, int32_t stored_row) {
  return (job.flags & ImageRowsBottomUp) != 0 ? stored_row : job.height - 1 - stored_row;
}

const uint8_t* SourceRow(const EncodeJob& job, int32_t stored_row) {
  return job.pixels + SourceRowNumber(job, stored_row) * job.pitch;
}

bool WritePalette(ByteSink& sink, const ColourQuantizer* quantizer, int32_t depth) {
  for (int32_t i = 0; i < 1 << depth; ++i) {
    const uint8_t* colour = quantizer->palette[i];
    const uint8_t entry[layout::kPaletteEntrySize] = {colour[2], colour[1], colour[0], 0};
    if (!sink.Write(entry, sizeof(entry))) return false;
  }
  return true;
}

// Room for a stored row with its padding zeroed.
uint8_t* RowRoom(ByteSink& sink, const EncodeJob& job) {
  uint8_t* row = sink.Room(job.row_size);
  if (row != nullptr) std::memset(row + job.packed_bytes, 0, job.row_size - job.packed_bytes);
  return row;
}

bool WriteIndexRows(ByteSink& sink, ColourQuantizer* quantizer, const EncodeJob& job) {
  for (int32_t k = 0; k < job.height; ++k) {
    uint8_t* row = RowRoom(sink, job);
    if (row == nullptr) return false;
    std::memcpy(row, QuantizedRow(quantizer, SourceRowNumber(job, k)), job.packed_bytes);
  }
  return true;
}

bool WritePaletteImage(ByteSink& sink, const EncodeJob& job) {
  ColourQuantizer* quantizer = CreateQuantizer(job.pixels, job.width, job.height, job.source_depth,
                                               job.pitch, job.depth, job.options);
  if (quantizer == nullptr) return false;
  const bool written =
      WritePalette(sink, quantizer, job.depth) && WriteIndexRows(sink, quantizer, job);
  FreeQuantizer(quantizer);
  return written;
}

// A 24-bit source written at 32 bits gets a zero fourth byte: it has no alpha to give.
bool WriteTrueColourImage(ByteSink& sink, const EncodeJob& job) {
  const int32_t in_bytes = job.source_depth / 8;
  const int32_t out_bytes = job.depth / 8;
  for (int32_t k = 0; k < job.height; ++k) {
    const uint8_t* in = SourceRow(job, k);
    uint8_t* out = RowRoom(sink, job);
    if (out == nullptr) return false;
    if (in_bytes == 3 && out_bytes == 3) {
      SwapRedAndBlue(in, out, job.width);
      continue;
    }
    for (int32_t x = 0; x < job.width; ++x, in += in_bytes, out += out_bytes) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
      if (out_bytes == 4) out[3] = in_bytes == 4 ? in[3] : 0;
    }
  }
  return true;
}

bool WriteBmp(ByteSink& sink, const EncodeJob& job) {
  if (!WriteHeaders(sink, job)) return false;
  if (job.depth <= 8) return WritePaletteImage(sink, job);
  return WriteTrueColourImage(sink, job);
}

intptr_t EncodeToFile(const char* path, const EncodeJob& job) {
  FileSink sink(path, job.row_size);
  if (!sink.IsOpen()) return 0;
  return sink.Finish(WriteBmp(sink, job)) ? 1 : 0;
}

intptr_t EncodeToMemory(const EncodeJob& job) {
  MemorySink sink(job.file_size);
  if (!sink.IsOpen() || !WriteBmp(sink, job)) return 0;
  return reinterpret_cast<intptr_t>(sink.Release());
}

intptr_t EncodeBmpFrom24(const char* path, const void* pixels, int32_t width, int32_t height,
                         int64_t pitch, uint32_t flags, uint32_t options, int32_t depth) {
  return EncodeBmp(path, pixels, width, height, pitch, flags, options, depth, 24);
}

intptr_t EncodeBmpFrom32(const char* path, const void* pixels, int32_t width, int32_t height,
                         int64_t pitch, uint32_t flags, uint32_t options, int32_t depth) {
  return EncodeBmp(path, pixels, width, height, pitch, flags, options, depth, 32);
}

const ImageDecoderPlugin kBmpDecoder{CheckBmp, DecodeBmp, FinishBmp, ImageFormatBmp};
const ImageEncoderPlugin kBmpEncoder{ImageFormatBmp, EncodeBmpFrom24, EncodeBmpFrom32};

}  // namespace

void RegisterBmpCodec() {
  RegisterImageDecoder(&kBmpDecoder);
  RegisterImageEncoder(&kBmpEncoder);
}

int32_t CheckBmp(ImageDecodeContext* context) {
  if (context == nullptr) return 0;
  if (context->memory_source != 0) {
    if (context->data == nullptr || context->data_size < layout::kSmallestFile) return 0;
    context->bytes = context->data;
    context->size = context->data_size;
  } else if (!LoadFileBytes(context, layout::kSmallestFile)) {
    return 0;
  }
  const int32_t accepted = ReadMapped(context, [context] {
    const ByteReader in(context->bytes, context->size);
    BmpHeader header{};
    if (!ParseHeader(in, &header)) return 0;
    context->width = header.width;
    context->height = header.height;
    context->bits_per_pixel = header.bits_per_pixel;
    context->output_depth = UsesAlpha(in, header) ? 32 : 24;
    return 1;
  });
  if (!accepted) FinishBmp(context);
  return accepted;
}

int32_t DecodeBmp(ImageDecodeContext* context, void* destination, int64_t pitch, uint32_t flags) {
  if (context == nullptr || destination == nullptr) return 0;
  return ReadMapped(context, [&] { return DecodeBytes(context, destination, pitch, flags); });
}

void FinishBmp(ImageDecodeContext* context) {
  if (context == nullptr) return;
  ReleaseFileBytes(context);
}

int32_t BmpHasAlpha(const uint8_t* bytes, uint64_t size, int32_t width, int32_t height) {
  const ByteReader in(bytes, size);
  uint32_t pixel_offset = 0;
  if (!in.U32At(layout::kPixelOffset, &pixel_offset)) return 0;
  return ScanAlpha(in, pixel_offset, width, height, 32, 0xFF000000);
}

intptr_t EncodeBmp(const char* path, const void* pixels, int32_t width, int32_t height,
                   int64_t pitch, uint32_t flags, uint32_t options, int32_t depth,
                   int32_t source_depth) {
  if (!IsEncodableDepth(depth)) return 0;
  EncodeJob job{.pixels = static_cast<const uint8_t*>(pixels),
                .width = width,
                .height = height,
                .pitch = pitch,
                .flags = flags,
                .options = options,
                .depth = depth,
                .source_depth = source_depth};
  if (!PlanEncoding(&job)) return 0;
  if (path != nullptr) return EncodeToFile(path, job);
  return EncodeToMemory(job);
}
