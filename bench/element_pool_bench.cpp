// Allocation of 56-byte elements (the event queue's size) from an unlocked pool against
// malloc/free.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "runtime/element_pool.h"

namespace {

constexpr uint64_t kElementSize = 56;

// One element stays allocated throughout, as the event queue's first element does, so the
// first block is never released and each pair measures only the slot handling.
void BM_Pool_AllocateFree(benchmark::State& state) {
  ElementPool* pool = NewElementPool(kElementSize, 16, 65536, 0);
  void* anchor = AllocateElement(pool);
  for (auto _ : state) {
    void* element = AllocateElement(pool);
    benchmark::DoNotOptimize(element);
    FreeElement(pool, element);
  }
  FreeElement(pool, anchor);
  FreeElementPool(pool);
}
BENCHMARK(BM_Pool_AllocateFree);

void BM_Malloc_Free(benchmark::State& state) {
  for (auto _ : state) {
    void* element = std::malloc(kElementSize);
    benchmark::DoNotOptimize(element);
    std::free(element);
  }
}
BENCHMARK(BM_Malloc_Free);

// Every block is made and released again in each round, so this includes the block churn
// of a container that fills up and empties.
void BM_Pool_AllocateFreeBatch(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  ElementPool* pool = NewElementPool(kElementSize, 16, 65536, 0);
  std::vector<void*> elements(count);
  for (auto _ : state) {
    for (void*& element : elements)
      element = AllocateElement(pool);
    benchmark::DoNotOptimize(elements.data());
    for (void* element : elements)
      FreeElement(pool, element);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  FreeElementPool(pool);
}
BENCHMARK(BM_Pool_AllocateFreeBatch)->RangeMultiplier(4)->Range(16, 4096);

void BM_Malloc_FreeBatch(benchmark::State& state) {
  const auto count = static_cast<size_t>(state.range(0));
  std::vector<void*> elements(count);
  for (auto _ : state) {
    for (void*& element : elements)
      element = std::malloc(kElementSize);
    benchmark::DoNotOptimize(elements.data());
    for (void* element : elements)
      std::free(element);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Malloc_FreeBatch)->RangeMultiplier(4)->Range(16, 4096);

}  // namespace

BENCHMARK_MAIN();
