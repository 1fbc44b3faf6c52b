#include "image/image_objects.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QObject>
#include <QPointer>

#include <algorithm>

#include "runtime/list.h"
#include "runtime/object_table.h"

namespace {

bool AllPixelsAre(const ImageRecord* record, const uint8_t (&rgba)[4]) {
  const uint8_t* pixel = record->bitmap;
  const int64_t count = static_cast<int64_t>(record->width) * record->height;
  for (int64_t i = 0; i < count; ++i, pixel += 4) {
    if (!std::equal(rgba, rgba + 4, pixel)) return false;
  }
  return true;
}

class ImageObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitImageTable();
    InitRetainedObjectTable();
    ASSERT_NE(ImageTable, nullptr);
  }
  void TearDown() override { FreeImages(); }
};

TEST_F(ImageObjectsTest, ColourFillIsOpaqueRedGreenBlueInByteOrder) {
  const ImageRecord* red = CreateImage(0, 3, 2, ImageFillColour, 0x0000FF);
  ASSERT_NE(red, nullptr);
  EXPECT_TRUE(AllPixelsAre(red, {255, 0, 0, 255}));
  const ImageRecord* mixed = CreateImage(1, 2, 2, ImageFillColour, 0xA0B0C0);
  ASSERT_NE(mixed, nullptr);
  EXPECT_TRUE(AllPixelsAre(mixed, {0xC0, 0xB0, 0xA0, 255}));
  EXPECT_EQ(mixed->image->format(), QImage::Format_RGBA8888);
  EXPECT_EQ(mixed->image->bytesPerLine(), 2 * 4);
}

TEST_F(ImageObjectsTest, OtherFillModesClearEveryByte) {
  for (int32_t mode : {2, -1, 77}) {
    const ImageRecord* record = CreateImage(0, 5, 3, mode, 0xFFFFFF);
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(AllPixelsAre(record, {0, 0, 0, 0})) << mode;
  }
}

TEST_F(ImageObjectsTest, CreatedImageAnswersItsAccessors) {
  const ImageRecord* record = CreateImage(4, 7, 9, ImageFillNone, 0);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ImageWidth(4), 7);
  EXPECT_EQ(ImageHeight(4), 9);
  EXPECT_EQ(ImageDepth(4), 32);
  EXPECT_EQ(ImageDepthOf(4, DepthInitial), 32);
  EXPECT_EQ(ImageDepthOf(4, 0), 32);
  EXPECT_EQ(ImageObject(4), record->image);
  EXPECT_EQ(record->frame_count, 1);
  EXPECT_EQ(record->frames, nullptr);
  EXPECT_EQ(record->current_frame, 0);
}

TEST_F(ImageObjectsTest, SizesBeyondSixteenBitsAreRefusedNotTruncated) {
  ASSERT_NE(CreateImage(0, 1, MaxImageSize, ImageFillNone, 0), nullptr);
  EXPECT_EQ(ImageHeight(0), 32767);
  EXPECT_EQ(CreateImage(0, 1, 32768, ImageFillNone, 0), nullptr);
  EXPECT_EQ(ImageObject(0), nullptr);  // the earlier image 0 was freed by the attempt
  EXPECT_EQ(CreateImage(1, 32768, 1, ImageFillNone, 0), nullptr);
  EXPECT_EQ(CreateImage(1, 65537, 1, ImageFillNone, 0), nullptr);
  EXPECT_EQ(CreateImage(1, 0, 1, ImageFillNone, 0), nullptr);
  EXPECT_EQ(CreateImage(1, 4, -3, ImageFillNone, 0), nullptr);
  EXPECT_EQ(CreateImage(AnyObject, 32768, 1, ImageFillNone, 0), nullptr);
  EXPECT_EQ(ImageTable->handle_list, nullptr);
}

TEST_F(ImageObjectsTest, RecreatingANumberReplacesTheImage) {
  const ImageRecord* first = CreateImage(0, 2, 2, ImageFillColour, 0x00FF00);
  ASSERT_NE(first, nullptr);
  const ImageRecord* second = CreateImage(0, 3, 1, ImageFillColour, 0xFF0000);
  ASSERT_EQ(second, first);  // the same record, recycled
  EXPECT_EQ(ImageWidth(0), 3);
  EXPECT_TRUE(AllPixelsAre(second, {0, 0, 255, 255}));
}

TEST_F(ImageObjectsTest, FreedImagesAnswerZero) {
  ASSERT_NE(CreateImage(2, 4, 4, ImageFillNone, 0), nullptr);
  FreeImage(2);
  EXPECT_EQ(ImageWidth(2), 0);
  EXPECT_EQ(ImageDepthOf(2, DepthInitial), 0);
  EXPECT_EQ(ImageObject(2), nullptr);
  FreeImage(2);
  FreeImage(999);
}

