#include "image/image_objects.h"

#include <QGuiApplication>
#include <QImage>
#include <QObject>
#include <QScreen>

#include <cstring>
#include <new>

#include "runtime/list.h"
#include "runtime/object_table.h"

ObjectTable* ImageTable = nullptr;
ObjectTable* RetainedObjectTable = nullptr;
DrawingScale ImageDrawingScale{1.0, 1.0};
bool ImageHighResolution = false;
pthread_key_t ImageThreadKey;
bool ImageThreadKeyReady = false;

namespace {

constexpr int32_t kImageTableIncrement = 16;
constexpr int32_t kRetainedTableIncrement = 8;
constexpr int16_t kCreatedDepth = 32;

ImageRecord* FindImage(int64_t object) {
  if (ImageTable == nullptr) return nullptr;
  return static_cast<ImageRecord*>(LookupObject(ImageTable, object));
}

void Fill(QImage* image, int32_t fill_mode, uint32_t colour) {
  if (fill_mode == ImageFillNone) return;
  uint8_t* pixels = image->bits();
  if (pixels == nullptr) return;
  const size_t size = static_cast<size_t>(image->sizeInBytes());
  if (fill_mode != ImageFillColour) {
    std::memset(pixels, 0, size);
    return;
  }
  const uint8_t rgba[4] = {static_cast<uint8_t>(colour), static_cast<uint8_t>(colour >> 8),
                           static_cast<uint8_t>(colour >> 16), 255};
  for (size_t i = 0; i < size; i += 4)
    std::memcpy(pixels + i, rgba, 4);
}

// Null when the pixels cannot be allocated. Qt pads rows to 4 bytes only, so with 4-byte
// pixels every row is exactly width * 4 bytes.
QImage* MakeBitmap(int32_t width, int32_t height, int32_t fill_mode, uint32_t colour) {
  auto* image = new (std::nothrow) QImage(width, height, QImage::Format_RGBA8888);
  if (image == nullptr) return nullptr;
  if (image->isNull()) {
    delete image;
    return nullptr;
  }
  Fill(image, fill_mode, colour);
  return image;
}

bool ValidSize(int32_t width, int32_t height) {
  return width >= 1 && height >= 1 && width <= MaxImageSize && height <= MaxImageSize;
}

// Moves a single image's bitmap into a new frames list as frame 0.
bool StartFrameList(ImageRecord* record) {
  record->frames = NewList(sizeof(ImageFrame), nullptr, nullptr, 0);
  if (record->frames == nullptr) return false;
  auto* first = static_cast<ImageFrame*>(AddElement(record->frames));
  if (first == nullptr) {
    FreeList(record->frames);
    record->frames = nullptr;
    return false;
  }
  *first = ImageFrame{record->image, record->bitmap};
  return true;
}

// The record's image and bitmap are one of the frames, so only the frames are deleted.
void FreeFrames(ImageRecord* record) {
  for (int64_t i = 0; i < record->frame_count; ++i) {
    auto* frame = static_cast<ImageFrame*>(SelectElement(record->frames, i));
    if (frame != nullptr) delete frame->image;
  }
  FreeList(record->frames);
}

}  // namespace

void InitImageTable() {
  CreateObjectTableOnce(&ImageTable, sizeof(ImageRecord), kImageTableIncrement, FreeImage);
}

void InitDrawingScale() {
  if (!ImageHighResolution) return;
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  ImageDrawingScale = DrawingScale{screen->devicePixelRatio(), screen->devicePixelRatio()};
}

void InitRetainedObjectTable() {
  CreateObjectTableOnce(&RetainedObjectTable, sizeof(RetainedObjectRecord), kRetainedTableIncrement,
                        FreeRetainedObject);
}

void InitImageThreadKey() {
  if (ImageThreadKeyReady) return;
  ImageThreadKeyReady = pthread_key_create(&ImageThreadKey, nullptr) == 0;
}

void FreeRetainedObjects() {
  if (RetainedObjectTable != nullptr) FreeAllObjects(RetainedObjectTable);
}

void FreeImages() {
  if (ImageTable != nullptr) FreeAllObjects(ImageTable);
}

void FreeRetainedObject(int64_t object) {
  if (RetainedObjectTable == nullptr) return;
  if (object == AnyObject) {
    FreeAllObjects(RetainedObjectTable);
    return;
  }
  auto* record = static_cast<RetainedObjectRecord*>(LookupObject(RetainedObjectTable, object));
  if (record == nullptr) return;
  delete record->object;
  ReleaseObjectSlot(RetainedObjectTable, object);
}

ImageRecord* CreateImage(int64_t object, int32_t width, int32_t height, int32_t fill_mode,
                         uint32_t colour) {
  if (ImageTable == nullptr) return nullptr;
  auto* record = static_cast<ImageRecord*>(GetOrCreateObject(ImageTable, object));
  if (record == nullptr) return nullptr;
  const int64_t slot = object == AnyObject ? reinterpret_cast<int64_t>(record) : object;
  QImage* image = ValidSize(width, height) ? MakeBitmap(width, height, fill_mode, colour) : nullptr;
  if (image == nullptr) {
    ReleaseObjectSlot(ImageTable, slot);
    return nullptr;
  }
  *record = ImageRecord{.image = image,
                        .bitmap = image->bits(),
                        .width = static_cast<int16_t>(width),
                        .height = static_cast<int16_t>(height),
                        .depth = kCreatedDepth,
                        .initial_depth = kCreatedDepth,
                        .frame_count = 1,
                        .frames = nullptr,
                        .current_frame = 0};
  return record;
}

void FreeImage(int64_t object) {
  if (ImageTable == nullptr) return;
  if (object == AnyObject) {
    FreeAllObjects(ImageTable);
    return;
  }
  ImageRecord* record = FindImage(object);
  if (record == nullptr) return;
  if (record->frame_count < 2) {
    delete record->image;
    FreeList(record->frames);
  } else {
    FreeFrames(record);
  }
  ReleaseObjectSlot(ImageTable, object);
}

int32_t AddImageFrame(int64_t object, int32_t fill_mode, uint32_t colour) {
  ImageRecord* record = FindImage(object);
  if (record == nullptr) return 0;
  if (record->frames == nullptr && !StartFrameList(record)) return 0;
  QImage* image = MakeBitmap(record->width, record->height, fill_mode, colour);
  if (image == nullptr) return 0;
  SelectElement(record->frames, record->frames->count - 1);
  auto* frame = static_cast<ImageFrame*>(AddElement(record->frames));
  if (frame == nullptr) {
    delete image;
    return 0;
  }
  *frame = ImageFrame{image, image->bits()};
  return record->frame_count++;
}

int32_t ImageWidth(int64_t object) {
  const ImageRecord* record = FindImage(object);
  return record != nullptr ? record->width : 0;
}

int32_t ImageHeight(int64_t object) {
  const ImageRecord* record = FindImage(object);
  return record != nullptr ? record->height : 0;
}

int32_t ImageDepth(int64_t object) {
  const ImageRecord* record = FindImage(object);
  return record != nullptr ? record->depth : 0;
}

int32_t ImageDepthOf(int64_t object, int32_t mode) {
  const ImageRecord* record = FindImage(object);
  if (record == nullptr) return 0;
  return mode == DepthInitial ? record->initial_depth : record->depth;
}

QImage* ImageObject(int64_t object) {
  const ImageRecord* record = FindImage(object);
  return record != nullptr ? record->image : nullptr;
}
