// The quantizer's vectors: GCC and Clang vector types of 16, 32 and 64 bytes and the few
// operations on them that the kernels are written with, once for every width.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

// The helpers below and the kernels built on them take and return vectors by value. They are
// always inlined, so the compilers' note that 32-byte vectors pass differently with and
// without AVX concerns no call that is made; it stays off for the rest of a file that
// includes this one, where the kernels are.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace quant {

// GCC and Clang vector types of one width. Kernels are written once over these and compiled
// for each width: 16 bytes for the base instruction set, 32 inside functions that target
// AVX2 and 64 inside functions that target AVX-512. Vectors never cross a function boundary
// that is not inlined, where the widths would need different calling conventions.
template <int32_t kBytes>
struct Simd;

template <>
struct Simd<16> {
  typedef double F64 __attribute__((vector_size(16)));
  typedef int64_t I64 __attribute__((vector_size(16)));
  typedef float F32 __attribute__((vector_size(16)));
  typedef int32_t I32 __attribute__((vector_size(16)));
};

template <>
struct Simd<32> {
  typedef double F64 __attribute__((vector_size(32)));
  typedef int64_t I64 __attribute__((vector_size(32)));
  typedef float F32 __attribute__((vector_size(32)));
  typedef int32_t I32 __attribute__((vector_size(32)));
};

template <>
struct Simd<64> {
  typedef double F64 __attribute__((vector_size(64)));
  typedef int64_t I64 __attribute__((vector_size(64)));
};

template <typename V>
[[gnu::always_inline]] inline V Load(const void* from) {
  V v;
  std::memcpy(&v, from, sizeof(v));
  return v;
}

template <typename V>
[[gnu::always_inline]] inline void Store(void* to, const V& v) {
  std::memcpy(to, &v, sizeof(v));
}

template <typename V>
[[gnu::always_inline]] inline constexpr int32_t Lanes() {
  return static_cast<int32_t>(sizeof(V) / sizeof(V{}[0]));
}

// Every lane set to value, written as GCC makes a broadcast of it.
template <typename V, typename T>
[[gnu::always_inline]] inline V Splat(T value) {
  V v{};
  v[0] = value;
  if constexpr (Lanes<V>() == 8) {
    return __builtin_shufflevector(v, v, 0, 0, 0, 0, 0, 0, 0, 0);
  } else if constexpr (Lanes<V>() == 4) {
    return __builtin_shufflevector(v, v, 0, 0, 0, 0);
  } else {
    return __builtin_shufflevector(v, v, 0, 0);
  }
}

// 0, 1, 2, ... in the lanes.
template <typename V>
[[gnu::always_inline]] inline V LaneNumbers() {
  V v{};
  for (int32_t k = 0; k < Lanes<V>(); ++k)
    v[k] = k;
  return v;
}

// As std::fabs, by clearing the sign bits.
template <typename F, typename M>
[[gnu::always_inline]] inline F Abs(const F& v) {
  return reinterpret_cast<F>(reinterpret_cast<M>(v) &
                             Splat<M>(std::numeric_limits<int64_t>::max()));
}

// Lanes of a comparison are all ones or all zeros.
template <typename V, typename M>
[[gnu::always_inline]] inline V Select(const M& mask, const V& yes, const V& no) {
  return mask ? yes : no;
}

// Written as the compilers recognise a minimum instruction.
template <typename V>
[[gnu::always_inline]] inline V Least(const V& a, const V& b) {
  return a < b ? a : b;
}

// The smallest lane, halving the vector until one lane is left.
template <typename M>
[[gnu::always_inline]] inline int32_t SmallestLane(const M& v) {
  if constexpr (Lanes<M>() == 8) {
    const M halves = Least(v, __builtin_shufflevector(v, v, 4, 5, 6, 7, 0, 1, 2, 3));
    const M quarters =
        Least(halves, __builtin_shufflevector(halves, halves, 2, 3, 0, 1, 6, 7, 4, 5));
    return std::min(quarters[0], quarters[1]);
  } else {
    const M halves = Least(v, __builtin_shufflevector(v, v, 2, 3, 0, 1));
    return std::min(halves[0], halves[1]);
  }
}

// The smallest value seen in each lane and the position where it was first seen.
template <typename F, typename M>
struct FirstSmallest {
  F value = Splat<F>(std::numeric_limits<double>::infinity());
  M at = Splat<M>(0);

  [[gnu::always_inline]] void Offer(const F& values, const M& positions) {
    at = Select(values < value, positions, at);
    value = Least(values, value);
  }
};

// The position of the smallest value of two trackers over distinct positions, the lowest
// position among equal values.
template <typename F, typename M>
[[gnu::always_inline]] inline int32_t Settle(const FirstSmallest<F, M>& a,
                                             const FirstSmallest<F, M>& b) {
  double value = std::numeric_limits<double>::infinity();
  int64_t at = 0;
  for (const FirstSmallest<F, M>* tracker : {&a, &b}) {
    for (int32_t k = 0; k < Lanes<F>(); ++k) {
      if (tracker->value[k] < value || (tracker->value[k] == value && tracker->at[k] < at)) {
        value = tracker->value[k];
        at = tracker->at[k];
      }
    }
  }
  return static_cast<int32_t>(at);
}

}  // namespace quant
