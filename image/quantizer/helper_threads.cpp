#include "image/quantizer/helper_threads.h"

namespace quant {

int32_t Cores() {
  static const int32_t cores =
      std::clamp(static_cast<int32_t>(std::thread::hardware_concurrency()), 1, kMaxParts);
  return cores;
}

}  // namespace quant
