#include "image/bmp_codec.h"

#include <bit>
#include <cstring>

#include "image/bmp_format.h"
#include "image/byte_reader.h"
#include "image/mapped_file.h"

namespace {

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
  if (!in.U16At(bmp::kCoreWidth, &width) || !in.U16At(bmp::kCoreHeight, &height) ||
      !in.U16At(bmp::kCoreBitsPerPixel, &header->bits_per_pixel)) {
    return false;
  }
  header->core = true;
  header->compression = bmp::kCompressionNone;
  header->colours_used = 0;
  return ValidSize(width, height, header);
}

bool ParseHeader(const ByteReader& in, BmpHeader* header) {
  uint16_t signature = 0;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  if (!in.U16At(bmp::kSignature, &signature) || !in.U16At(bmp::kReserved1, &reserved1) ||
      !in.U16At(bmp::kReserved2, &reserved2) ||
      !in.U32At(bmp::kPixelOffset, &header->pixel_offset) ||
      !in.U32At(bmp::kInfoSize, &header->info_size)) {
    return false;
  }
  if (signature != bmp::kMagic || reserved1 != 0 || reserved2 != 0) return false;
  if (header->info_size == bmp::kCoreInfoHeaderSize) return ParseCoreHeader(in, header);
  int32_t width = 0;
  int32_t stored_height = 0;
  if (header->info_size < bmp::kInfoHeaderSize || in.Size() < bmp::kHeadersSize) return false;
  if (!in.I32At(bmp::kWidth, &width) || !in.I32At(bmp::kHeight, &stored_height) ||
      !in.U16At(bmp::kBitsPerPixel, &header->bits_per_pixel) ||
      !in.U32At(bmp::kCompression, &header->compression) ||
      !in.U32At(bmp::kColoursUsed, &header->colours_used)) {
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

// 24-bit rows always decode to 3-byte pixels.
bool BgrRow(const RowFormat& format, const uint8_t* in, uint8_t* out) {
  bmp::SwapRedAndBlue(in, out, format.width);
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
  const uint64_t entry_size = header.core ? bmp::kCorePaletteEntrySize : bmp::kPaletteEntrySize;
  const uint8_t* entries = in.At(bmp::kFileHeaderSize + header.info_size, count * entry_size);
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
      if (value == bmp::kRleEndOfBitmap) return 1;
      if (!Escape(value)) return 0;
    }
  }

 private:
  bool Escape(uint8_t code) {
    if (code == bmp::kRleEndOfLine) {
      x_ = 0;
      ++y_;
      return true;
    }
    if (code == bmp::kRleDelta) {
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
  const bool rle = (header.bits_per_pixel == 8 && header.compression == bmp::kCompressionRle8) ||
                   (header.bits_per_pixel == 4 && header.compression == bmp::kCompressionRle4);
  if (header.compression != bmp::kCompressionNone && !rle) return 0;
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
  if (header.compression == bmp::kCompressionNone) {
    std::memcpy(values, bits == 16 ? kFiveFiveFive : kBlueGreenRedAlpha, sizeof(values));
  } else if (header.compression == bmp::kCompressionBitFields ||
             header.compression == bmp::kCompressionAlphaBitFields) {
    for (int32_t c = kRed; c <= kBlue; ++c) {
      if (!in.U32At(bmp::kMasks + 4 * c, &values[c])) return false;
    }
    const bool alpha_mask = header.compression == bmp::kCompressionAlphaBitFields ||
                            header.info_size >= bmp::kInfoSizeWithAlphaMask;
    if (alpha_mask && !in.U32At(bmp::kAlphaMask, &values[kAlpha])) return false;
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
  if (header.compression != bmp::kCompressionNone) return 0;
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

}  // namespace

int32_t CheckBmp(ImageDecodeContext* context) {
  if (context == nullptr) return 0;
  if (context->memory_source != 0) {
    if (context->data == nullptr || context->data_size < bmp::kSmallestFile) return 0;
    context->bytes = context->data;
    context->size = context->data_size;
  } else if (!LoadFileBytes(context, bmp::kSmallestFile)) {
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
  if (!in.U32At(bmp::kPixelOffset, &pixel_offset)) return 0;
  return ScanAlpha(in, pixel_offset, width, height, 32, 0xFF000000);
}
