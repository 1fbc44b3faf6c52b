// The BMP codec, registered under ImageFormatBmp.
//
// Decodes uncompressed 1, 4, 8, 16 and 32-bit files (16 and 32 bits with fixed fields or
// through bit-field masks), 24-bit files, RLE8 and RLE4, and the 12-byte info header of early
// files at 1, 4, 8 and 24 bits; rows stored bottom-up or (negative height) top-down. Pixels
// come out as 3-byte RGB, or 4-byte RGBA for 16 and 32-bit files whose alpha field is not
// zero in every pixel. Encodes 1, 4, 8, 24 and 32-bit files from RGB or RGBA pixels, choosing
// palettes with the colour quantizer.
//
// A malformed file fails with 0 and is never read or written beyond its buffers. The
// process-wide decode context is the main thread's; CheckBmp, DecodeBmp and FinishBmp on
// contexts of their callers' own may run on several threads at once.
#pragma once

#include <cstdint>

#include "image/image_codec.h"

// Larger images are refused: at most this many pixels across or down, and this many in all,
// so that a buffer for them stays within reach and no size product overflows.
inline constexpr int32_t BmpMaxDimension = 1 << 20;
inline constexpr int64_t BmpMaxPixels = int64_t{1} << 28;

// Start routine: registers the BMP decoder and encoder. A second call adds nothing.
void RegisterBmpCodec();

// Accepts a source with the "BM" signature, zero reserved words, an info header of 12 bytes
// or of at least 40 (of which the first 40 are present) and a size within the limits above;
// records width, height, bits per pixel and output depth in the context. A file source is
// mapped into memory, or read into the context's file copy where it cannot be mapped;
// FinishBmp releases either.
int32_t CheckBmp(ImageDecodeContext* context);
// 1 when the pixels are in the destination. 0 when the file is malformed or cut short (rows
// already written stay), the pitch is shorter than a row, or the file is of a kind not
// decoded here (other depths, embedded JPEG or PNG, 24-bit run lengths, ...). Pixels that
// run-length codes skip are left as they were.
int32_t DecodeBmp(ImageDecodeContext* context, void* destination, int64_t pitch, uint32_t flags);
void FinishBmp(ImageDecodeContext* context);
// 1 when some pixel of the 32-bit rows stored from the file's pixel data offset has a
// non-zero fourth byte; 0 when none has, or when those rows do not lie within size.
int32_t BmpHasAlpha(const uint8_t* bytes, uint64_t size, int32_t width, int32_t height);

// Writes pixels (rows at pitch of source_depth 24 or 32 bits) as a BMP file of depth 1, 4,
// 8, 24 or 32; palette depths go through the colour quantizer with the given options. With
// a path (UTF-8): 1 when the file was written, 0 when not, and no partly written file
// remains. With a null path: the address of a new memory block holding the whole file (its
// size is the block's, freed with FreeMemory), or 0.
intptr_t EncodeBmp(const char* path, const void* pixels, int32_t width, int32_t height,
                   int64_t pitch, uint32_t flags, uint32_t options, int32_t depth,
                   int32_t source_depth);
