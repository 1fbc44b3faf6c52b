#include "image/image_codec.h"

#include "runtime/object_table.h"

namespace {

struct CodecTables {
  const ImageDecoderPlugin* decoders[MaxImageCodecs];
  int32_t decoder_count;
  const ImageEncoderPlugin* encoders[MaxImageCodecs];
  int32_t encoder_count;
};

CodecTables codecs;
void* decode_context_globals = nullptr;

template <typename Plugin>
int32_t Append(const Plugin** table, int32_t* count, const Plugin* plugin) {
  if (plugin == nullptr || *count >= MaxImageCodecs) return 0;
  for (int32_t i = 0; i < *count; ++i) {
    if (table[i] == plugin) return 0;
  }
  table[(*count)++] = plugin;
  return 1;
}

// REQUIRES: the context holds a fresh source and no decoder.
uint32_t OfferToDecoders(ImageDecodeContext* context) {
  for (int32_t i = 0; i < codecs.decoder_count; ++i) {
    const ImageDecoderPlugin* plugin = codecs.decoders[i];
    if (plugin->check(context) == 0) continue;
    context->decoder = plugin;
    return plugin->format;
  }
  return 0;
}

// Finishes what an earlier source left and clears the context for a new one.
ImageDecodeContext* ResetContext() {
  ImageDecodeContext* context = CurrentImageDecodeContext();
  if (context == nullptr) return nullptr;
  FinishImageDecode();
  *context = ImageDecodeContext{};
  context->image_count = 1;
  context->image_index = 0;
  return context;
}

}  // namespace

int32_t RegisterImageDecoder(const ImageDecoderPlugin* plugin) {
  return Append(codecs.decoders, &codecs.decoder_count, plugin);
}

int32_t RegisterImageEncoder(const ImageEncoderPlugin* plugin) {
  return Append(codecs.encoders, &codecs.encoder_count, plugin);
}

const ImageEncoderPlugin* FindImageEncoder(uint32_t format) {
  for (int32_t i = 0; i < codecs.encoder_count; ++i) {
    if (codecs.encoders[i]->format == format) return codecs.encoders[i];
  }
  return nullptr;
}

void InitImageDecodeContext() {
  if (decode_context_globals != nullptr) return;
  decode_context_globals = AllocateModuleGlobals(sizeof(ImageDecodeContext), nullptr);
}

ImageDecodeContext* CurrentImageDecodeContext() {
  return static_cast<ImageDecodeContext*>(ModuleGlobals(decode_context_globals));
}

uint32_t IdentifyImageData(const void* data, uint32_t size) {
  ImageDecodeContext* context = ResetContext();
  if (context == nullptr) return 0;
  context->data = static_cast<const uint8_t*>(data);
  context->data_size = size;
  context->memory_source = 1;
  return OfferToDecoders(context);
}

uint32_t IdentifyImageFile(const char* path) {
  ImageDecodeContext* context = ResetContext();
  if (context == nullptr || path == nullptr) return 0;
  context->file = std::fopen(path, "rb");
  if (context->file == nullptr) return 0;
  const uint32_t format = OfferToDecoders(context);
  if (format == 0) FinishImageDecode();
  return format;
}

int32_t DecodeImagePixels(void* destination, int64_t pitch, uint32_t flags) {
  ImageDecodeContext* context = CurrentImageDecodeContext();
  if (context == nullptr || context->decoder == nullptr) return 0;
  return context->decoder->decode(context, destination, pitch, flags);
}

void FinishImageDecode() {
  ImageDecodeContext* context = CurrentImageDecodeContext();
  if (context == nullptr) return;
  if (context->decoder != nullptr) context->decoder->finish(context);
  context->decoder = nullptr;
  if (context->file != nullptr) std::fclose(context->file);
  context->file = nullptr;
}