TEST_F(ImageObjectsTest, AnyObjectGivesAHandleThatWorksLikeANumber) {
  ImageRecord* record = CreateImage(AnyObject, 6, 5, ImageFillColour, 0);
  ASSERT_NE(record, nullptr);
  const auto handle = reinterpret_cast<int64_t>(record);
  EXPECT_EQ(ImageWidth(handle), 6);
  EXPECT_EQ(ImageObject(handle), record->image);
  FreeImage(handle);
  EXPECT_EQ(ImageWidth(handle), 0);
  EXPECT_EQ(ImageTable->handle_list, nullptr);
}

TEST_F(ImageObjectsTest, FramesAreAddedAndEachKeepsItsOwnPixels) {
  ImageRecord* record = CreateImage(3, 2, 2, ImageFillColour, 0x0000FF);
  ASSERT_NE(record, nullptr);
  QImage* first = record->image;
  EXPECT_EQ(AddImageFrame(3, ImageFillColour, 0x00FF00), 1);
  EXPECT_EQ(AddImageFrame(3, 2, 0), 2);
  EXPECT_EQ(record->frame_count, 3);
  EXPECT_EQ(record->image, first);
  ASSERT_NE(record->frames, nullptr);
  ASSERT_EQ(record->frames->count, 3);
  const auto* frames = static_cast<ImageFrame*>(SelectElement(record->frames, 0));
  EXPECT_EQ(frames->image, first);
  const auto* green = static_cast<ImageFrame*>(SelectElement(record->frames, 1));
  EXPECT_EQ(green->image->pixelColor(1, 1), QColor(0, 255, 0));
  const auto* clear = static_cast<ImageFrame*>(SelectElement(record->frames, 2));
  EXPECT_EQ(clear->image->pixelColor(0, 0), QColor(0, 0, 0, 0));
  EXPECT_EQ(first->pixelColor(0, 1), QColor(255, 0, 0));
  EXPECT_EQ(AddImageFrame(8, ImageFillNone, 0), 0);
}

// Run under LeakSanitizer: every frame's image must be released.
TEST_F(ImageObjectsTest, FreeingReleasesEveryFrameOfSingleAndMultiFrameImages) {
  ASSERT_NE(CreateImage(0, 3, 3, ImageFillNone, 0), nullptr);
  ASSERT_NE(CreateImage(1, 3, 3, ImageFillNone, 0), nullptr);
  for (int32_t i = 0; i < 4; ++i)
    ASSERT_EQ(AddImageFrame(1, ImageFillNone, 0), i + 1);
  ImageRecord* handle_image = CreateImage(AnyObject, 2, 2, ImageFillNone, 0);
  ASSERT_NE(handle_image, nullptr);
  ASSERT_EQ(AddImageFrame(reinterpret_cast<int64_t>(handle_image), ImageFillNone, 0), 1);
  FreeImage(1);
  EXPECT_EQ(ImageObject(1), nullptr);
  EXPECT_NE(ImageObject(0), nullptr);
  FreeImage(AnyObject);
  EXPECT_EQ(ImageObject(0), nullptr);
  EXPECT_EQ(ImageTable->handle_list, nullptr);
}

TEST_F(ImageObjectsTest, EndRoutinesEmptyBothTables) {
  auto* owned = new QObject;
  const QPointer<QObject> watch(owned);
  auto* record = static_cast<RetainedObjectRecord*>(GetOrCreateObject(RetainedObjectTable, 2));
  ASSERT_NE(record, nullptr);
  record->object = owned;
  ASSERT_NE(CreateImage(5, 1, 1, ImageFillNone, 0), nullptr);
  ASSERT_EQ(AddImageFrame(5, ImageFillNone, 0), 1);

  FreeRetainedObjects();
  FreeImages();
  EXPECT_TRUE(watch.isNull());
  EXPECT_EQ(LookupObject(RetainedObjectTable, 2), nullptr);
  EXPECT_EQ(ImageObject(5), nullptr);
}

TEST(ImageModuleStartTest, ThreadKeyIsCreatedOnce) {
  InitImageThreadKey();
  ASSERT_TRUE(ImageThreadKeyReady);
  const pthread_key_t key = ImageThreadKey;
  int value = 0;
  ASSERT_EQ(pthread_setspecific(ImageThreadKey, &value), 0);
  InitImageThreadKey();
  EXPECT_EQ(ImageThreadKey, key);
  EXPECT_EQ(pthread_getspecific(ImageThreadKey), &value);
}

}  // namespace
