#include "image/bmp_codec.h"

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "image/byte_reader.h"
#include "image/colour_quantizer.h"
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
//   14     4     info header size; the palette follows the info header
//   18     4     width
//   22     4     height: rows stored bottom-up, or top-down when negative
//   26     2     planes, 1
//   28     2     bits per pixel
//   30     4     compression: 0 none, 1 RLE8, 2 RLE4, 3 bit fields
//   34     4     image size (not trusted when reading)
//   38     8     pixels per metre across and down, 0 when writing
//   46     4     colours used: palette entries, 0 for 2^bits
//   50     4     important colours, 0 when writing
//   54     12    red, green and blue masks, for bit-field compression
// Palette entries are 4 bytes: blue, green, red, 0.
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

constexpr uint64_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint64_t kHeadersSize = kFileHeaderSize + kInfoHeaderSize;
constexpr uint16_t kMagic = 0x4D42;  // "BM"
constexpr uint64_t kPaletteEntrySize = 4;
}  // namespace layout

constexpr uint32_t kCompressionNone = 0;
constexpr uint32_t kCompressionRle8 = 1;
constexpr uint32_t kCompressionBitFields = 3;

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

bool ParseHeader(const ByteReader& in, BmpHeader* header) {
  uint16_t signature = 0;
  uint16_t reserved1 = 0;
  uint16_t reserved2 = 0;
  int32_t width = 0;
  int32_t stored_height = 0;
  if (in.Size() < layout::kHeadersSize) return false;
  if (!in.U16At(layout::kSignature, &signature) || !in.U16At(layout::kReserved1, &reserved1) ||
      !in.U16At(layout::kReserved2, &reserved2) ||
      !in.U32At(layout::kPixelOffset, &header->pixel_offset) ||
      !in.U32At(layout::kInfoSize, &header->info_size) || !in.I32At(layout::kWidth, &width) ||
      !in.I32At(layout::kHeight, &stored_height) ||
      !in.U16At(layout::kBitsPerPixel, &header->bits_per_pixel) ||
      !in.U32At(layout::kCompression, &header->compression) ||
      !in.U32At(layout::kColoursUsed, &header->colours_used)) {
    return false;
  }
  if (signature != layout::kMagic || reserved1 != 0 || reserved2 != 0) return false;
  // Smaller info headers (the old 12-byte one) put width and height elsewhere.
  if (header->info_size < layout::kInfoHeaderSize) return false;
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
  int32_t bits;
};

struct RowFormat {
  int32_t width;
  int32_t bits_per_pixel;
  int32_t pixel_bytes;
  const Palette* palette;
  ChannelMask masks[3];  // red, green, blue of 16-bit pixels
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

// Channels narrower than 8 bits are shifted up with the low bits zero.
uint8_t ScaleChannel(uint32_t pixel, const ChannelMask& mask) {
  if (mask.bits == 0) return 0;
  const uint32_t value = (pixel & mask.mask) >> mask.shift;
  return static_cast<uint8_t>(mask.bits >= 8 ? value >> (mask.bits - 8) : value << (8 - mask.bits));
}

bool MaskedRow(const RowFormat& format, const uint8_t* in, uint8_t* out) {
  for (int32_t x = 0; x < format.width; ++x, in += 2, out += format.pixel_bytes) {
    const uint32_t pixel = static_cast<uint32_t>(in[0] | in[1] << 8);
    for (int32_t c = 0; c < 3; ++c)
      out[c] = ScaleChannel(pixel, format.masks[c]);
  }
  return true;
}

bool BgrRow(const RowFormat& format, const uint8_t* in, uint8_t* out) {
  const int32_t stored_bytes = format.bits_per_pixel / 8;
  for (int32_t x = 0; x < format.width; ++x, in += stored_bytes, out += format.pixel_bytes) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
    if (format.pixel_bytes == 4) out[3] = in[3];
  }
  return true;
}

// Only the bytes a row's pixels use are required to be present: the padding of the last row
// may be missing.
int32_t DecodeRows(const ByteReader& in, const BmpHeader& header, const Output& out,
                   const RowFormat& format, RowDecoder decode_row) {
  const uint64_t row_bits = static_cast<uint64_t>(header.width) * header.bits_per_pixel;
  const uint64_t stored_size = (row_bits + 31) / 32 * 4;
  const uint64_t used_size = (row_bits + 7) / 8;
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
  const uint8_t* entries =
      in.At(layout::kFileHeaderSize + header.info_size, count * layout::kPaletteEntrySize);
  if (entries == nullptr) return false;
  for (uint64_t i = 0; i < count; ++i, entries += layout::kPaletteEntrySize) {
    palette->rgb[i][0] = entries[2];
    palette->rgb[i][1] = entries[1];
    palette->rgb[i][2] = entries[0];
  }
  palette->count = static_cast<uint32_t>(count);
  return true;
}

