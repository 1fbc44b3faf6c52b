// Writes the benchmarks' photograph-like picture for other programs to work on: as a binary
// PPM and as 24 and 8-bit BMP files from our encoder, the very bytes the benchmarks decode.
//
//   bench_picture_writer FOLDER WIDTH HEIGHT
//
// writes FOLDER/picture.ppm, FOLDER/picture24.bmp and FOLDER/picture8.bmp.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/bmp_codec.h"
#include "image/test_picture.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FOLDER WIDTH HEIGHT\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const auto width = static_cast<int32_t>(std::atoi(argv[2]));
  const auto height = static_cast<int32_t>(std::atoi(argv[3]));
  if (width < 1 || height < 1) return 2;
  const std::vector<uint8_t> pixels = PhotoLikeRgb(width, height);

  FILE* ppm = std::fopen((folder + "/picture.ppm").c_str(), "wb");
  if (ppm == nullptr) return 1;
  std::fprintf(ppm, "P6\n%d %d\n255\n", width, height);
  const bool written = std::fwrite(pixels.data(), 1, pixels.size(), ppm) == pixels.size();
  if (std::fclose(ppm) != 0 || !written) return 1;

  for (int32_t depth : {24, 8}) {
    const std::string path = folder + "/picture" + std::to_string(depth) + ".bmp";
    if (EncodeBmp(path.c_str(), pixels.data(), width, height, int64_t{width} * 3, 0, 0, depth,
                  24) != 1)
      return 1;
  }
  return 0;
}
