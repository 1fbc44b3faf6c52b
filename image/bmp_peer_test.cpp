// The BMP codec against two other programs, ImageMagick and Pillow: files they write at every
// depth decode to the pixels they read back themselves, and files we write read back in them
// as in our own decoder. The pictures are made here and the files live in a temporary folder.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "image/bmp_codec.h"
#include "image/image_codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Odd sizes, so that rows are padded at every depth.
constexpr int32_t kWidth = 13;
constexpr int32_t kHeight = 7;

constexpr char kConvert[] = "/usr/bin/convert";
constexpr char kPython[] = "/usr/bin/python3";

// Writes a BMP from raw pixels in one of Pillow's modes, or dumps a BMP as Pillow reads it.
constexpr char kPillowScript[] = R"(import sys
from PIL import Image
if sys.argv[1] == "write":
    source_mode, width, height, source, kind, out = sys.argv[2:]
    image = Image.frombytes(source_mode, (int(width), int(height)), open(source, "rb").read())
    if kind == "1":
        image = image.convert("1", dither=Image.Dither.NONE)
    elif kind == "P":
        image = image.convert("P", palette=Image.Palette.ADAPTIVE, colors=200)
    elif kind != source_mode:
        image = image.convert(kind)
    image.save(out, "BMP")
else:
    open(sys.argv[3], "wb").write(Image.open(sys.argv[2]).convert("RGBA").tobytes())
)";

enum class Peer { ImageMagick, Pillow };

const char* PeerName(Peer peer) {
  return peer == Peer::ImageMagick ? "ImageMagick" : "Pillow";
}

bool RunQuietly(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

bool PeerAvailable(Peer peer) {
  static const bool magick = access(kConvert, X_OK) == 0;
  static const bool pillow = RunQuietly(std::string(kPython) + " -c 'import PIL'");
  return peer == Peer::ImageMagick ? magick : pillow;
}

std::string Quote(const std::string& path) {
  return "'" + path + "'";
}

Bytes ReadFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  return Bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

uint32_t Get16(const Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8;
}

uint32_t Get32(const Bytes& bytes, size_t at) {
  return Get16(bytes, at) | Get16(bytes, at + 2) << 16;
}

// A small picture with smooth ramps, hard edges and a few repeated colours; with channels 4,
// an alpha ramp that is never all zero.
Bytes SourcePicture(int32_t channels) {
  Bytes pixels;
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      const bool stripe = (x / 3 + y) % 4 == 0;
      pixels.push_back(stripe ? 250 : static_cast<uint8_t>(x * 19));
      pixels.push_back(stripe ? 10 : static_cast<uint8_t>(y * 36 + x));
      pixels.push_back(static_cast<uint8_t>((x * y * 11) ^ 0x5A));
      if (channels == 4) pixels.push_back(static_cast<uint8_t>(255 - x * 17 - y));
    }
  }
  return pixels;
}

// A private folder per test, removed with everything in it.
class PeerFolder {
 public:
  PeerFolder() {
    std::string pattern = ::testing::TempDir() + "brevik_peer_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
  }
  ~PeerFolder() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  PeerFolder(const PeerFolder&) = delete;
  PeerFolder& operator=(const PeerFolder&) = delete;

  bool ok() const { return !path_.empty(); }
  std::string File(const char* name) const { return path_ + name; }

 private:
  std::string path_;
};

// The peer's own reading of a BMP file as RGBA, top row first; empty when it failed.
Bytes PeerPixels(Peer peer, const PeerFolder& folder, const std::string& bmp) {
  const std::string dump = folder.File("dump.rgba");
  std::filesystem::remove(dump);
  std::string command;
  if (peer == Peer::ImageMagick) {
    command = std::string(kConvert) + " " + Quote(bmp) + " -depth 8 " + Quote("rgba:" + dump);
  } else {
    const std::string script = folder.File("pillow.py");
    if (!std::filesystem::exists(script))
      WriteFile(script, Bytes(kPillowScript, kPillowScript + sizeof kPillowScript - 1));
    command =
        std::string(kPython) + " " + Quote(script) + " read " + Quote(bmp) + " " + Quote(dump);
  }
  if (!RunQuietly(command)) return {};
  return ReadFile(dump);
}