// Runs, literals and deltas move a cursor over the stored rows; a run or literal that would
// leave the bitmap makes the file malformed.
class Rle8Decoder {
 public:
  Rle8Decoder(const ByteReader& in, const BmpHeader& header, const Output& out,
              const Palette& palette)
      : in_(in), width_(header.width), out_(out), palette_(palette) {
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

  bool Fill(uint8_t count, uint8_t index) {
    uint8_t* row = Row();
    if (row == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) {
      if (!Put(row, x_ + i, index)) return false;
    }
    x_ += count;
    return true;
  }

  // Literal runs keep the data 16-bit aligned: an odd count is followed by a pad byte.
  bool Literal(uint8_t count) {
    uint8_t* row = Row();
    if (row == nullptr) return false;
    uint8_t index = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (!in_.Next(&index) || !Put(row, x_ + i, index)) return false;
    }
    x_ += count;
    return count % 2 == 0 || in_.Next(&index);
  }

  ByteReader in_;
  const int64_t width_;
  const Output& out_;
  const Palette& palette_;
  int64_t x_ = 0;
  int64_t y_ = 0;
};

int32_t DecodeIndexed(const ByteReader& in, const BmpHeader& header, const Output& out,
                      RowFormat format) {
  const bool rle8 = header.bits_per_pixel == 8 && header.compression == kCompressionRle8;
  if (header.compression != kCompressionNone && !rle8) return 1;
  Palette palette;
  if (!ReadPalette(in, header, &palette)) return 0;
  if (rle8) return Rle8Decoder(in, header, out, palette).Run();
  format.palette = &palette;
  return DecodeRows(in, header, out, format, IndexedRow);
}

// --- 16 bits ---

bool MakeMask(uint32_t mask, ChannelMask* channel) {
  *channel = ChannelMask{mask, 0, 0};
  if (mask == 0) return true;
  if (mask > 0xFFFF) return false;
  channel->shift = std::countr_zero(mask);
  channel->bits = std::popcount(mask);
  // Contiguous: the shifted mask is all ones.
  return (mask >> channel->shift) == (1u << channel->bits) - 1;
}

bool ReadMasks(const ByteReader& in, const BmpHeader& header, RowFormat* format) {
  static constexpr uint32_t kFiveFiveFive[3] = {0x7C00, 0x03E0, 0x001F};
  uint32_t masks[3];
  for (int32_t c = 0; c < 3; ++c) {
    masks[c] = kFiveFiveFive[c];
    if (header.compression != kCompressionBitFields) continue;
    if (!in.U32At(layout::kMasks + 4 * c, &masks[c])) return false;
  }
  for (int32_t c = 0; c < 3; ++c) {
    if (!MakeMask(masks[c], &format->masks[c])) return false;
  }
  return true;
}

int32_t Decode16(const ByteReader& in, const BmpHeader& header, const Output& out,
                 RowFormat format) {
  if (header.compression != kCompressionNone && header.compression != kCompressionBitFields)
    return 1;
  if (!ReadMasks(in, header, &format)) return 0;
  return DecodeRows(in, header, out, format, MaskedRow);
}

// --- 24 and 32 bits ---

int32_t DecodeTrueColour(const ByteReader& in, const BmpHeader& header, const Output& out,
                         const RowFormat& format) {
  // Bit-field 32-bit files are read in the usual blue, green, red, alpha byte order.
  const bool bit_fields =
      header.bits_per_pixel == 32 && header.compression == kCompressionBitFields;
  if (header.compression != kCompressionNone && !bit_fields) return 1;
  return DecodeRows(in, header, out, format, BgrRow);
}

// --- File sources ---

bool LoadFile(ImageDecodeContext* context) {
  std::FILE* file = context->file;
  if (file == nullptr || std::fseek(file, 0, SEEK_END) != 0) return false;
  const long size = std::ftell(file);
  if (size < static_cast<long>(layout::kHeadersSize) || std::fseek(file, 0, SEEK_SET) != 0)
    return false;
  auto* copy = static_cast<uint8_t*>(AllocateBlockNoClear(static_cast<uint64_t>(size)));
  if (copy == nullptr) return false;
  if (std::fread(copy, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size)) {
    FreeBlock(copy);
    return false;
  }
  context->file_copy = copy;
  context->bytes = copy;
  context->size = static_cast<uint64_t>(size);
  return true;
}

// --- Encoding ---

// Where an encoded file goes: a file or a memory block, behind one core.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(const void* data, uint64_t size) = 0;
};

class FileSink final : public ByteSink {
 public:
  explicit FileSink(const char* path) : path_(path), file_(std::fopen(path, "wb")) {
    struct stat status {};
    regular_ = file_ != nullptr && fstat(fileno(file_), &status) == 0 && S_ISREG(status.st_mode);
  }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  ~FileSink() override {
    if (file_ != nullptr) Finish(false);
  }

  bool IsOpen() const { return file_ != nullptr; }

  bool Write(const void* data, uint64_t size) override {
    return std::fwrite(data, 1, size, file_) == size;
  }

