#include "image/bmp_codec.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "image/bmp_format.h"
#include "image/colour_quantizer.h"
#include "runtime/memory.h"

namespace {

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
  job->palette_bytes = job->depth <= 8 ? bmp::kPaletteEntrySize << job->depth : 0;
  job->file_size = bmp::kHeadersSize + job->palette_bytes + job->row_size * job->height;
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
  uint8_t header[bmp::kHeadersSize] = {};
  Put16(header, bmp::kSignature, bmp::kMagic);
  Put32(header, bmp::kFileSize, static_cast<uint32_t>(job.file_size));
  Put32(header, bmp::kPixelOffset, static_cast<uint32_t>(bmp::kHeadersSize + job.palette_bytes));
  Put32(header, bmp::kInfoSize, bmp::kInfoHeaderSize);
  Put32(header, bmp::kWidth, static_cast<uint32_t>(job.width));
  Put32(header, bmp::kHeight, static_cast<uint32_t>(job.height));
  Put16(header, bmp::kPlanes, 1);
  Put16(header, bmp::kBitsPerPixel, static_cast<uint16_t>(job.depth));
  Put32(header, bmp::kCompression, bmp::kCompressionNone);
  Put32(header, bmp::kImageSize, static_cast<uint32_t>(job.row_size * job.height));
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
    const uint8_t entry[bmp::kPaletteEntrySize] = {colour[2], colour[1], colour[0], 0};
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
      bmp::SwapRedAndBlue(in, out, job.width);
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

}  // namespace

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
