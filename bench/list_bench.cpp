// SelectElement on a list of 100,000 numbers: stepping to the neighbour of the current
// element, jumping between indices near the two ends, and selecting random indices (each
// walk starts from the nearest of the first, the last and the current element).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "runtime/list.h"

namespace {

constexpr int64_t kElements = 100000;

List* NumberList(ListField* field) {
  List* list = NewList(sizeof(int64_t), field, nullptr, 0);
  for (int64_t i = 0; i < kElements; ++i)
    *static_cast<int64_t*>(AddElement(list)) = i;
  return list;
}

void BM_SelectElement_NextIndex(benchmark::State& state) {
  ListField field{};
  List* list = NumberList(&field);
  int64_t index = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SelectElement(list, index));
    index = index + 1 == kElements ? 0 : index + 1;
  }
  FreeList(list);
}
BENCHMARK(BM_SelectElement_NextIndex);

void BM_SelectElement_NearBothEnds(benchmark::State& state) {
  ListField field{};
  List* list = NumberList(&field);
  const int64_t indices[] = {10, kElements - 10, 20, kElements - 20};
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SelectElement(list, indices[next]));
    next = (next + 1) % 4;
  }
  FreeList(list);
}
BENCHMARK(BM_SelectElement_NearBothEnds);

// Random targets walk about a sixth of the list on average.
void BM_SelectElement_RandomIndex(benchmark::State& state) {
  ListField field{};
  List* list = NumberList(&field);
  std::mt19937_64 random(42);
  std::uniform_int_distribution<int64_t> pick(0, kElements - 1);
  std::vector<int64_t> indices(4096);
  for (int64_t& index : indices)
    index = pick(random);
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SelectElement(list, indices[next]));
    next = (next + 1) % indices.size();
  }
  FreeList(list);
}
BENCHMARK(BM_SelectElement_RandomIndex);

}  // namespace

BENCHMARK_MAIN();
