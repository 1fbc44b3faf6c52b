// Throughput of the event queue: one post and one take per iteration.
#include <benchmark/benchmark.h>

#include "gui/events/event_queue.h"

namespace {

// A platform callback's post (flags 0: dispatched at once) and the main loop's take.
void BM_NotifyAndTake(benchmark::State& state) {
  InitEvents();
  int64_t object = 0;
  for (auto _ : state) {
    // Alternate objects so that no post is folded into its predecessor.
    NotifyEvent(EvGadgetNotify, object ^= 1, 0, 0);
    benchmark::DoNotOptimize(NextQueuedEvent());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NotifyAndTake);

// The application's own post (dispatched when taken).
void BM_PostUserEventAndTake(benchmark::State& state) {
  InitEvents();
  for (auto _ : state) {
    PostUserEvent(EvCustomBase, 0, 1);
    benchmark::DoNotOptimize(NextQueuedEvent());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostUserEventAndTake);

// A burst of posts, then the loop drains them: nodes come from several pool blocks.
void BM_BurstThenDrain(benchmark::State& state) {
  InitEvents();
  const int64_t burst = state.range(0);
  for (auto _ : state) {
    for (int64_t i = 0; i < burst; ++i)
      NotifyEvent(EvGadgetNotify, i, 0, 0);
    while (NextQueuedEvent() != 0) {
    }
  }
  state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_BurstThenDrain)->Range(16, 4096);

}  // namespace

BENCHMARK_MAIN();