struct Decoded {
  int32_t result = -1;
  int32_t width = 0;
  int32_t height = 0;
  uint32_t depth = 0;
  Bytes pixels;  // top row first
};

Decoded DecodeFile(const Bytes& file) {
  Decoded decoded;
  if (IdentifyImageData(file.data(), static_cast<uint32_t>(file.size())) != ImageFormatBmp)
    return decoded;
  const ImageDecodeContext* context = CurrentImageDecodeContext();
  decoded.width = context->width;
  decoded.height = context->height;
  decoded.depth = context->output_depth;
  const int64_t pitch = static_cast<int64_t>(decoded.width) * (decoded.depth / 8);
  decoded.pixels.assign(pitch * decoded.height, 0xEE);
  decoded.result = DecodeImagePixels(decoded.pixels.data(), pitch, 0);
  FinishImageDecode();
  return decoded;
}

class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitImageDecodeContext();
    RegisterBmpCodec();
  }
};

// --- Files the peers wrote ---

struct WrittenCase {
  const char* label;
  Peer peer;
  int32_t source_channels;
  const char* arguments;  // ImageMagick: options and output coder; Pillow: the image mode
  uint32_t bits;          // what the peer must have written, so that no case goes untested
  uint32_t compression;
  int32_t channel_bits[3];  // red, green, blue bits stored per pixel
};

void PrintTo(const WrittenCase& written, std::ostream* out) {
  *out << written.label;
}

class PeerWrittenTest : public PeerTest, public ::testing::WithParamInterface<WrittenCase> {};

// A channel stored in fewer than 8 bits comes back shifted up with zero low bits, where the
// peers stretch it over 0-255; the stored value is recovered from the peer's byte.
uint8_t OurReadingOf(uint8_t peer_value, int32_t bits) {
  if (bits == 8) return peer_value;
  const int32_t top = (1 << bits) - 1;
  const int32_t stored = (peer_value * top + 127) / 255;
  return static_cast<uint8_t>(stored << (8 - bits));
}

