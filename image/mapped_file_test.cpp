#include "image/mapped_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <latch>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "image/bmp_codec.h"
#include "image/image_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kUnwritten = 0xEE;

Bytes GradientRgb(int32_t width, int32_t height) {
  Bytes pixels;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      pixels.insert(pixels.end(), {static_cast<uint8_t>(x * 40), static_cast<uint8_t>(y * 50),
                                   static_cast<uint8_t>(x * y * 7)});
    }
  }
  return pixels;
}

// Test processes may run side by side, so each names its own files.
std::string TemporaryPath(const char* name) {
  return ::testing::TempDir() + "brevik_" + std::to_string(getpid()) + "_" + name;
}

void WriteWholeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

class MappedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitImageDecodeContext();
    RegisterBmpCodec();
  }
};

TEST_F(MappedFileTest, LoadsAFileOfTheSmallestSizeAndRefusesOneByteLess) {
  constexpr uint64_t kSmallest = 26;
  Bytes bytes(kSmallest);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  const std::string path = TemporaryPath("smallest.bin");
  WriteWholeFile(path, bytes);
  ImageDecodeContext context{};
  context.file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(context.file, nullptr);

  ASSERT_TRUE(LoadFileBytes(&context, kSmallest));
  EXPECT_EQ(Bytes(context.bytes, context.bytes + context.size), bytes);
  ReleaseFileBytes(&context);
  EXPECT_EQ(context.bytes, nullptr);

  EXPECT_FALSE(LoadFileBytes(&context, kSmallest + 1));
  EXPECT_EQ(context.bytes, nullptr);
  EXPECT_EQ(context.file_copy, nullptr);
  std::fclose(context.file);
  std::remove(path.c_str());
}

volatile sig_atomic_t bus_errors_counted = 0;

void CountBusError(int, siginfo_t*, void*) {
  bus_errors_counted = bus_errors_counted + 1;
}

// A SIGBUS that does not come from the mapping, raised while it is read, reaches the handler
// that was there before the read, and that handler is there again after it.
TEST_F(MappedFileTest, OtherBusErrorsDuringAReadGoToTheEarlierHandler) {
  const std::string path = TemporaryPath("mapped.bin");
  WriteWholeFile(path, Bytes(4096, 7));
  ImageDecodeContext context{};
  context.file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(context.file, nullptr);
  ASSERT_TRUE(LoadFileBytes(&context, 1));
  ASSERT_EQ(context.file_copy, nullptr) << "read into a copy, not mapped";

  struct sigaction counting {};
  counting.sa_sigaction = CountBusError;
  counting.sa_flags = SA_SIGINFO;
  sigemptyset(&counting.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGBUS, &counting, &before), 0);
  bus_errors_counted = 0;
  const int32_t result = ReadMapped(&context, []() -> int32_t {
    raise(SIGBUS);
    return 1;
  });
  struct sigaction after {};
  sigaction(SIGBUS, &before, &after);

  EXPECT_EQ(result, 1);
  EXPECT_EQ(bus_errors_counted, 1);
  EXPECT_EQ(after.sa_sigaction, CountBusError);
  ReleaseFileBytes(&context);
  std::fclose(context.file);
  std::remove(path.c_str());
}

// Another program cuts the file short between identification and decoding: the decode fails
// and the rows it reached stay, as for a file that was short from the start.
TEST_F(MappedFileTest, FileCutShortDuringTheDecodeFailsTheDecode) {
  constexpr int32_t kSide = 256;
  const Bytes rgb = GradientRgb(kSide, kSide);
  const std::string path = TemporaryPath("shrinking.bmp");
  ASSERT_EQ(EncodeBmp(path.c_str(), rgb.data(), kSide, kSide, kSide * 3, 0, 0, 24, 24), 1);
  ASSERT_EQ(IdentifyImageFile(path.c_str()), ImageFormatBmp);
  ASSERT_EQ(truncate(path.c_str(), 8192), 0);
  Bytes pixels(kSide * kSide * 3, kUnwritten);
  EXPECT_EQ(DecodeImagePixels(pixels.data(), kSide * 3, 0), 0);
  // The first 8 KiB of the file hold the bottom ten rows.
  const std::ptrdiff_t eight_rows = kSide * 3 * 8;
  EXPECT_TRUE(std::equal(rgb.end() - eight_rows, rgb.end(), pixels.end() - eight_rows));
  FinishImageDecode();
  std::remove(path.c_str());
}

// Decodes the file at path through a context of its own, as a thread beside the main one
// would; 1 when it decoded.
int32_t DecodeFileAlone(const std::string& path) {
  ImageDecodeContext context{};
  context.file = std::fopen(path.c_str(), "rb");
  if (context.file == nullptr) return 0;
  int32_t result = CheckBmp(&context);
  if (result == 1) {
    Bytes pixels(static_cast<size_t>(context.width) * context.height * 3);
    result = DecodeBmp(&context, pixels.data(), context.width * 3, 0);
    FinishBmp(&context);
  }
  std::fclose(context.file);
  return result;
}

// Reads a mapped page whose file has been cut away: a SIGBUS outside any decode. The file is
// gone from its folder before the fault.
void TouchAPageCutFromItsFile(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  unlink(path.c_str());
  if (descriptor < 0 || ftruncate(descriptor, 4096) != 0) _exit(3);
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, descriptor, 0);
  if (page == MAP_FAILED || ftruncate(descriptor, 0) != 0) _exit(3);
  (void)*static_cast<volatile const char*>(page);
}

// Regression: each decode saved the SIGBUS action it found and put it back when done, so two
// decodes on two threads could leave the guard's handler installed for good; a later SIGBUS
// then came back to it for ever instead of ending the process.
TEST_F(MappedFileTest, SigbusAfterDecodesOnTwoThreadsEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr int32_t kSide = 1024;
  const std::string path = TemporaryPath("decoded_twice.bmp");
  const Bytes rgb = GradientRgb(kSide, kSide);
  ASSERT_EQ(EncodeBmp(path.c_str(), rgb.data(), kSide, kSide, kSide * 3, 0, 0, 24, 24), 1);
  // Two decodes of one file, started together: the one that began second mostly ends second,
  // the order that left the handler behind.
  const auto decode_side_by_side = [&path] {
    for (int32_t round = 0; round < 10; ++round) {
      std::latch start(2);
      std::atomic<int32_t> decoded = 0;
      const auto decode = [&] {
        start.arrive_and_wait();
        decoded += DecodeFileAlone(path);
      };
      std::thread first(decode);
      std::thread second(decode);
      first.join();
      second.join();
      if (decoded != 2) _exit(2);
    }
  };
  // The deadline ends the child should the fault come back for ever.
  EXPECT_EXIT(
      {
        alarm(30);
        signal(SIGBUS, SIG_DFL);
        decode_side_by_side();
        std::remove(path.c_str());
        TouchAPageCutFromItsFile(TemporaryPath("cut.bin"));
      },
      ::testing::KilledBySignal(SIGBUS), "");
  std::remove(path.c_str());
}

}  // namespace
