#include "Access/AccessibilityTreeReader.h"

#include "Protocol/HelperError.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace bix::ax {

namespace {

[[noreturn]] void budgetExceeded() {
    throw HelperProtocolError(HelperErrorCode::actionFailed,
                              "Accessibility traversal budget was exceeded.");
}

struct QueueEntry {
    AXElementHandle handle;
    std::optional<AXElementHandle> parent;
    int depth = 0;
};

void appendQuoted(std::string& out, const char* label, const std::optional<std::string>& text) {
    if (!text) {
        return;
    }
    out += ' ';
    out += label;
    out += "=\"";
    out += *text;
    out += '"';
}

} // namespace

// MARK: tree queries

std::vector<AccessibilityTreeNode>
AccessibilityTree::ancestors(const AXElementHandle& handle) const {
    std::vector<AccessibilityTreeNode> result;
    auto found = nodes.find(handle);
    if (found == nodes.end()) {
        return result;
    }
    std::optional<AXElementHandle> current = found->second.parent;
    while (current &&
           result.size() < static_cast<std::size_t>(kAccessibilityTreeMaximumParentSteps)) {
        auto ancestor = nodes.find(*current);
        if (ancestor == nodes.end()) {
            break;
        }
        result.push_back(ancestor->second);
        current = ancestor->second.parent;
    }
    std::reverse(result.begin(), result.end());
    return result;
}

std::vector<AXElementHandle> AccessibilityTree::descendants(const AXElementHandle& handle) const {
    std::vector<AXElementHandle> result;
    for (const auto& candidate : order) {
        if (candidate == handle) {
            continue;
        }
        auto node = nodes.find(candidate);
        std::optional<AXElementHandle> current =
            node == nodes.end() ? std::nullopt : node->second.parent;
        for (int step = 0; step < kAccessibilityTreeMaximumParentSteps && current; ++step) {
            if (*current == handle) {
                result.push_back(candidate);
                break;
            }
            auto parent = nodes.find(*current);
            if (parent == nodes.end()) {
                break;
            }
            current = parent->second.parent;
        }
    }
    return result;
}

std::vector<AXElementHandle>
AccessibilityTree::followingSiblings(const AXElementHandle& handle) const {
    auto node = nodes.find(handle);
    if (node == nodes.end() || handle == root || !node->second.parent) {
        return {};
    }
    auto parent = nodes.find(*node->second.parent);
    if (parent == nodes.end()) {
        return {};
    }
    const auto& siblings = parent->second.snapshot.children;
    auto position = std::find(siblings.begin(), siblings.end(), handle);
    if (position == siblings.end()) {
        return {};
    }
    return {position + 1, siblings.end()};
}

std::string AccessibilityTree::debugDescription() const {
    std::string out;
    for (const auto& handle : order) {
        const auto& node = nodes.at(handle);
        const auto& snap = node.snapshot;
        out.append(static_cast<std::size_t>(node.depth) * 2, ' ');
        out += snap.role;
        if (snap.subrole) {
            out += ' ' + *snap.subrole;
        }
        if (snap.identifier) {
            out += " #" + *snap.identifier;
        }
        appendQuoted(out, "title", snap.title);
        appendQuoted(out, "value", snap.value);
        if (!snap.isEnabled) {
            out += " disabled";
        }
        if (snap.isFocused) {
            out += " focused";
        }
        if (snap.isMinimized) {
            out += " minimized";
        }
        if (snap.isValueSettable) {
            out += " settable";
        }
        for (const auto& action : snap.actions) {
            out += ' ' + action;
        }
        out += '\n';
    }
    return out;
}

// MARK: reader

AccessibilityTreeReader::AccessibilityTreeReader(std::shared_ptr<AccessibilityBackend> backend,
                                                 int maximumNodes, int maximumDepth,
                                                 double maximumDuration, Clock now)
    : backend_(std::move(backend)), maximumNodes_(maximumNodes), maximumDepth_(maximumDepth),
      maximumDuration_(maximumDuration), now_(std::move(now)) {}

AccessibilityTree
AccessibilityTreeReader::read(const AXWindowTarget& target,
                              const std::unordered_set<AXElementHandle>& includeValues) const {
    const TimePoint start = now_();
    std::vector<QueueEntry> queue{{target.window, std::nullopt, 0}};
    std::size_t position = 0;
    std::unordered_map<AXElementHandle, AccessibilityTreeNode> nodes;
    std::vector<AXElementHandle> order;
    if (maximumNodes_ <= 0) {
        budgetExceeded();
    }
    while (true) {
        const std::chrono::duration<double> elapsed = now_() - start;
        if (elapsed.count() > maximumDuration_) {
            budgetExceeded();
        }
        // Moved out (each entry is taken once): appending children below may reallocate.
        const QueueEntry entry = std::move(queue[position]);
        // The first arrival decides a node's parent and depth; deeper entries are not read.
        if (!nodes.contains(entry.handle) && entry.depth <= maximumDepth_) {
            auto snap = backend_->snapshot(entry.handle, includeValues.contains(entry.handle));
            if (snap.pid != target.pid) {
                throw HelperProtocolError(HelperErrorCode::targetStale,
                                          "Accessibility tree crossed the bound process.");
            }
            if (entry.depth < maximumDepth_) {
                for (const auto& child : snap.children) {
                    queue.push_back({child, entry.handle, entry.depth + 1});
                }
            }
            order.push_back(entry.handle);
            nodes.emplace(entry.handle,
                          AccessibilityTreeNode{std::move(snap), entry.parent, entry.depth});
        }
        ++position;
        if (position == queue.size()) {
            return AccessibilityTree(target.window, std::move(nodes), std::move(order));
        }
        if (nodes.size() >= static_cast<std::size_t>(maximumNodes_)) {
            budgetExceeded();
        }
    }
}

AXNodeSnapshot AccessibilityTreeReader::snapshot(const AXElementHandle& handle,
                                                 const AXWindowTarget& target,
                                                 bool includeValue) const {
    auto snap = backend_->snapshot(handle, includeValue);
    if (snap.pid != target.pid) {
        throw HelperProtocolError(HelperErrorCode::targetStale,
                                  "Accessibility element left the bound process.");
    }
    return snap;
}

} // namespace bix::ax
