// PipeReader: a non-blocking ring-buffer reader over the read end of a pipe, and the line
// readers on top of it. The lowest piece of the process runner; it knows nothing of
// programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "runtime/string_stack.h"

inline constexpr size_t PipeReaderCapacity = 10240;
// Given by PipeReaderReadByte and PipeReaderReadChar at end of file; never a byte or a
// character.
inline constexpr uint32_t PipeReaderEnd = 0xFFFFFFFF;

// Wraps the read end of a pipe. The descriptor is non-blocking: a read that would wait
// delivers nothing without counting as end of file. The reader never moves, so the
// positions may point into its own ring.
struct PipeReader {
  FILE* stream;
  uint8_t* bufferStart;
  uint8_t* readPosition;   // next byte to hand out
  uint8_t* writePosition;  // where the next byte from the stream goes
  uint64_t count;          // bytes held in the ring
  uint8_t ring[PipeReaderCapacity];
};

// Makes the descriptor non-blocking and opens a stream on it; null when either fails (the
// descriptor then stays open and belongs to the caller).
PipeReader* PipeReaderOpen(int fd, const char* mode);
// The bytes buffered after moving in what can be read now (nothing is read while bytes
// are still buffered).
uint64_t PipeReaderFill(PipeReader* reader);
// Delivers n bytes, waiting for them; fewer only at end of file.
uint64_t PipeReaderRead(PipeReader* reader, void* dest, uint64_t n);
// A byte 0-255, or PipeReaderEnd.
uint32_t PipeReaderReadByte(PipeReader* reader);
// One UTF-8 character as UTF-16: a unit, or for a four-byte character the two units of its
// surrogate pair packed (first in bits 0-15, second in bits 16-31). A byte that cannot
// start a character reads as a space; a sequence cut short by end of file as PipeReaderEnd.
uint32_t PipeReaderReadChar(PipeReader* reader);
// Whole items of item_size bytes delivered, as fread; 0 when the total size is 0.
uint64_t PipeReaderReadItems(void* dest, uint64_t item_size, uint64_t item_count,
                             PipeReader* reader);
// 1 when nothing is buffered, nothing can be read now and the stream is at end of file.
int32_t PipeReaderAtEnd(PipeReader* reader);
// Closes the stream (and so the descriptor) and frees the reader. Null is ignored.
void PipeReaderClose(PipeReader* reader);

// The next line without its line feed (a carriage return stays), waiting for it; the empty
// string at end of file. UTF-8, or one byte per character in byte mode (a zero byte ends
// the text there, the rest of the line is consumed).
char16_t* PipeReaderReadLine(PipeReader* reader, bool byte_mode, StringResultPosition p);
// The next whole UTF-8 line, or the empty string when none is complete yet; never waits
// (except inside one multi-byte character). A partial line is kept in *held (a malloc'd
// copy, *held_length units) and continued by the next call; *held is null when none is
// kept. A last line without a line feed is never returned.
char16_t* PipeReaderReadCompleteLine(PipeReader* reader, char16_t** held, int64_t* held_length,
                                     StringResultPosition p);
