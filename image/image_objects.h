// Image objects: numbered runtime objects holding a 32-bit RGBA bitmap, a QImage in
// Format_RGBA8888 (not premultiplied) whose rows are exactly width * 4 bytes. Also the rest
// of the image module's start-up state: the table of retained platform objects, a
// thread-local key and the drawing scale.
//
// Colour values are 24-bit integers: red in bits 0-7, green in 8-15, blue in 16-23.
// Main thread only, like every ObjectTable.
#pragma once

#include <pthread.h>

#include <cstdint>

class QImage;
class QObject;
struct List;
struct ObjectTable;

inline constexpr int32_t ImageFillNone = 0;    // pixels as the bitmap was allocated
inline constexpr int32_t ImageFillColour = 1;  // every pixel the colour, opaque
// Any other fill mode makes every pixel transparent black.

// ImageDepthOf's mode for the depth the image was created with.
inline constexpr int32_t DepthInitial = -2;

// Width and height live in 16-bit fields: larger sizes are refused, not truncated.
inline constexpr int32_t MaxImageSize = 32767;

// The image table's record.
struct ImageRecord {
  QImage* image;  // the primary resource; for a multi-frame image the current frame's
  // The image's pixel storage. Copies of the QImage share it, and writing through any of them
  // while shared moves that one to new storage: write here only while no copy is alive.
  uint8_t* bitmap;
  int16_t width;
  int16_t height;
  int16_t depth;          // 32 for created images
  int16_t initial_depth;  // 32 for created images
  int32_t frame_count;    // 1 for a single image
  List* frames;           // ImageFrame values, one per frame; null for a single image
  int64_t current_frame;
};
static_assert(sizeof(ImageRecord) == 48, "the image table's record size");

// The value of each element of a multi-frame image's frames list; the list owns the frames.
struct ImageFrame {
  QImage* image;
  uint8_t* bitmap;
};

// The single-object table's record: it owns the object and deletes it when freed.
struct RetainedObjectRecord {
  QObject* object;
};

struct DrawingScale {
  double horizontal;
  double vertical;
};

extern ObjectTable* ImageTable;
extern ObjectTable* RetainedObjectTable;
extern DrawingScale ImageDrawingScale;  // 1, 1 unless set from the screen at start-up
// Off in this program; when on, InitDrawingScale takes the primary screen's pixel ratio.
extern bool ImageHighResolution;
extern pthread_key_t ImageThreadKey;
extern bool ImageThreadKeyReady;

// Start routines, in their start-up order. Each is harmless when run again.
void InitImageTable();
void InitDrawingScale();
void InitRetainedObjectTable();
void InitImageThreadKey();

// End routines, in their end order: free every object of each table (the tables stay).
void FreeRetainedObjects();
void FreeImages();

// The retained-object table's free function: number, handle or AnyObject.
void FreeRetainedObject(int64_t object);

// A new image under number (or, for AnyObject, a handle: the record's address) of width x
// height pixels, 1 to MaxImageSize each, filled as fill_mode says. A live image with that
// number is freed first. Null when the size is refused, memory runs out or the image table
// was not started; the number then holds no image.
ImageRecord* CreateImage(int64_t object, int32_t width, int32_t height, int32_t fill_mode,
                         uint32_t colour);
// Frees one image, or every image for AnyObject; releases every frame of a multi-frame
// image. An absent image is ignored.
void FreeImage(int64_t object);

// Appends a frame of the image's size, filled as in CreateImage; the image becomes a
// multi-frame image whose first frame is its current bitmap. The new frame's index (1 or
// more), or 0 when there is no such image or memory runs out.
int32_t AddImageFrame(int64_t object, int32_t fill_mode, uint32_t colour);

// 0 when there is no such image.
int32_t ImageWidth(int64_t object);
int32_t ImageHeight(int64_t object);
int32_t ImageDepth(int64_t object);
// The initial depth for DepthInitial, else the depth.
int32_t ImageDepthOf(int64_t object, int32_t mode);
// The image's QImage (the current frame's), or null.
QImage* ImageObject(int64_t object);
