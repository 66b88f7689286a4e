// The hand-off of a task to a worker: from the call of add_task to the first
// instruction of the task on the worker's thread. The daemon's workers are
// asleep when a task comes, so each iteration lets the worker fall asleep
// first and the figure includes its wake-up. The iteration count is fixed:
// with manual time the library would add iterations until the hand-offs
// alone made up its minimum time, so the faster the hand-off, the more
// sleeps, and the longer the run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "daemon/worker.h"

namespace {

using bench_clock = std::chrono::steady_clock;

void worker_hand_off(benchmark::State& state) {
  worker w;
  std::atomic<bench_clock::rep> started{0};
  for (auto _ : state) {
    // Outside the measured span: long enough for the worker to wait again.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    started.store(0);
    const bench_clock::time_point before = bench_clock::now();
    w.add_task([&started] {
      started.store(bench_clock::now().time_since_epoch().count());
      started.notify_one();
    });
    started.wait(0);
    const bench_clock::duration took =
        bench_clock::duration(started.load()) - before.time_since_epoch();
    state.SetIterationTime(std::chrono::duration<double>(took).count());
  }
}
constexpr int hand_offs = 2000;  // about 0.6 s of sleeps per repetition
BENCHMARK(worker_hand_off)->UseManualTime()->Iterations(hand_offs)->Unit(benchmark::kMicrosecond);

}  // namespace
