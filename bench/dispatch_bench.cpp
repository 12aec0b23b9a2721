// One async hop onto an idle serial queue and back to the caller waiting for it, beside the floor for the
// same round trip: two std::threads handing a turn to each other through a mutex and condition variables.
// Real time per round trip. `thread_starts` counts the threads the worker pool started during the timed
// loop: a hop must find a parked worker, never start one. `spin_hits` is the share of hops whose worker was
// still spinning when the block came (it needed no wake-up); spinning stops while the CPUs are busy.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/RuntimeInternal.h"

namespace {

void BM_SerialQueueHop(benchmark::State& state) {
    auto queue = DispatchQueue::serial("com.quorvane.bench.hop");
    auto back = DispatchSemaphore::create(0);
    int64_t lost = 0;
    auto hop = [&] {
        queue->async([&] { back->signal(); });
        if (!back->wait(10)) ++lost;
    };
    hop();  // the pool has a parked worker from here on
    const auto before = runtime_internal::workerPoolStatistics();
    for (auto _ : state) hop();
    const auto after = runtime_internal::workerPoolStatistics();
    state.counters["thread_starts"] = double(after.threadStarts - before.threadStarts);
    state.counters["spin_hits"] =
        double(after.spinHits - before.spinHits) / double(std::max<int64_t>(1, state.iterations()));
    state.counters["lost"] = double(lost);
    if (lost) state.SkipWithError("a hop never came back");
}
BENCHMARK(BM_SerialQueueHop)->UseRealTime();

void BM_ConditionVariableHandoff(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable toWorker, toCaller;
    bool request = false, reply = false, stop = false;
    std::thread worker([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            toWorker.wait(lock, [&] { return request || stop; });
            if (stop) return;
            request = false;
            reply = true;
            toCaller.notify_one();
        }
    });
    for (auto _ : state) {
        {
            std::lock_guard lock(mutex);
            request = true;
        }
        toWorker.notify_one();
        std::unique_lock lock(mutex);
        toCaller.wait(lock, [&] { return reply; });
        reply = false;
    }
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    toWorker.notify_one();
    worker.join();
}
BENCHMARK(BM_ConditionVariableHandoff)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
