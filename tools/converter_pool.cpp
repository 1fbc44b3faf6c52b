#include "tools/converter_pool.h"

#include <dlfcn.h>
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

using OpenFunction = iconv_t (*)(const char*, const char*);
using CloseFunction = int (*)(iconv_t);

// Past these counts, pairs of charsets are not followed, converters handed out (few: libisofs
// closes each before the next name) not followed and closed ones not kept.
constexpr size_t MostPairs = 16;
constexpr size_t MostConvertersInUse = 64;
constexpr size_t MostIdlePerPair = 4;

struct ConverterPool {
  struct Pair {
    std::string to;
    std::string from;
    std::vector<iconv_t> idle;
  };
  std::mutex mutex;
  std::vector<Pair> pairs;
  std::vector<std::pair<iconv_t, size_t>> in_use;  // the converter and its pair

  // The pair's index, else pairs.size().
  size_t Find(const char* to, const char* from) const {
    auto found = std::ranges::find_if(
        pairs, [&](const Pair& pair) { return pair.to == to && pair.from == from; });
    return static_cast<size_t>(found - pairs.begin());
  }
};

ConverterPool& Pool() {
  static ConverterPool* pool = new ConverterPool;  // outlives every other static's use
  return *pool;
}

OpenFunction RealOpen() {
  static auto function = reinterpret_cast<OpenFunction>(dlsym(RTLD_NEXT, "iconv_open"));
  return function;
}

CloseFunction RealClose() {
  static auto function = reinterpret_cast<CloseFunction>(dlsym(RTLD_NEXT, "iconv_close"));
  return function;
}

}  // namespace

extern "C" iconv_t iconv_open(const char* to, const char* from) {
  ConverterPool& pool = Pool();
  {
    std::lock_guard lock(pool.mutex);
    size_t pair = pool.Find(to, from);
    if (pair < pool.pairs.size() && !pool.pairs[pair].idle.empty() &&
        pool.in_use.size() < MostConvertersInUse) {
      iconv_t handle = pool.pairs[pair].idle.back();
      pool.pairs[pair].idle.pop_back();
      pool.in_use.emplace_back(handle, pair);
      return handle;
    }
  }
  if (RealOpen() == nullptr) {
    errno = EINVAL;
    return reinterpret_cast<iconv_t>(-1);
  }
  iconv_t handle = RealOpen()(to, from);
  if (handle == reinterpret_cast<iconv_t>(-1)) return handle;
  std::lock_guard lock(pool.mutex);
  size_t pair = pool.Find(to, from);
  if (pair == pool.pairs.size() && pool.pairs.size() < MostPairs) {
    pool.pairs.push_back({to, from, {}});
  }
  if (pair < pool.pairs.size() && pool.in_use.size() < MostConvertersInUse) {
    pool.in_use.emplace_back(handle, pair);
  }
  return handle;
}

extern "C" int iconv_close(iconv_t handle) {
  ConverterPool& pool = Pool();
  {
    std::lock_guard lock(pool.mutex);
    auto used = std::ranges::find(pool.in_use, handle, &std::pair<iconv_t, size_t>::first);
    if (used != pool.in_use.end()) {
      std::vector<iconv_t>& idle = pool.pairs[used->second].idle;
      *used = pool.in_use.back();
      pool.in_use.pop_back();
      if (idle.size() < MostIdlePerPair) {
        // Back to the initial state, as a newly opened converter starts.
        iconv(handle, nullptr, nullptr, nullptr, nullptr);
        idle.push_back(handle);
        return 0;
      }
    }
  }
  return RealClose() == nullptr ? 0 : RealClose()(handle);
}

size_t IdleConverterCount() {
  ConverterPool& pool = Pool();
  std::lock_guard lock(pool.mutex);
  size_t count = 0;
  for (const ConverterPool::Pair& pair : pool.pairs)
    count += pair.idle.size();
  return count;
}

void CloseIdleConverters() {
  std::vector<iconv_t> idle;
  {
    ConverterPool& pool = Pool();
    std::lock_guard lock(pool.mutex);
    for (ConverterPool::Pair& pair : pool.pairs) {
      idle.insert(idle.end(), pair.idle.begin(), pair.idle.end());
      pair.idle.clear();
    }
  }
  for (iconv_t handle : idle)
    RealClose()(handle);
}
