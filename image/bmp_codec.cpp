#include "image/bmp_codec.h"

namespace {

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