  // Closes the file and deletes it unless it was written whole; the result says whether it
  // was. Only a regular file is deleted: a device or pipe given as the path stays.
  bool Finish(bool written) {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (written && closed) return true;
    if (regular_) unlink(path_);
    return false;
  }

 private:
  const char* path_;
  std::FILE* file_;
  bool regular_ = false;
};

class MemorySink final : public ByteSink {
 public:
  explicit MemorySink(uint64_t size)
      : block_(static_cast<uint8_t*>(AllocateMemory(static_cast<int64_t>(size), MemoryNoClear))),
        size_(size) {}
  MemorySink(const MemorySink&) = delete;
  MemorySink& operator=(const MemorySink&) = delete;
  ~MemorySink() override { FreeMemory(block_); }

  bool IsOpen() const { return block_ != nullptr; }

  bool Write(const void* data, uint64_t size) override {
    if (size > size_ - used_) return false;
    std::memcpy(block_ + used_, data, size);
    used_ += size;
    return true;
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

struct BlockDeleter {
  void operator()(void* block) const { FreeBlock(block); }
};
using ScratchRow = std::unique_ptr<uint8_t, BlockDeleter>;

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

bool WriteIndexRows(ByteSink& sink, ColourQuantizer* quantizer, const EncodeJob& job) {
  ScratchRow row(static_cast<uint8_t*>(AllocateBlock(job.row_size)));
  if (row == nullptr) return false;
  for (int32_t k = 0; k < job.height; ++k) {
    const uint8_t* packed = QuantizedRow(quantizer, SourceRowNumber(job, k));
    std::memcpy(row.get(), packed, job.packed_bytes);
    if (!sink.Write(row.get(), job.row_size)) return false;
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
  ScratchRow row(static_cast<uint8_t*>(AllocateBlock(job.row_size)));
  if (row == nullptr) return false;
  const int32_t in_bytes = job.source_depth / 8;
  const int32_t out_bytes = job.depth / 8;
  for (int32_t k = 0; k < job.height; ++k) {
    const uint8_t* in = SourceRow(job, k);
    uint8_t* out = row.get();
    for (int32_t x = 0; x < job.width; ++x, in += in_bytes, out += out_bytes) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
      if (out_bytes == 4) out[3] = in_bytes == 4 ? in[3] : 0;
    }
    if (!sink.Write(row.get(), job.row_size)) return false;
  }
  return true;
}

bool WriteBmp(ByteSink& sink, const EncodeJob& job) {
  if (!WriteHeaders(sink, job)) return false;
  if (job.depth <= 8) return WritePaletteImage(sink, job);
  return WriteTrueColourImage(sink, job);
}

intptr_t EncodeToFile(const char* path, const EncodeJob& job) {
  FileSink sink(path);
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
    if (context->data == nullptr || context->data_size < layout::kHeadersSize) return 0;
    context->bytes = context->data;
    context->size = context->data_size;
  } else if (!LoadFile(context)) {
    return 0;
  }
  BmpHeader header{};
  if (!ParseHeader(ByteReader(context->bytes, context->size), &header)) {
    FinishBmp(context);
    return 0;
  }
  context->width = header.width;
  context->height = header.height;
  context->bits_per_pixel = header.bits_per_pixel;
  const bool alpha = header.bits_per_pixel == 32 &&
                     BmpHasAlpha(context->bytes, context->size, header.width, header.height);
  context->output_depth = alpha ? 32 : 24;
  return 1;
}

int32_t DecodeBmp(ImageDecodeContext* context, void* destination, int64_t pitch, uint32_t flags) {
  if (context == nullptr || destination == nullptr) return 0;
  const ByteReader in(context->bytes, context->size);
  BmpHeader header{};
  if (!ParseHeader(in, &header)) return 0;
  const int32_t pixel_bytes = header.bits_per_pixel == 32 && context->output_depth == 32 ? 4 : 3;
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
      return Decode16(in, header, out, format);
    case 24:
    case 32:
      return DecodeTrueColour(in, header, out, format);
    default:
      return 1;
  }
}

void FinishBmp(ImageDecodeContext* context) {
  if (context == nullptr) return;
  FreeBlock(context->file_copy);
  context->file_copy = nullptr;
  context->bytes = nullptr;
  context->size = 0;
}

int32_t BmpHasAlpha(const uint8_t* bytes, uint64_t size, int32_t width, int32_t height) {
  if (width < 1 || height < 1) return 0;
  const ByteReader in(bytes, size);
  uint32_t pixel_offset = 0;
  if (!in.U32At(layout::kPixelOffset, &pixel_offset)) return 0;
  // Both factors are below 2^31, so the product of the three stays below 2^64.
  const uint64_t rows_size = static_cast<uint64_t>(width) * 4 * static_cast<uint64_t>(height);
  const uint8_t* pixels = in.At(pixel_offset, rows_size);
  if (pixels == nullptr) return 0;
  for (uint64_t i = 3; i < rows_size; i += 4) {
    if (pixels[i] != 0) return 1;
  }
  return 0;
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
