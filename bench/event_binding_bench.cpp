// What bound callbacks cost per event: the four RunBoundCallbacks calls the event queue
// makes for one gadget event (gadget 4 of window 0, subtype 256), with nothing bound, with
// bindings that do not concern the event, and with four bindings that all run.
#include <benchmark/benchmark.h>

#include "gui/events/event_binding.h"
#include "gui/events/event_queue.h"

namespace {

constexpr int64_t kWindow = 0;
constexpr int64_t kGadget = 4;
constexpr int64_t kSubtype = 256;

int64_t callback_runs = 0;

int64_t CountRun() {
  ++callback_runs;
  return 0;
}

void DispatchGadgetEvent() {
  RunBoundCallbacks(EvGadgetNotify, kWindow, kGadget, kSubtype);
  RunBoundCallbacks(EvGadgetNotify, kWindow, -1, -1);
  RunBoundCallbacks(EvGadgetNotify, -1, -1, -1);
  RunBoundCallbacks(EvGadgetNotify, -1, kGadget, kSubtype);
}

void Setup() {
  InitEvents();
  InitEventBinding();
}

void Teardown() {
  UnbindWindowHandlers(-1);
  UnbindWindowHandlers(kWindow);
  UnbindWindowHandlers(1);
}

void BM_GadgetEventDispatch_NoBindings(benchmark::State& state) {
  Setup();
  for (auto _ : state)
    DispatchGadgetEvent();
}
BENCHMARK(BM_GadgetEventDispatch_NoBindings);

// The application's own shape: a handful of other gadgets and the close request bound.
void BM_GadgetEventDispatch_OnlyOtherKeysBound(benchmark::State& state) {
  Setup();
  for (int64_t gadget = 0; gadget < 4; ++gadget) {
    BindObjectHandlerAnySubtype(EvGadgetNotify, CountRun, kWindow, gadget);
  }
  BindEventHandler(EvCloseRequest, CountRun, kWindow);
  for (auto _ : state)
    DispatchGadgetEvent();
  Teardown();
}
BENCHMARK(BM_GadgetEventDispatch_OnlyOtherKeysBound);

// Two bindings on the gadget's own key (one for any subtype, one for this subtype), one for
// the window and one for the kind: four callbacks run per event.
void BM_GadgetEventDispatch_FourBindings(benchmark::State& state) {
  Setup();
  BindObjectHandlerAnySubtype(EvGadgetNotify, CountRun, kWindow, kGadget);
  BindObjectHandler(EvGadgetNotify, CountRun, kWindow, kGadget, kSubtype);
  BindEventHandler(EvGadgetNotify, CountRun, kWindow);
  BindGlobalHandler(EvGadgetNotify, CountRun);
  callback_runs = 0;
  for (auto _ : state)
    DispatchGadgetEvent();
  if (callback_runs != 4 * static_cast<int64_t>(state.iterations())) {
    state.SkipWithError("not every binding ran");
  }
  Teardown();
}
BENCHMARK(BM_GadgetEventDispatch_FourBindings);

// The whole post as a gadget makes it: queueing (folded into its twin at the tail after the
// first round), the four lookups and the four callbacks.
void BM_NotifyGadgetEvent_FourBindings(benchmark::State& state) {
  Setup();
  BindObjectHandlerAnySubtype(EvGadgetNotify, CountRun, kWindow, kGadget);
  BindObjectHandler(EvGadgetNotify, CountRun, kWindow, kGadget, kSubtype);
  BindEventHandler(EvGadgetNotify, CountRun, kWindow);
  BindGlobalHandler(EvGadgetNotify, CountRun);
  for (auto _ : state)
    NotifyEvent(EvGadgetNotify, kGadget, kWindow, kSubtype);
  while (NextQueuedEvent() != 0) {
  }
  Teardown();
}
BENCHMARK(BM_NotifyGadgetEvent_FourBindings);

}  // namespace

BENCHMARK_MAIN();
