#include "process/pipe_reader.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "process/descriptors.h"
#include "runtime/memory.h"
#include "runtime/text_conversion.h"

namespace {

// A line being collected grows by this many units.
constexpr int64_t kLineStep = 1024;
// How long one wait for pipe data may block before the reader looks again.
constexpr int kDataPollMilliseconds = 5;

uint8_t* BufferEnd(PipeReader* reader) {
  return reader->bufferStart + PipeReaderCapacity;
}

bool StreamAtEnd(PipeReader* reader) {
  return feof(reader->stream) != 0;
}

// Contiguous free space from the write position. REQUIRES: the ring is not full.
size_t FreeSpan(PipeReader* reader) {
  if (reader->writePosition < reader->readPosition) {
    return static_cast<size_t>(reader->readPosition - reader->writePosition);
  }
  return static_cast<size_t>(BufferEnd(reader) - reader->writePosition);
}

size_t BufferedSpan(PipeReader* reader) {
  auto to_end = static_cast<uint64_t>(BufferEnd(reader) - reader->readPosition);
  return static_cast<size_t>(std::min(reader->count, to_end));
}

void Consume(PipeReader* reader, size_t bytes) {
  reader->readPosition += bytes;
  if (reader->readPosition == BufferEnd(reader)) reader->readPosition = reader->bufferStart;
  reader->count -= bytes;
}

// Moves in what the pipe holds now, until the ring is full or the stream ends.
void MoveInAvailable(PipeReader* reader) {
  // An empty ring starts over at its beginning, so the next read gets the whole ring in one
  // piece.
  if (reader->count == 0) reader->readPosition = reader->writePosition = reader->bufferStart;
  while (!StreamAtEnd(reader) && reader->count < PipeReaderCapacity) {
    size_t wanted = FreeSpan(reader);
    size_t got = fread(reader->writePosition, 1, wanted, reader->stream);
    reader->writePosition += got;
    reader->count += got;
    if (reader->writePosition == BufferEnd(reader)) reader->writePosition = reader->bufferStart;
    if (got == wanted) continue;
    // A read that would block (EAGAIN) or was interrupted sets the error indicator; neither
    // is an error for this reader, and the next fill simply tries again.
    if (!StreamAtEnd(reader)) clearerr(reader->stream);
    return;
  }
}

// Blocks until the pipe has data or has ended, or one poll interval has passed. poll wakes
// as soon as data arrives, where a plain sleep of the interval would leave the pipe idle.
void AwaitData(PipeReader* reader) {
  const int fd = fileno(reader->stream);
  WaitForReadable(&fd, 1, kDataPollMilliseconds);
}

// Returns with something buffered, or at end of file.
void WaitForBufferedData(PipeReader* reader) {
  MoveInAvailable(reader);
  while (reader->count == 0 && !StreamAtEnd(reader)) {
    AwaitData(reader);
    MoveInAvailable(reader);
  }
}

uint32_t TakeByte(PipeReader* reader) {
  uint32_t byte = *reader->readPosition;
  Consume(reader, 1);
  return byte;
}

int TrailingBytes(uint32_t lead) {
  if (lead >= 0xF8) return -1;
  if (lead >= 0xF0) return 3;
  if (lead >= 0xE0) return 2;
  if (lead >= 0xC0) return 1;
  return -1;  // a continuation byte where a character should start
}

uint32_t PackFourByteCharacter(const uint8_t bytes[4]) {
  char16_t units[2] = {0, 0};
  int64_t produced =
      DecodeToUtf16(EncodingUtf8, 0, reinterpret_cast<const char*>(bytes), 4, units, 2);
  // A code point beyond U+10FFFF gives no unit; it reads like any other byte that cannot
  // start a character.
  if (produced == 0) return u' ';
  return static_cast<uint32_t>(units[0]) | (static_cast<uint32_t>(units[1]) << 16);
}

bool IsPackedPair(uint32_t c) {
  return (c & 0xF800) == 0xD800;
}

// One mark bit (the top bit of its byte) for each byte of the word that is a line feed or
// not ASCII. Marks above the first marked byte may be false (a borrow of the subtraction
// runs upward), so only the first one in memory order counts.
uint64_t StopBytes(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighBits = 0x8080808080808080;
  uint64_t line_feeds = word ^ (kOnes * '\n');
  return (word | ((line_feeds - kOnes) & ~line_feeds)) & kHighBits;
}

size_t FirstMarkedByte(uint64_t marks) {
  int bit = std::endian::native == std::endian::little ? std::countr_zero(marks)
                                                       : std::countl_zero(marks);
  return static_cast<size_t>(bit) / 8;
}

bool IsPlainAscii(uint8_t byte) {
  return byte < 0x80 && byte != '\n';
}

// The bytes of the run that need no decoding: ASCII up to the next line feed. Eight bytes
// per step, since this scan carries nearly every byte of output.
size_t PlainAsciiLength(const uint8_t* bytes, size_t n) {
  size_t length = 0;
  for (; length + 8 <= n; length += 8) {
    uint64_t word;
    memcpy(&word, bytes + length, 8);
    uint64_t marks = StopBytes(word);
    if (marks != 0) return length + FirstMarkedByte(marks);
  }
  while (length < n && IsPlainAscii(bytes[length]))
    ++length;
  return length;
}

// A line built in place on the StringStack at the result position, reserving kLineStep
// units at a time. The address of the units changes when the reservation grows.
class LineBuilder {
 public:
  explicit LineBuilder(StringResultPosition p) : position_(p) { Grow(); }

