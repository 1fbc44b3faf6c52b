// Helper threads for the quantizer: a range of rows or cells shared out over the cores, the
// calling thread taking a part of its own.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <system_error>
#include <thread>

namespace quant {

// A helper thread is started only for a share of at least this many pixels.
constexpr int64_t kPixelsPerHelper = int64_t{1} << 14;
// The most parts work is split into, whatever the number of cores.
constexpr int32_t kMaxParts = 8;

// The processor's cores, from 1 to kMaxParts.
int32_t Cores();

// Splits [0, count) into contiguous parts of at least min_part, one per core, and runs
// work(part, first, end) for each: the calling thread takes part 0 and helper threads the
// others. Returns the number of parts, after all of them have run. A helper that cannot be
// started leaves its part to the calling thread.
template <typename Work>
int32_t RunInParts(int64_t count, int64_t min_part, const Work& work) {
  const int64_t by_size = count / std::max<int64_t>(min_part, 1);
  const auto parts = static_cast<int32_t>(std::clamp<int64_t>(by_size, 1, Cores()));
  const auto bound = [count, parts](int32_t part) { return count * part / parts; };
  std::array<std::thread, kMaxParts> helpers;
  for (int32_t part = 1; part < parts; ++part) {
    try {
      helpers[part] = std::thread(work, part, bound(part), bound(part + 1));
    } catch (const std::system_error&) {
      work(part, bound(part), bound(part + 1));
    }
  }
  work(0, bound(0), bound(1));
  for (std::thread& helper : helpers) {
    if (helper.joinable()) helper.join();
  }
  return parts;
}

}  // namespace quant
