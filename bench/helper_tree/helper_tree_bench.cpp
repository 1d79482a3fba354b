// Reading a 2,048-element window into an AccessibilityTree, and the 2,048-entry containment walk
// of a guarded press whose target is the last element in breadth-first order, both against the
// simulated desktop. Prints microseconds per element; the target for a full read is under 4 ms.

#include "Access/AccessibilityTreeReader.h"
#include "Binding/BoundTargetStore.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>

namespace {

using namespace bix::ax;

constexpr std::int32_t kPid = 900;
constexpr int kElements = 2048;

// window + 8 groups + 2,039 leaves = 2,048 elements; the last leaf is a pressable button.
std::shared_ptr<SimulatedDesktopBackend> makeDesktop() {
    auto backend = SimulatedDesktopBackend::empty();
    SimulatedApplicationSpec app;
    app.pid = kPid;
    app.bundleId = "com.example.bench";
    auto window = SimulatedElementSpec::withRole("AXWindow").named("window");
    window.set("AXMinimized", false).set("AXIdentifier", std::string("bench"));
    for (int group = 0; group < 8; ++group) {
        auto groupSpec = SimulatedElementSpec::withRole("AXGroup");
        const int leaves = group == 7 ? 254 : 255;
        for (int leaf = 0; leaf < leaves; ++leaf) {
            auto text = SimulatedElementSpec::withRole("AXStaticText");
            text.set("AXTitle", "Message " + std::to_string(leaf))
                .set("AXValue", std::string("Some assistant text"));
            groupSpec.child(text);
        }
        window.child(groupSpec);
    }
    auto& lastGroup = window.children.back();
    lastGroup.children.back() =
        SimulatedElementSpec::withRole("AXButton").named("target").withActions({"AXPress"});
    app.windows.push_back(window);
    backend->desktop().addApplication(app);
    return backend;
}

BoundTarget targetFor(SimulatedDesktopBackend& backend) {
    BoundTarget target;
    target.bindingId = "binding_BENCH";
    target.pid = kPid;
    target.bundleId = "com.example.bench";
    target.window = backend.windows(kPid).at(0);
    target.windowFingerprint =
        accessibilityWindowFingerprint(backend.snapshot(target.window, false));
    return target;
}

void reportPerElement(benchmark::State& state, std::chrono::steady_clock::duration spent) {
    const double perElement = std::chrono::duration<double, std::micro>(spent).count() /
                              (static_cast<double>(state.iterations()) * kElements);
    state.counters["us_per_element"] = perElement;
    state.counters["ms_per_2048"] = perElement * kElements / 1000.0;
}

void BM_TreeRead2048(benchmark::State& state) {
    auto backend = makeDesktop();
    const auto target = targetFor(*backend);
    AccessibilityTreeReader reader(backend, kAccessibilityTreeMaximumNodes,
                                   kAccessibilityTreeMaximumDepth,
                                   kAccessibilityTreeMaximumDuration, systemClock());
    if (reader.read(target.windowTarget(), {}).order.size() != kElements) {
        state.SkipWithError("unexpected tree size");
        return;
    }
    std::chrono::steady_clock::duration spent{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto tree = reader.read(target.windowTarget(), {});
        spent += std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(tree);
    }
    reportPerElement(state, spent);
}

// The first read of a window also mints a handle for every element.
void BM_TreeRead2048FirstRead(benchmark::State& state) {
    std::chrono::steady_clock::duration spent{};
    for (auto _ : state) {
        state.PauseTiming();
        auto backend = makeDesktop();
        const auto target = targetFor(*backend);
        AccessibilityTreeReader reader(backend, kAccessibilityTreeMaximumNodes,
                                       kAccessibilityTreeMaximumDepth,
                                       kAccessibilityTreeMaximumDuration, systemClock());
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        auto tree = reader.read(target.windowTarget(), {});
        spent += std::chrono::steady_clock::now() - start;
        benchmark::DoNotOptimize(tree);
    }
    reportPerElement(state, spent);
}

void BM_ContainmentWalk2048(benchmark::State& state) {
    auto backend = makeDesktop();
    const auto target = targetFor(*backend);
    AccessibilityTreeReader reader(backend, kAccessibilityTreeMaximumNodes,
                                   kAccessibilityTreeMaximumDepth,
                                   kAccessibilityTreeMaximumDuration, systemClock());
    const auto tree = reader.read(target.windowTarget(), {});
    const auto button = tree.order.back();
    const AXBoundActionGuard guard{
        target.bindingId,         kPid,
        target.bundleId,          target.window,
        target.windowFingerprint, tree.nodes.at(button).snapshot.semanticFingerprint()};
    std::chrono::steady_clock::duration spent{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        backend->perform("AXPress", button, guard);
        spent += std::chrono::steady_clock::now() - start;
        state.PauseTiming();
        backend->desktop().clearSideEffects();
        state.ResumeTiming();
    }
    reportPerElement(state, spent);
}

BENCHMARK(BM_TreeRead2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeRead2048FirstRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContainmentWalk2048)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