  int64_t Length() const { return length_; }
  const char16_t* Units() const { return units_; }
  int64_t Room() {
    if (length_ == reserved_) Grow();
    return reserved_ - length_;
  }
  char16_t* Tail() { return units_ + length_; }
  void Advance(int64_t units) { length_ += units; }

  void Append(char16_t unit) {
    Room();
    units_[length_++] = unit;
  }
  void AppendCharacter(uint32_t c) {
    Append(static_cast<char16_t>(c));
    if (IsPackedPair(c)) Append(static_cast<char16_t>(c >> 16));
  }
  void AppendUnits(const char16_t* units, int64_t count) {
    for (int64_t i = 0; i < count; ++i)
      Append(units[i]);
  }

  // Terminates the line and gives back the unused units.
  char16_t* Finish() {
    units_[length_] = u'\0';
    DropStringUnits(reserved_ - length_);
    return units_;
  }
  char16_t* Discard() { return SetEmptyStringResult(position_); }

 private:
  void Grow() {
    reserved_ += kLineStep;
    units_ = ReserveStringUnits(reserved_, position_);
  }

  StringResultPosition position_;
  char16_t* units_ = nullptr;
  int64_t reserved_ = 0;
  int64_t length_ = 0;
};

// Copies the plain ASCII that is already buffered straight into the line, the common case,
// without decoding byte by byte. Stops before a line feed, before a byte that starts a
// multi-byte character, and when nothing is buffered.
void AppendBufferedAscii(PipeReader* reader, LineBuilder& line) {
  while (reader->count > 0) {
    size_t span = std::min(BufferedSpan(reader), static_cast<size_t>(line.Room()));
    const uint8_t* bytes = reader->readPosition;
    size_t plain = PlainAsciiLength(bytes, span);
    char16_t* tail = line.Tail();
    for (size_t i = 0; i < plain; ++i)
      tail[i] = bytes[i];
    line.Advance(static_cast<int64_t>(plain));
    Consume(reader, plain);
    if (plain < span) return;
  }
}

char16_t* ReadUtf8Line(PipeReader* reader, StringResultPosition p) {
  LineBuilder line(p);
  for (;;) {
    AppendBufferedAscii(reader, line);
    uint32_t c = PipeReaderReadChar(reader);
    if (c == PipeReaderEnd || c == '\n') return line.Finish();
    line.AppendCharacter(c);
  }
}

// Byte values become the units of the same value (Latin-1). As with any Latin-1 text, a
// zero byte ends the text; the rest of the line is still consumed.
char16_t* ReadByteLine(PipeReader* reader, StringResultPosition p) {
  LineBuilder line(p);
  bool cut = false;
  for (;;) {
    uint32_t byte = PipeReaderReadByte(reader);
    if (byte == PipeReaderEnd || byte == '\n') return line.Finish();
    cut = cut || byte == 0;
    if (!cut) line.Append(static_cast<char16_t>(byte));
  }
}

void TakeHeldLine(char16_t** held, int64_t* held_length, LineBuilder& line) {
  if (*held == nullptr) return;
  line.AppendUnits(*held, *held_length);
  free(*held);
  *held = nullptr;
  *held_length = 0;
}

void HoldLine(char16_t** held, int64_t* held_length, const LineBuilder& line) {
  int64_t length = line.Length();
  if (length == 0) return;
  auto* copy = static_cast<char16_t*>(malloc(static_cast<size_t>(length + 1) * 2));
  if (copy == nullptr) AbortWithMessage("out of memory holding a partial line");
  memcpy(copy, line.Units(), static_cast<size_t>(length) * 2);
  copy[length] = u'\0';
  *held = copy;
  *held_length = length;
}

}  // namespace

