#pragma once

#include "Access/AccessibilityBackend.h"
#include "Platform/Clock.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace bix::ax {

// The budgets the runtime reads bound windows with.
inline constexpr int kAccessibilityTreeMaximumNodes = 2048;
inline constexpr int kAccessibilityTreeMaximumDepth = 24;
inline constexpr double kAccessibilityTreeMaximumDuration = 1.5; // seconds
// How far the tree's own walks (ancestors, descendants) follow parent links.
inline constexpr int kAccessibilityTreeMaximumParentSteps = 24;

// What a read needs to know of a binding: the bound process and the window to read under. A value,
// so the access layer never depends on how bindings are stored.
struct AXWindowTarget {
    std::int32_t pid = 0;
    AXElementHandle window;
};

// One element as read into a tree: its snapshot, the element through which it was first reached
// (absent for the root) and its depth below the root.
struct AccessibilityTreeNode {
    AXNodeSnapshot snapshot;
    std::optional<AXElementHandle> parent;
    int depth = 0;

    friend bool operator==(const AccessibilityTreeNode&, const AccessibilityTreeNode&) = default;
};

// A bounded, breadth-first copy of the elements under one bound window, queried without touching
// the platform again. Value type, never refreshed. Invariant: every key of `nodes` occurs in
// `order` exactly once, and `order` lists them in reading order.
struct AccessibilityTree {
    AXElementHandle root;
    std::unordered_map<AXElementHandle, AccessibilityTreeNode> nodes;
    std::vector<AXElementHandle> order;

    AccessibilityTree(AXElementHandle rootHandle,
                      std::unordered_map<AXElementHandle, AccessibilityTreeNode> treeNodes,
                      std::vector<AXElementHandle> readingOrder)
        : root(std::move(rootHandle)), nodes(std::move(treeNodes)), order(std::move(readingOrder)) {
    }

    // The node's ancestors from the root down to its direct parent (at most 24); empty for the
    // root and for unknown handles.
    std::vector<AccessibilityTreeNode> ancestors(const AXElementHandle& handle) const;
    // Every other handle whose parent chain reaches `handle` within 24 steps, in reading order.
    std::vector<AXElementHandle> descendants(const AXElementHandle& handle) const;
    // The children listed after `handle` in its parent's snapshot, read or not.
    std::vector<AXElementHandle> followingSiblings(const AXElementHandle& handle) const;

    // One line per node in reading order, indented by depth: role, subrole, identifier, title,
    // value and the states that are not the default. Handles are left out (they are random), so
    // two reads of the same window print the same text.
    std::string debugDescription() const;
};

// Reads the tree under a binding's window, bounded by node count, depth and time, and refusing
// any element of another process. Immutable: safe to share between threads; its only dependency
// is the backend.
class AccessibilityTreeReader {
public:
    AccessibilityTreeReader(std::shared_ptr<AccessibilityBackend> backend, int maximumNodes,
                            int maximumDepth, double maximumDuration, Clock now);

    // Breadth-first read from the target's window; values only for handles in includeValues.
    // Throws the budget error, "Accessibility tree crossed the bound process." or the backend's
    // error; a failed read returns nothing.
    AccessibilityTree read(const AXWindowTarget& target,
                           const std::unordered_set<AXElementHandle>& includeValues) const;
    // One element of the target's process.
    AXNodeSnapshot snapshot(const AXElementHandle& handle, const AXWindowTarget& target,
                            bool includeValue) const;

private:
    std::shared_ptr<AccessibilityBackend> backend_;
    int maximumNodes_;
    int maximumDepth_;
    double maximumDuration_;
    Clock now_;
};

} // namespace bix::ax