TEST_P(PeerWrittenTest, DecodesToThePixelsThePeerReadsBack) {
  const WrittenCase& written = GetParam();
  if (!PeerAvailable(written.peer))
    GTEST_SKIP() << PeerName(written.peer)
                 << " is not installed (Debian: imagemagick, python3-pil)";
  PeerFolder folder;
  ASSERT_TRUE(folder.ok());
  const std::string source = folder.File("source.raw");
  const std::string bmp = folder.File("peer.bmp");
  const Bytes picture = SourcePicture(written.source_channels);
  WriteFile(source, picture);
  const char* source_mode = written.source_channels == 4 ? "RGBA" : "RGB";

  std::string command;
  if (written.peer == Peer::ImageMagick) {
    command = std::string(kConvert) + " -size " + std::to_string(kWidth) + "x" +
              std::to_string(kHeight) + " -depth 8 " +
              Quote(std::string(written.source_channels == 4 ? "rgba:" : "rgb:") + source) + " " +
              written.arguments + ":" + Quote(bmp);
  } else {
    const std::string script = folder.File("pillow.py");
    WriteFile(script, Bytes(kPillowScript, kPillowScript + sizeof kPillowScript - 1));
    command = std::string(kPython) + " " + Quote(script) + " write " + source_mode + " " +
              std::to_string(kWidth) + " " + std::to_string(kHeight) + " " + Quote(source) + " " +
              written.arguments + " " + Quote(bmp);
  }
  ASSERT_TRUE(RunQuietly(command)) << command;
  const Bytes file = ReadFile(bmp);
  ASSERT_GE(file.size(), 54u);
  ASSERT_EQ(Get16(file, 28), written.bits);
  ASSERT_EQ(Get32(file, 30), written.compression);

  const Bytes expected = PeerPixels(written.peer, folder, bmp);
  ASSERT_EQ(expected.size(), static_cast<size_t>(kWidth) * kHeight * 4);
  const Decoded decoded = DecodeFile(file);
  ASSERT_EQ(decoded.result, 1);
  ASSERT_EQ(decoded.width, kWidth);
  ASSERT_EQ(decoded.height, kHeight);
  const bool alpha = written.source_channels == 4;
  ASSERT_EQ(decoded.depth, alpha ? 32u : 24u);

  const int32_t channels = static_cast<int32_t>(decoded.depth / 8);
  for (int32_t i = 0; i < kWidth * kHeight; ++i) {
    for (int32_t c = 0; c < 3; ++c) {
      ASSERT_EQ(decoded.pixels[i * channels + c],
                OurReadingOf(expected[i * 4 + c], written.channel_bits[c]))
          << "pixel " << i << " channel " << c;
    }
    // Pillow reads 32-bit files without alpha; the alpha must then be the one written.
    if (alpha) {
      ASSERT_EQ(decoded.pixels[i * 4 + 3], picture[i * 4 + 3]) << "pixel " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Depths, PeerWrittenTest,
    ::testing::Values(
        WrittenCase{"Magick1", Peer::ImageMagick, 3, "-type bilevel BMP3", 1, 0, {8, 8, 8}},
        WrittenCase{"Magick4",
                    Peer::ImageMagick,
                    3,
                    "-colors 16 -type palette -compress None BMP3",
                    4,
                    0,
                    {8, 8, 8}},
        WrittenCase{"Magick8",
                    Peer::ImageMagick,
                    3,
                    "-colors 200 -type palette -compress None BMP3",
                    8,
                    0,
                    {8, 8, 8}},
        WrittenCase{"Magick16Rgb555",
                    Peer::ImageMagick,
                    3,
                    "-define bmp:subtype=RGB555 BMP",
                    16,
                    3,
                    {5, 5, 5}},
        WrittenCase{"Magick16Rgb565",
                    Peer::ImageMagick,
                    3,
                    "-define bmp:subtype=RGB565 BMP",
                    16,
                    3,
                    {5, 6, 5}},
        WrittenCase{"Magick24", Peer::ImageMagick, 3, "-type truecolor BMP3", 24, 0, {8, 8, 8}},
        WrittenCase{"Magick32", Peer::ImageMagick, 4, "-type truecoloralpha BMP", 32, 3, {8, 8, 8}},
        WrittenCase{"Pillow1", Peer::Pillow, 3, "1", 1, 0, {8, 8, 8}},
        WrittenCase{"Pillow8Grey", Peer::Pillow, 3, "L", 8, 0, {8, 8, 8}},
        WrittenCase{"Pillow8Palette", Peer::Pillow, 3, "P", 8, 0, {8, 8, 8}},
        WrittenCase{"Pillow24", Peer::Pillow, 3, "RGB", 24, 0, {8, 8, 8}},
        WrittenCase{"Pillow32", Peer::Pillow, 4, "RGBA", 32, 0, {8, 8, 8}}),
    [](const ::testing::TestParamInfo<WrittenCase>& info) { return info.param.label; });

// ImageMagick's RLE8 rows end with a run over the row's padding bytes, past the width.
INSTANTIATE_TEST_SUITE_P(
    RunsPastTheWidth, PeerWrittenTest,
    ::testing::Values(WrittenCase{"Magick8Rle",
                                  Peer::ImageMagick,
                                  3,
                                  "-colors 200 -type palette -compress RLE BMP3",
                                  8,
                                  1,
                                  {8, 8, 8}}),
    [](const ::testing::TestParamInfo<WrittenCase>& info) { return info.param.label; });

// --- Files we wrote ---

struct OurCase {
  Peer peer;
  int32_t depth;
  int32_t source_channels;
};

class PeerReadsOursTest : public PeerTest, public ::testing::WithParamInterface<OurCase> {};

TEST_P(PeerReadsOursTest, PeerReadsThePixelsWeDo) {
  const OurCase& ours = GetParam();
  if (!PeerAvailable(ours.peer))
    GTEST_SKIP() << PeerName(ours.peer) << " is not installed (Debian: imagemagick, python3-pil)";
  PeerFolder folder;
  ASSERT_TRUE(folder.ok());
  const Bytes picture = SourcePicture(ours.source_channels);
  const std::string bmp = folder.File("ours.bmp");
  ASSERT_EQ(EncodeBmp(bmp.c_str(), picture.data(), kWidth, kHeight, kWidth * ours.source_channels,
                      0, 0, ours.depth, ours.source_channels * 8),
            1);

  const Bytes seen = PeerPixels(ours.peer, folder, bmp);
  ASSERT_EQ(seen.size(), static_cast<size_t>(kWidth) * kHeight * 4) << PeerName(ours.peer);
  const Decoded decoded = DecodeFile(ReadFile(bmp));
  ASSERT_EQ(decoded.result, 1);
  const int32_t channels = static_cast<int32_t>(decoded.depth / 8);

  // Each source colour goes to one palette colour, and the peer finds the same one.
  std::map<uint32_t, uint32_t> mapping;
  for (int32_t i = 0; i < kWidth * kHeight; ++i) {
    uint32_t source_colour = 0;
    uint32_t seen_colour = 0;
    for (int32_t c = 0; c < ours.source_channels; ++c)
      source_colour = source_colour << 8 | picture[i * ours.source_channels + c];
    for (int32_t c = 0; c < 3; ++c) {
      ASSERT_EQ(seen[i * 4 + c], decoded.pixels[i * channels + c])
          << "pixel " << i << " channel " << c;
      seen_colour = seen_colour << 8 | seen[i * 4 + c];
    }
    if (ours.depth >= 24) {
      for (int32_t c = 0; c < 3; ++c)
        ASSERT_EQ(seen[i * 4 + c], picture[i * ours.source_channels + c]) << "pixel " << i;
    } else {
      const auto [it, added] = mapping.emplace(source_colour, seen_colour);
      ASSERT_EQ(it->second, seen_colour) << "pixel " << i;
    }
    // ImageMagick keeps a 32-bit file's alpha; Pillow reads such files as opaque.
    if (ours.depth == 32 && ours.source_channels == 4 && ours.peer == Peer::ImageMagick) {
      ASSERT_EQ(seen[i * 4 + 3], picture[i * 4 + 3]) << "pixel " << i;
    }
  }
  if (ours.depth == 1) {
    for (const auto& [source_colour, seen_colour] : mapping)
      EXPECT_TRUE(seen_colour == 0 || seen_colour == 0xFFFFFF) << std::hex << seen_colour;
  }
  if (ours.depth <= 8) {
    std::map<uint32_t, int32_t> distinct;
    for (const auto& [source_colour, seen_colour] : mapping)
      ++distinct[seen_colour];
    EXPECT_LE(distinct.size(), size_t{1} << ours.depth);
  }
}

std::vector<OurCase> AllOurCases() {
  std::vector<OurCase> cases;
  for (Peer peer : {Peer::ImageMagick, Peer::Pillow}) {
    for (int32_t depth : {1, 4, 8, 24, 32})
      cases.push_back({peer, depth, 3});
    cases.push_back({peer, 8, 4});
    cases.push_back({peer, 32, 4});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Depths, PeerReadsOursTest, ::testing::ValuesIn(AllOurCases()),
                         [](const ::testing::TestParamInfo<OurCase>& info) {
                           return std::string(PeerName(info.param.peer)) +
                                  std::to_string(info.param.depth) + "From" +
                                  std::to_string(info.param.source_channels * 8);
                         });

}  // namespace