PipeReader* PipeReaderOpen(int fd, const char* mode) {
  if (!MakeNonBlocking(fd)) return nullptr;
  auto* reader = static_cast<PipeReader*>(AllocateBlock(sizeof(PipeReader)));
  if (reader == nullptr) return nullptr;
  reader->stream = fdopen(fd, mode);
  if (reader->stream == nullptr) {
    FreeBlock(reader);
    return nullptr;
  }
  // The ring is the buffer: unbuffered, a read of the stream goes straight to the pipe and
  // no bytes wait unseen in a stdio buffer.
  setvbuf(reader->stream, nullptr, _IONBF, 0);
  fwide(reader->stream, -1);
  reader->bufferStart = reader->readPosition = reader->writePosition = reader->ring;
  return reader;
}

uint64_t PipeReaderFill(PipeReader* reader) {
  if (reader->count == 0) MoveInAvailable(reader);
  return reader->count;
}

uint64_t PipeReaderRead(PipeReader* reader, void* dest, uint64_t n) {
  auto* out = static_cast<uint8_t*>(dest);
  uint64_t delivered = 0;
  while (delivered < n) {
    if (reader->count == 0) {
      if (StreamAtEnd(reader)) break;
      WaitForBufferedData(reader);
      continue;
    }
    size_t take = static_cast<size_t>(std::min<uint64_t>(n - delivered, BufferedSpan(reader)));
    memcpy(out + delivered, reader->readPosition, take);
    Consume(reader, take);
    delivered += take;
  }
  return delivered;
}

uint32_t PipeReaderReadByte(PipeReader* reader) {
  if (reader->count > 0) return TakeByte(reader);
  uint8_t byte;
  return PipeReaderRead(reader, &byte, 1) == 1 ? byte : PipeReaderEnd;
}

uint32_t PipeReaderReadChar(PipeReader* reader) {
  uint32_t lead = PipeReaderReadByte(reader);
  if (lead == PipeReaderEnd || lead < 0x80) return lead;
  int trailing = TrailingBytes(lead);
  if (trailing < 0) return u' ';
  uint8_t bytes[4] = {static_cast<uint8_t>(lead), 0, 0, 0};
  for (int k = 1; k <= trailing; ++k) {
    uint32_t next = PipeReaderReadByte(reader);
    if (next == PipeReaderEnd) return PipeReaderEnd;
    bytes[k] = static_cast<uint8_t>(next);
  }
  // Continuation bytes are taken as they come: no check of their 10xxxxxx form.
  if (trailing == 1) return ((lead & 31u) << 6) | (bytes[1] & 63u);
  if (trailing == 2) return ((lead & 15u) << 12) | ((bytes[1] & 63u) << 6) | (bytes[2] & 63u);
  return PackFourByteCharacter(bytes);
}

uint64_t PipeReaderReadItems(void* dest, uint64_t item_size, uint64_t item_count,
                             PipeReader* reader) {
  uint64_t total;
  if (item_size == 0 || __builtin_mul_overflow(item_size, item_count, &total)) return 0;
  return PipeReaderRead(reader, dest, total) / item_size;
}

int32_t PipeReaderAtEnd(PipeReader* reader) {
  MoveInAvailable(reader);
  if (reader->count > 0) return 0;
  return StreamAtEnd(reader) ? 1 : 0;
}

void PipeReaderClose(PipeReader* reader) {
  if (reader == nullptr) return;
  fclose(reader->stream);
  FreeBlock(reader);
}

char16_t* PipeReaderReadLine(PipeReader* reader, bool byte_mode, StringResultPosition p) {
  return byte_mode ? ReadByteLine(reader, p) : ReadUtf8Line(reader, p);
}

char16_t* PipeReaderReadCompleteLine(PipeReader* reader, char16_t** held, int64_t* held_length,
                                     StringResultPosition p) {
  if (PipeReaderFill(reader) == 0) return SetEmptyStringResult(p);
  LineBuilder line(p);
  TakeHeldLine(held, held_length, line);
  while (PipeReaderFill(reader) > 0) {
    uint32_t c = PipeReaderReadChar(reader);
    if (c == PipeReaderEnd || c == '\n') return line.Finish();
    line.AppendCharacter(c);
  }
  HoldLine(held, held_length, line);
  return line.Discard();
}
