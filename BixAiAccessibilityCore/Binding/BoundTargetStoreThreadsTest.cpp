#include "Binding/BindingTestSupport.h"
#include "Binding/BoundTargetStore.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace bix::ax {
namespace {

using binding_test::applicationSpec;
using binding_test::BindingWorld;

// The binding identifiers the binder thread created, and the latest of them.
class MintedBindings {
public:
    void add(const std::string& bindingId) {
        std::lock_guard guard(mutex_);
        all_.insert(bindingId);
        latest_ = bindingId;
    }
    std::string latest() const {
        std::lock_guard guard(mutex_);
        return latest_;
    }
    std::set<std::string> all() const {
        std::lock_guard guard(mutex_);
        return all_;
    }

private:
    mutable std::mutex mutex_; // guards all_ and latest_
    std::set<std::string> all_;
    std::string latest_;
};

// Both binding steps for the chat application, or nothing when a relaunch is under way: the old
// process has quit and the new one is not running yet, so the listing may not hold the application.
std::optional<std::string> bindChat(BindingWorld& world, std::size_t choice) {
    const std::string bundleId = "com.example.chat";
    for (const AppCandidate& candidate : world.discovery->listCandidates()) {
        if (candidate.bundleId != bundleId) {
            continue;
        }
        std::vector<WindowCandidate> windows = world.listWindows(candidate);
        if (windows.size() <= choice) {
            return std::nullopt;
        }
        return world.targets
            ->bind(candidate.candidateId, bundleId, binding_test::kProfileHash,
                   windows[choice].windowCandidateId)
            .summary()
            .bindingId;
    }
    return std::nullopt;
}

// Binding, validation from two threads, unbinding and relaunches of the bound application all race;
// whatever the interleaving, every binding ever made is reported dropped exactly once.
TEST(BoundTargetStoreThreads, EveryDroppedBindingIsReportedExactlyOnce) {
    constexpr int kRounds = 60;
    BindingWorld world;
    world.desktop().addApplication(applicationSpec(800, "com.example.chat", "Chat", true, 2));
    MintedBindings minted;
    std::atomic<bool> binderDone{false};
    std::atomic<int> binderRounds{0};

    std::thread binder([&] {
        for (int round = 0; round < kRounds; ++round) {
            try {
                if (std::optional<std::string> bindingId = bindChat(world, round % 2)) {
                    minted.add(*bindingId);
                }
            } catch (const HelperProtocolError&) {
                // The application was relaunched mid-bind; the next round lists it again.
            }
            ++binderRounds;
        }
        binderDone = true;
    });
    auto validator = [&](bool forAction) {
        while (!binderDone) {
            try {
                if (forAction) {
                    world.targets->validatedForAction(minted.latest());
                } else {
                    world.targets->validated(minted.latest());
                }
            } catch (const HelperProtocolError&) {
            }
            std::this_thread::yield();
        }
    };
    std::thread readingValidator(validator, false);
    std::thread actionValidator(validator, true);
    std::thread disturber([&] {
        std::int32_t pid = 800;
        // One disturbance per binder round, so the binder is raced but never starved.
        for (int round = 0; !binderDone; ++round) {
            while (!binderDone && binderRounds < round) {
                std::this_thread::yield();
            }
            if (round % 3 == 0) {
                world.desktop().relaunchApplication(pid, pid + 1);
                ++pid;
            } else {
                try {
                    world.targets->unbind(minted.latest());
                } catch (const HelperProtocolError&) {
                }
            }
            std::this_thread::yield();
        }
    });
    binder.join();
    readingValidator.join();
    actionValidator.join();
    disturber.join();
    world.targets->shutdown();

    ASSERT_FALSE(minted.all().empty()) << "no round managed to bind";
    const std::vector<std::string> dropped = world.recorder.dropped();
    const std::set<std::string> distinct(dropped.begin(), dropped.end());
    EXPECT_EQ(distinct.size(), dropped.size()) << "a binding was reported dropped twice";
    EXPECT_EQ(distinct, minted.all());
}

} // namespace
} // namespace bix::ax
