#include "Access/AccessibilityTreeReader.h"

#include "Access/AccessTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>

namespace bix::ax {
namespace {

using namespace access_test;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;

const char kBudget[] = "Accessibility traversal budget was exceeded.";

// Forwards to a real backend but lets a test list extra children for chosen elements, so one
// element can appear twice in a child list or be reachable along two paths.
class ExtraChildrenBackend final : public AccessibilityBackend {
public:
    explicit ExtraChildrenBackend(std::shared_ptr<AccessibilityBackend> inner)
        : inner_(std::move(inner)) {}

    std::map<AXElementHandle, std::vector<AXElementHandle>> extraChildren;

    AXNodeSnapshot snapshot(const AXElementHandle& handle, bool includeValue) override {
        auto snap = inner_->snapshot(handle, includeValue);
        if (auto extra = extraChildren.find(handle); extra != extraChildren.end()) {
            snap.children.insert(snap.children.end(), extra->second.begin(), extra->second.end());
        }
        return snap;
    }
    bool isTrusted(bool prompt) override { return inner_->isTrusted(prompt); }
    std::vector<RunningApplicationDescriptor> runningApplications() override {
        return inner_->runningApplications();
    }
    std::optional<RunningApplicationDescriptor> application(std::int32_t pid) override {
        return inner_->application(pid);
    }
    std::vector<AXElementHandle> windows(std::int32_t pid) override { return inner_->windows(pid); }
    void setValue(const std::string& v, const AXElementHandle& on,
                  const AXBoundActionGuard& g) override {
        inner_->setValue(v, on, g);
    }
    void perform(const std::string& a, const AXElementHandle& on,
                 const AXBoundActionGuard& g) override {
        inner_->perform(a, on, g);
    }
    std::shared_ptr<AXObservation> observe(std::int32_t pid, const std::vector<AXElementHandle>& e,
                                           const std::vector<std::string>& n,
                                           AXNotificationHandler h) override {
        return inner_->observe(pid, e, n, std::move(h));
    }
    std::optional<std::int32_t> frontmostApplicationPID() override {
        return inner_->frontmostApplicationPID();
    }
    std::optional<AXElementHandle> focusedElement(std::int32_t pid) override {
        return inner_->focusedElement(pid);
    }
    bool activateApplication(std::int32_t pid) override { return inner_->activateApplication(pid); }
    bool restoreFocus(const AXElementHandle& h, std::int32_t pid) override {
        return inner_->restoreFocus(h, pid);
    }

private:
    std::shared_ptr<AccessibilityBackend> inner_;
};

class TreeReader : public ::testing::Test {
protected:
    AccessibilityTreeReader reader(std::shared_ptr<AccessibilityBackend> backend = nullptr,
                                   int maximumNodes = kAccessibilityTreeMaximumNodes) {
        return AccessibilityTreeReader(backend ? backend : chat_.backend, maximumNodes,
                                       kAccessibilityTreeMaximumDepth,
                                       kAccessibilityTreeMaximumDuration, clock_.clock());
    }
    // Replaces the main window's content by `groups` groups holding `leaves` leaves each.
    void fillWindow(const std::vector<int>& leavesPerGroup) {
        chat_.desktop().removeElement(chat_.id("group"));
        for (int leaves : leavesPerGroup) {
            auto group = SimulatedElementSpec::withRole("AXGroup");
            for (int i = 0; i < leaves; ++i) {
                group.child(SimulatedElementSpec::withRole("AXStaticText"));
            }
            chat_.desktop().addChild(chat_.id("window"), group);
        }
    }

