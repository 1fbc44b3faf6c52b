// ColourQuantizer: reduces RGBA pixels to a palette of 2, 4, 16 or 256 colours and maps them
// to palette indices one row at a time, for the palette depths of the BMP encoder.
//
// A picture with no more distinct colours (red, green, blue and alpha) than the palette holds
// gets them as its palette, unchanged, at every depth. Otherwise depths 2, 4 and 8 learn
// their palette with a self-organising network of four-channel neurons (alpha, blue, green,
// red) in a gamma space of 1.8, where colour distances are weighted by opacity so that a
// transparent pixel is told apart by its alpha alone, and depth 1 has a fixed
// black-and-white palette and splits pixels by luminance. Learnt palettes can optionally be
// dithered by error diffusion. Unless asked not to, a learnt palette is then refined: its
// colours move a few times to the means of the pixels they stand for, and the result is kept
// when the whole picture maps to it with less error than to the learnt one.
//
// Learning and searching use the widest vectors the processor has, with the same results to
// the bit at every width. Undithered rows are mapped in batches spread over the cores.
//
// A quantizer belongs to one thread; the threads it starts end before each call returns.
#pragma once

#include <cstdint>

// Option bit: diffuse every pixel's error into its neighbours.
inline constexpr uint32_t QuantizeDither = 0x100;
// Option bit: keep the palette as the network learnt it, without refining it afterwards.
inline constexpr uint32_t QuantizeNoRefinement = 0x200;

inline constexpr int32_t QuantMaxNeurons = 256;
inline constexpr int32_t QuantInitialRadius = 32;
inline constexpr double QuantGamma = 1.8;

// The instruction set of learning and searching, narrowest first. Results are the same with
// each.
enum class QuantSimd : int32_t {
  Base,    // 16-byte vectors: SSE2 on x86-64, whatever the compiler makes of them elsewhere
  Avx2,    // 32-byte vectors, on x86-64 processors with AVX2
  Avx512,  // 64-byte vectors for learning, on x86-64 processors with AVX-512F
};
// The instruction set quantizers created from now on use: the widest the processor has,
// unless limited to a narrower one (as tests do, to compare them). Returns the one now in use.
QuantSimd LimitQuantSimd(QuantSimd widest);

// Neuron components, in their order within a neuron.
enum QuantChannel { QuantAlpha = 0, QuantBlue = 1, QuantGreen = 2, QuantRed = 3 };

// A sized block. Room is kept for the largest network whatever the netsize.
struct QuantNetwork {
  const uint8_t* pixels;               // RGBA, 4 bytes per pixel
  uint64_t length;                     // bytes
  double neurons[QuantMaxNeurons][4];  // 0-255 scale, colours in gamma space
  double bias[QuantMaxNeurons];
  double frequency[QuantMaxNeurons];
  int32_t green_index[256];  // where the search starts, by gamma-space green
  double radius_power[QuantInitialRadius];
  int32_t netsize;
  double gamma;
  double gamma_table[256];
  // The neurons as bytes, sorted by green: red, green, blue in gamma space, then alpha.
  uint8_t colour_map[QuantMaxNeurons][4];
};

// Where each colour of a picture that fits its palette has its entry.
struct QuantColourTable;
// The palette laid out for searching with vectors.
struct QuantSearchTable;
struct QuantKernels;

// A sized block.
struct ColourQuantizer {
  uint8_t* pixels;  // RGBA rows of exactly width * 4 bytes
  int32_t height;
  int32_t width;
  int32_t source_depth;
  uint32_t options;
  int32_t output_depth;
  int32_t owns_pixels;    // 1 when pixels is a private copy
  uint8_t* row_buffer;    // width + 8 bytes: a row's indices, packed in place
  QuantNetwork* network;  // null for depth 1 and for exact colours
  double gamma;
  int32_t error_carry[4];           // red, green, blue, alpha: dithering error for the next row
  uint8_t palette[256][4];          // red, green, blue, alpha
  QuantColourTable* exact_colours;  // set when every colour has its own palette entry
  // Dithering, width * 4 values each: the error owed to the row asked for next, and the
  // error the current row leaves for the one after it.
  int32_t* incoming_error;
  int32_t* outgoing_error;
  const QuantKernels* kernels;     // for the instruction set chosen at creation
  QuantSearchTable* search_table;  // with the network
  // Undithered rows are mapped batch_rows at a time into mapped_rows, width bytes each;
  // mapped_count rows from mapped_first are there.
  uint8_t* mapped_rows;
  int32_t batch_rows;
  int32_t mapped_first;
  int32_t mapped_count;
};

// How learning walks the pixels, derived from the image size alone.
struct QuantLearningPlan {
  int32_t sample_factor;   // about one pixel in this many is learnt from (1 to 10)
  uint64_t samples;        // 0 when the image is smaller than the sample factor
  uint64_t delta;          // samples between two decay steps
  int32_t alpha_decrease;  // divisor of the learning rate's decay
  uint64_t step;           // bytes between samples: 4 times a prime that does not divide
};

// REQUIRES: width, height >= 1.
QuantLearningPlan PlanQuantLearning(int32_t width, int32_t height);

// table[i] = 255 * (i / 255)^(1 / gamma), rounded: how pixel values enter the network.
void BuildQuantGammaTable(double gamma, double table[256]);
// floor(256 * (v / 255)^gamma), within 0-255: how neuron colours leave the network.
uint8_t QuantPaletteValue(double value, double gamma);
// floor(256 * a / 255), within 0-255.
uint8_t QuantAlphaByte(double alpha);

// Pixels are rows at pitch bytes of 3-byte RGB (source depth 24) or 4-byte RGBA (32) pixels;
// they are read during creation and, for a 32-bit source whose rows are packed, used in place
// until FreeQuantizer, so they must stay unchanged until then. Output depth is 1, 2, 4 or 8.
// Null for other depths, a size below 1, a pitch shorter than a row, or when memory runs out.
ColourQuantizer* CreateQuantizer(const void* pixels, int32_t width, int32_t height,
                                 int32_t source_depth, int64_t pitch, int32_t output_depth,
                                 uint32_t options);

// Row y's palette indices packed most significant bits first (eight, four, two or one per
// byte); bits beyond the width are 0. The row lives in the quantizer's row buffer until the
// next call. With dithering each call spreads its error into the row the next call asks
// for, whichever that is (rows are asked for in the order they are written, top or bottom
// first), and hands it 7/16 of its last error as well. Null for a row outside the image.
const uint8_t* QuantizedRow(ColourQuantizer* quantizer, int32_t y);

// Null is ignored.
void FreeQuantizer(ColourQuantizer* quantizer);
