// The helper's reads and notifications over AT-SPI, against the GTK 3 chat application whose pid
// is in BIX_ATSPI_BENCH_PID (bench/helper_atspi/run starts both in a private headless session).
// Targets: a 100-element window read under 60 ms warm; event to observer update under 10 ms median.
//
//   TreeReadWarm  one AccessibilityTreeReader read of the window, libatspi's cache filled
//   TreeReadCold  the same with the cache dropped before each read
//   Snapshot      one snapshot of the composer, value included
//   EventToObserver  a write to the composer until its AXValueChanged reaches the main run loop

#include "Access/AccessibilityTreeReader.h"
#include "Atspi/AtspiAccessibilityBackend.h"
#include "Atspi/AtspiPlatform.h"
#include "Platform/MainRunLoop.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using namespace bix::ax;
using Clock = std::chrono::steady_clock;

struct Desktop {
    MainRunLoop loop;
    std::thread loopThread;
    std::shared_ptr<AtspiPlatform> platform;
    std::shared_ptr<AtspiAccessibilityBackend> backend;
    AXWindowTarget target;
    AXElementHandle composer;
    std::size_t elements = 0;
};

Desktop* desktop = nullptr;

// The helper's node and depth budgets; the time budget is lifted so that a slow read on a
// loaded machine is measured rather than refused.
AccessibilityTreeReader reader() {
    return AccessibilityTreeReader(desktop->backend, kAccessibilityTreeMaximumNodes,
                                   kAccessibilityTreeMaximumDepth, 60.0, systemClock());
}

void BM_TreeReadWarm(benchmark::State& state) {
    const auto treeReader = reader();
    for (auto _ : state) {
        benchmark::DoNotOptimize(treeReader.read(desktop->target, {}));
    }
    state.counters["elements"] = static_cast<double>(desktop->elements);
}

void BM_TreeReadCold(benchmark::State& state) {
    const auto treeReader = reader();
    for (auto _ : state) {
        state.PauseTiming();
        desktop->platform->clearCachedState();
        state.ResumeTiming();
        benchmark::DoNotOptimize(treeReader.read(desktop->target, {}));
    }
    state.counters["elements"] = static_cast<double>(desktop->elements);
}

void BM_Snapshot(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(desktop->backend->snapshot(desktop->composer, true));
    }
}

// The platform element with `identifier`, reached from the application.
AXPlatformElementRef findElement(AXPlatform& platform, std::int32_t pid,
                                 const std::string& identifier) {
    std::deque<AXPlatformElementRef> queue{platform.createApplicationElement(pid)};
    while (!queue.empty()) {
        auto element = queue.front();
        queue.pop_front();
        auto id = platform.copyAttributeValue(element, "AXIdentifier");
        if (auto* text = std::get_if<std::string>(&id.value); text && *text == identifier) {
            return element;
        }
        auto children = platform.copyAttributeValue(element, "AXChildren");
        if (auto* list = std::get_if<std::vector<AXPlatformElementRef>>(&children.value)) {
            queue.insert(queue.end(), list->begin(), list->end());
        }
    }
    return nullptr;
}

struct Arrivals {
    std::mutex mutex;
    std::condition_variable arrived;
    std::optional<Clock::time_point> first;
};

void BM_EventToObserver(benchmark::State& state) {
    auto& platform = *desktop->platform;
    const auto composer = findElement(platform, desktop->target.pid, "composer");
    auto arrivals = std::make_shared<Arrivals>();
    auto created = platform.createObserver(
        desktop->target.pid,
        [](const AXPlatformElementRef&, const std::string&, const std::shared_ptr<void>& context) {
            auto* seen = static_cast<Arrivals*>(context.get());
            std::lock_guard guard(seen->mutex);
            if (!seen->first) {
                seen->first = Clock::now();
                seen->arrived.notify_all();
            }
        });
    if (!composer || created.error != ax::kSuccess ||
        created.value->addNotification(composer, "AXValueChanged", arrivals) != ax::kSuccess) {
        state.SkipWithError("the composer cannot be observed");
        return;
    }
    created.value->attachToMainRunLoop();
    int round = 0;
    for (auto _ : state) {
        {
            std::lock_guard guard(arrivals->mutex);
            arrivals->first.reset();
        }
        const auto written = Clock::now();
        platform.setAttributeValue(composer, "AXValue", "bench " + std::to_string(++round));
        std::unique_lock lock(arrivals->mutex);
        if (!arrivals->arrived.wait_for(lock, std::chrono::seconds(2),
                                        [&] { return arrivals->first.has_value(); })) {
            state.SkipWithError("no notification within 2 s");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(*arrivals->first - written).count());
    }
    created.value->detachFromMainRunLoop();
}

BENCHMARK(BM_TreeReadWarm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeReadCold)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Snapshot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EventToObserver)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ComputeStatistics("median", [](const std::vector<double>& v) {
        std::vector<double> sorted(v);
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    });

} // namespace

int run(int argc, char** argv) {
    const char* pidText = std::getenv("BIX_ATSPI_BENCH_PID");
    if (pidText == nullptr) {
        std::fprintf(stderr, "BIX_ATSPI_BENCH_PID must name the chat application; use run\n");
        return 2;
    }
    auto* state = new Desktop(); // lives until the process ends, with the run loop's thread
    desktop = state;
    state->loopThread = std::thread([state] { state->loop.run(); });
    state->platform = AtspiPlatform::connect(state->loop);
    state->backend = std::make_shared<AtspiAccessibilityBackend>(state->platform);
    state->target.pid = std::atoi(pidText);
    const auto windows = state->backend->windows(state->target.pid);
    if (windows.empty()) {
        std::fprintf(stderr, "the application has no window\n");
        return 1;
    }
    state->target.window = windows.front();
    // A conversation of a few turns first, so the window is the size the targets speak of.
    const auto composer = findElement(*state->platform, state->target.pid, "composer");
    const auto send = findElement(*state->platform, state->target.pid, "send-button");
    for (int turn = 0; composer && send && turn < 40; ++turn) {
        if (turn % 4 == 0 && reader().read(state->target, {}).order.size() >= 100) {
            break;
        }
        state->platform->setAttributeValue(composer, "AXValue", "turn " + std::to_string(turn));
        state->platform->performAction(send, "AXPress");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto tree = reader().read(state->target, {});
    state->elements = tree.order.size();
    for (const auto& handle : tree.order) {
        if (tree.nodes.at(handle).snapshot.identifier == std::optional<std::string>("composer")) {
            state->composer = handle;
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

int main(int argc, char** argv) {
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "helper_atspi_bench: %s\n", error.what());
    }
    std::fflush(nullptr);
    std::_Exit(status); // the run loop's thread and the AT-SPI worker end with the process
}