    ManualClock clock_;
    ChatDesktop chat_;
};

TEST_F(TreeReader, WindowWithoutChildrenIsATreeOfOneNode) {
    chat_.desktop().removeElement(chat_.id("group"));
    const auto target = chat_.boundTarget();
    const auto tree = reader().read(target, {});
    EXPECT_EQ(tree.root, target.window);
    EXPECT_THAT(tree.order, ElementsAre(target.window));
    ASSERT_THAT(tree.nodes, SizeIs(1));
    EXPECT_EQ(tree.nodes.at(target.window).depth, 0);
    EXPECT_FALSE(tree.nodes.at(target.window).parent.has_value());
}

TEST_F(TreeReader, ReadsExactly2048NodesAndRefusesOneMore) {
    // window + 8 groups + 2039 leaves = 2048
    std::vector<int> leaves(8, 255);
    leaves.back() = 254;
    fillWindow(leaves);
    const auto target = chat_.boundTarget();
    EXPECT_THAT(reader().read(target, {}).order, SizeIs(2048));

    chat_.desktop().addChild(chat_.desktop().childrenOf(chat_.id("window")).back(),
                             SimulatedElementSpec::withRole("AXStaticText"));
    EXPECT_THAT([&] { reader().read(target, {}); },
                FailsWith(HelperErrorCode::actionFailed, kBudget));
    EXPECT_THAT([&] { reader(nullptr, 0).read(target, {}); },
                FailsWith(HelperErrorCode::actionFailed, kBudget));
}

TEST_F(TreeReader, ChainDeeperThan24IsCutAtDepth24) {
    SimulatedElementId parent = chat_.id("window");
    std::vector<SimulatedElementId> chain;
    for (int depth = 1; depth <= 30; ++depth) {
        parent = chat_.desktop().addChild(parent, SimulatedElementSpec::withRole("AXGroup").set(
                                                      "AXTitle", "level " + std::to_string(depth)));
    }
    chat_.desktop().removeElement(chat_.id("group"));
    const auto tree = reader().read(chat_.boundTarget(), {});
    ASSERT_THAT(tree.order, SizeIs(25));
    const auto& deepest = tree.nodes.at(tree.order.back());
    EXPECT_EQ(deepest.depth, 24);
    EXPECT_EQ(deepest.snapshot.title, "level 24");
    EXPECT_THAT(deepest.snapshot.children, SizeIs(1)); // listed, never read
    EXPECT_FALSE(tree.nodes.contains(deepest.snapshot.children[0]));
    EXPECT_THAT(tree.ancestors(tree.order.back()), SizeIs(24));
}

TEST_F(TreeReader, ElementReachedTwiceIsReadOnceAtItsFirstArrival) {
    auto backend = std::make_shared<ExtraChildrenBackend>(chat_.backend);
    const auto window = chat_.handle("window");
    const auto group = chat_.handle("group");
    const auto send = chat_.handle("send");
    backend->extraChildren[window] = {send};      // send at depth 1, before the group's children
    backend->extraChildren[group] = {send, send}; // listed twice more
    const auto tree = reader(backend).read(chat_.boundTarget(), {});
    EXPECT_THAT(tree.order, ElementsAre(window, group, send, chat_.handle("composer")));
    EXPECT_EQ(tree.nodes.at(send).depth, 1);
    EXPECT_EQ(tree.nodes.at(send).parent, window);
}

TEST_F(TreeReader, ElementOfAnotherProcessFailsTheWholeRead) {
    const auto target = chat_.boundTarget();
    chat_.desktop().setOwner(chat_.id("send"), kOtherPid);
    EXPECT_THAT(
        [&] { reader().read(target, {}); },
        FailsWith(HelperErrorCode::targetStale, "Accessibility tree crossed the bound process."));
    EXPECT_THAT(
        [&] { reader().snapshot(chat_.handle("send"), target, false); },
        FailsWith(HelperErrorCode::targetStale, "Accessibility element left the bound process."));
    EXPECT_EQ(reader().snapshot(chat_.handle("composer"), target, false).role, "AXTextArea");
}

TEST_F(TreeReader, ValuesAreReadOnlyForTheRequestedHandles) {
    chat_.desktop().setAttribute(chat_.id("composer"), "AXValue", std::string("draft"));
    chat_.desktop().setAttribute(chat_.id("send"), "AXValue", std::string("label"));
    const auto composer = chat_.handle("composer");
    const auto tree = reader().read(chat_.boundTarget(), {composer});
    EXPECT_EQ(tree.nodes.at(composer).snapshot.value, "draft");
    EXPECT_FALSE(tree.nodes.at(chat_.handle("send")).snapshot.value.has_value());
}

TEST_F(TreeReader, SlowReadFailsOnceMoreThanTheTimeBudgetHasPassed) {
    const auto target = chat_.boundTarget();
    using Step = std::pair<std::chrono::milliseconds, bool>;
    for (auto [tick, fails] : {Step{2000ms, true}, Step{375ms, false}}) {
        // The clock moves by `tick` on every reading; a read of four nodes reads it five times.
        auto ticking = [this, step = tick] {
            const auto now = clock_.now();
            clock_.advance(step);
            return now;
        };
        AccessibilityTreeReader timed(chat_.backend, 2048, 24, 1.5, ticking);
        if (fails) {
            EXPECT_THAT([&] { timed.read(target, {}); },
                        FailsWith(HelperErrorCode::actionFailed, kBudget));
        } else {
            EXPECT_THAT(timed.read(target, {}).order, SizeIs(4)); // exactly 1.5 s at the end
        }
    }
}

TEST_F(TreeReader, BackendErrorsPassThrough) {
    const auto target = chat_.boundTarget();
    chat_.desktop().closeWindow(chat_.id("window"));
    EXPECT_THAT([&] { reader().read(target, {}); },
                FailsWith(HelperErrorCode::targetStale, "The selected app or window changed."));
}

TEST_F(TreeReader, TreeQueriesFollowParentsAndSiblingLists) {
    chat_.desktop().addChild(chat_.id("group"), pressable("third"));
    chat_.desktop().addChild(chat_.id("third"), pressable("deep"));
    const auto tree = reader().read(chat_.boundTarget(), {});
    const auto window = chat_.handle("window");
    const auto group = chat_.handle("group");
    const auto composer = chat_.handle("composer");
    const auto send = chat_.handle("send");
    const auto third = chat_.handle("third");
    const auto deep = chat_.handle("deep");

    EXPECT_THAT(tree.ancestors(window), IsEmpty());
    EXPECT_THAT(tree.ancestors(AXElementHandle{"unknown"}), IsEmpty());
    const auto ancestors = tree.ancestors(deep);
    ASSERT_THAT(ancestors, SizeIs(3));
    EXPECT_EQ(ancestors[0].snapshot.handle, window);
    EXPECT_EQ(ancestors[1].snapshot.handle, group);
    EXPECT_EQ(ancestors[2].snapshot.handle, third);

    EXPECT_THAT(tree.followingSiblings(composer), ElementsAre(send, third));
    EXPECT_THAT(tree.followingSiblings(third), IsEmpty());
    EXPECT_THAT(tree.followingSiblings(window), IsEmpty());

    EXPECT_THAT(tree.descendants(window), ElementsAre(group, composer, send, third, deep));
    EXPECT_THAT(tree.descendants(third), ElementsAre(deep));
    EXPECT_THAT(tree.descendants(deep), IsEmpty());
}

// Reading order is breadth first, so each level of the nested demo window comes out together.
TEST(TreeReaderGolden, DemoChatWindowReadsAsExpected) {
    auto backend = SimulatedDesktopBackend::demo();
    AXWindowTarget target;
    target.pid = 4242;
    target.window = backend->windows(4242).at(0);
    const auto composer = *backend->focusedElement(4242);
    ManualClock clock;
    AccessibilityTreeReader reader(backend, 2048, 24, 1.5, clock.clock());
    const auto tree = reader.read(target, {composer});
    EXPECT_EQ(tree.debugDescription(),
              "AXWindow AXStandardWindow #chat-main-window title=\"AI Chat\" focused\n"
              "  AXGroup\n"
              "    AXSplitGroup\n"
              "      AXGroup #sidebar\n"
              "      AXSplitter\n"
              "      AXGroup\n"
              "        AXButton #new-chat-button title=\"New Chat\" AXPress\n"
              "        AXScrollArea\n"
              "        AXScrollArea\n"
              "        AXGroup #composer-bar\n"
              "          AXGroup\n"
              "          AXGroup #transcript\n"
              "          AXButton AXPress\n"
              "          AXTextArea #composer value=\"\" focused settable\n"
              "          AXGroup\n"
              "            AXButton title=\"Trip to Lisbon\" AXPress\n"
              "            AXButton title=\"Sourdough starter\" AXPress\n"
              "            AXStaticText #user-message\n"
              "            AXStaticText\n"
              "            AXStaticText #user-message\n"
              "            AXStaticText #assistant-message\n"
              "            AXButton #send-button title=\"Send\" AXPress\n"
              "            AXButton #stop-button title=\"Stop\" disabled AXPress\n");
}

} // namespace
} // namespace bix::ax
