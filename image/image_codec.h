// The image codec registry: decoder and encoder plugins identified by a 32-bit format id,
// and the process-wide decode context through which a decoder is chosen and run.
//
// Decoding goes IdentifyImageData (or IdentifyImageFile), then DecodeImagePixels into a
// buffer sized from the context's width, height and output depth, then FinishImageDecode.
// Pixel buffers hold rows of 3-byte RGB or 4-byte RGBA pixels at a caller's pitch; with
// ImageRowsBottomUp in the flags row 0 is the bottom row, otherwise the top row.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <cstdio>

// "BMP" in little-endian bytes.
inline constexpr uint32_t ImageFormatBmp = 0x504D42;
inline constexpr uint32_t ImageRowsBottomUp = 2;
inline constexpr int32_t MaxImageCodecs = 30;

struct ImageDecodeContext;

// 1 when the decoder takes the context's source, 0 otherwise (having released whatever it
// took on the way).
using ImageCheckFunction = int32_t (*)(ImageDecodeContext* context);
// 1 on success, 0 on failure.
using ImageDecodeFunction = int32_t (*)(ImageDecodeContext* context, void* destination,
                                        int64_t pitch, uint32_t flags);
using ImageFinishFunction = void (*)(ImageDecodeContext* context);
// path null: the address of a new memory block (FreeMemory) holding the whole file, or 0.
// Otherwise 1 when the file was written, 0 when it was not (and no file is left).
using ImageEncodeFunction = intptr_t (*)(const char* path, const void* pixels, int32_t width,
                                         int32_t height, int64_t pitch, uint32_t flags,
                                         uint32_t options, int32_t depth);

struct ImageDecoderPlugin {
  ImageCheckFunction check;
  ImageDecodeFunction decode;
  ImageFinishFunction finish;
  uint32_t format;
};

struct ImageEncoderPlugin {
  uint32_t format;
  ImageEncodeFunction encode24;  // from 3-byte RGB pixels
  ImageEncodeFunction encode32;  // from 4-byte RGBA pixels
};

// One per process, a module globals block.
struct ImageDecodeContext {
  const ImageDecoderPlugin* decoder;  // the one that accepted the source
  FILE* file;                         // a file source, closed by FinishImageDecode
  const uint8_t* data;                // a memory source
  uint32_t data_size;
  uint32_t memory_source;  // 1 for memory
  int32_t width;           // set by the accepting decoder, always positive
  int32_t height;
  uint32_t output_depth;    // 24 or 32: the buffer's bits per pixel
  uint8_t* file_copy;       // a decoder's copy of a file's bytes, a sized block it owns
  const uint8_t* bytes;     // the encoded bytes: data or file_copy
  uint64_t size;            // of bytes
  uint32_t bits_per_pixel;  // as the file says
  // The source holds one image and this is the first: multi-image formats would count here.
  uint32_t image_count;
  uint32_t image_index;
};

// Append a plugin. 0 when the table is full or the plugin is already there.
int32_t RegisterImageDecoder(const ImageDecoderPlugin* plugin);
int32_t RegisterImageEncoder(const ImageEncoderPlugin* plugin);
// The first encoder registered for format, or null.
const ImageEncoderPlugin* FindImageEncoder(uint32_t format);

// Start routine: allocates the decode context, zeroed. A second call keeps the first.
void InitImageDecodeContext();
// Null before InitImageDecodeContext.
ImageDecodeContext* CurrentImageDecodeContext();

// Offers data to the decoders in registration order and returns the format of the first
// that accepts it, or 0. A decode left unfinished is finished first. The data must stay
// untouched until FinishImageDecode.
uint32_t IdentifyImageData(const void* data, uint32_t size);
// As IdentifyImageData for the file at path (UTF-8); the file stays open until
// FinishImageDecode, and is closed at once when no decoder accepts it.
uint32_t IdentifyImageFile(const char* path);
// The accepted decoder's decode function; 0 when none accepted.
int32_t DecodeImagePixels(void* destination, int64_t pitch, uint32_t flags);
// The accepted decoder's finish function; closes a file source. Safe to call twice.
void FinishImageDecode();
