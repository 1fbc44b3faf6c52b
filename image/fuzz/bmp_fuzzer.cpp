// libFuzzer harness: any bytes offered as an in-memory BMP must either be refused by CheckBmp
// or decode, successfully or not, without touching memory beyond the file and the buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/bmp_codec.h"
#include "image/image_codec.h"

namespace {

// Larger pictures are valid but only cost memory and time without reaching new code.
constexpr int64_t kMaxFuzzPixels = int64_t{1} << 22;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool registered = [] {
    InitImageDecodeContext();
    RegisterBmpCodec();
    return true;
  }();
  (void)registered;
  if (size > UINT32_MAX) return 0;

  ImageDecodeContext* context = CurrentImageDecodeContext();
  *context = ImageDecodeContext{};
  context->data = data;
  context->data_size = static_cast<uint32_t>(size);
  context->memory_source = 1;
  if (CheckBmp(context) == 0) return 0;

  const int64_t pixels = int64_t{context->width} * context->height;
  if (pixels <= kMaxFuzzPixels) {
    const int64_t pitch = int64_t{context->width} * (context->output_depth / 8);
    std::vector<uint8_t> buffer(static_cast<size_t>(pitch * context->height));
    // The last byte picks the buffer's row order, so both are explored.
    const uint32_t flags = data[size - 1] & 1 ? ImageRowsBottomUp : 0;
    DecodeBmp(context, buffer.data(), pitch, flags);
  }
  FinishBmp(context);
  return 0;
}
