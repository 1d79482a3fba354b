#pragma once

// Fixtures shared by the profile tests: a compact layout notation for element trees, turned either
// directly into an AccessibilityTree or into a simulated application window read by the real tree
// reader.
//
// Layout: one element per line, two spaces of indentation per level, a single root. Tokens:
//   AXRole or AXRole/AXSubrole   first token, required
//   #identifier                  AXIdentifier
//   title=Text  desc=Text        AXTitle, AXDescription ("title=\"Two words\"" for blanks)
//   value=Text                   AXValue
//   settable                     AXValue is settable
//   press                        the element offers AXPress
//   @key                         name for handle(); an element with an identifier is also
//                                reachable by it unless it has a key
// Example:
//   AXWindow #main
//     AXGroup @chat
//       AXTextArea #composer settable
//       AXButton #send title=Send press

#include "Access/AccessibilityBackend.h"
#include "Access/AccessibilityTreeReader.h"
#include "Platform/Clock.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bix::ax::profiles_test {

inline constexpr std::int32_t kAppPid = 612;
inline const std::string kBundle = "com.example.chat";

// One line of a layout.
struct LaidOutElement {
    std::size_t depth = 0;
    std::string key;
    std::string role;
    std::optional<std::string> subrole, identifier, title, description, value;
    bool isValueSettable = false;
    bool isPressable = false;
    std::vector<std::size_t> children; // indices into the layout
};

namespace detail {

inline std::vector<std::string> tokens(std::string_view line) {
    std::vector<std::string> result;
    std::string current;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ' ' && !quoted) {
            if (!current.empty()) {
                result.push_back(std::move(current));
                current.clear();
            }
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        result.push_back(std::move(current));
    }
    return result;
}

inline void applyToken(LaidOutElement& element, const std::string& token) {
    auto after = [&](std::string_view prefix) { return token.substr(prefix.size()); };
    if (token.starts_with('#')) {
        element.identifier = after("#");
    } else if (token.starts_with('@')) {
        element.key = after("@");
    } else if (token.starts_with("title=")) {
        element.title = after("title=");
    } else if (token.starts_with("desc=")) {
        element.description = after("desc=");
    } else if (token.starts_with("value=")) {
        element.value = after("value=");
    } else if (token == "settable") {
        element.isValueSettable = true;
    } else if (token == "press") {
        element.isPressable = true;
    } else {
        throw std::invalid_argument("layout: unknown token " + token);
    }
}

} // namespace detail

// The elements of a layout in line order; element 0 is the root.
inline std::vector<LaidOutElement> parseLayout(std::string_view layout) {
    std::vector<LaidOutElement> elements;
    std::vector<std::size_t> openAtDepth; // index of the latest element at each depth
    std::set<std::string> keys;
    std::size_t start = 0;
    while (start < layout.size()) {
        std::size_t end = layout.find('\n', start);
        if (end == std::string_view::npos) {
            end = layout.size();
        }
        const std::string_view line = layout.substr(start, end - start);
        start = end + 1;
        const std::size_t indent = line.find_first_not_of(' ');
        if (indent == std::string_view::npos) {
            continue;
        }
        LaidOutElement element;
        element.depth = indent / 2;
        if (indent % 2 != 0 || element.depth > openAtDepth.size() ||
            (element.depth == 0 && !elements.empty())) {
            throw std::invalid_argument("layout: bad indentation");
        }
        const std::vector<std::string> parts = detail::tokens(line.substr(indent));
        const std::size_t slash = parts.front().find('/');
        element.role = parts.front().substr(0, slash);
        if (slash != std::string::npos) {
            element.subrole = parts.front().substr(slash + 1);
        }
        for (std::size_t i = 1; i < parts.size(); ++i) {
            detail::applyToken(element, parts[i]);
        }
        if (!element.key.empty() && !keys.insert(element.key).second) {
            throw std::invalid_argument("layout: duplicate key " + element.key);
        }
        // Shared identifiers stay reachable by explicit keys only.
        if (element.key.empty() && element.identifier && keys.insert(*element.identifier).second) {
            element.key = *element.identifier;
        }
        const std::size_t index = elements.size();
        openAtDepth.resize(element.depth);
        if (element.depth > 0) {
            elements[openAtDepth.back()].children.push_back(index);
        }
        openAtDepth.push_back(index);
        elements.push_back(std::move(element));
    }
    if (elements.empty()) {
        throw std::invalid_argument("layout: no elements");
    }
    return elements;
}

// A tree built directly from a layout, in the reader's breadth-first order, with handles
// "E0", "E1", ... in line order, plus the handles by key.
struct LaidOutTree {
    AccessibilityTree tree;
    std::map<std::string, AXElementHandle> keys;

    const AXElementHandle& handle(const std::string& key) const { return keys.at(key); }
    AccessibilityTreeNode& node(const std::string& key) { return tree.nodes.at(handle(key)); }
};

inline LaidOutTree treeFromLayout(std::string_view layout, std::int32_t pid = kAppPid) {
    const std::vector<LaidOutElement> elements = parseLayout(layout);
    // GCC 12 at -O2 and above reports a false -Wrestrict inside libstdc++'s inlined
    // operator+(const char*, std::string&&) (GCC bug 105329); the concatenation is well defined.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    auto handleOf = [](std::size_t index) { return AXElementHandle{"E" + std::to_string(index)}; };
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
    LaidOutTree result{AccessibilityTree(handleOf(0), {}, {}), {}};
    struct Entry {
        std::size_t index;
        std::optional<AXElementHandle> parent;
        int depth;
    };
    std::deque<Entry> queue{{0, std::nullopt, 0}};
    while (!queue.empty()) {
        const Entry entry = queue.front();
        queue.pop_front();
        const LaidOutElement& element = elements[entry.index];
        AXNodeSnapshot snapshot;
        snapshot.handle = handleOf(entry.index);
        snapshot.pid = pid;
        snapshot.role = element.role;
        snapshot.subrole = element.subrole;
        snapshot.identifier = element.identifier;
        snapshot.title = element.title;
        snapshot.description = element.description;
        snapshot.value = element.value;
        snapshot.isValueSettable = element.isValueSettable;
        if (element.isPressable) {
            snapshot.actions.insert("AXPress");
        }
        snapshot.parent = entry.parent;
        for (std::size_t child : element.children) {
            snapshot.children.push_back(handleOf(child));
            queue.push_back({child, snapshot.handle, entry.depth + 1});
        }
        result.tree.order.push_back(snapshot.handle);
        if (!element.key.empty()) {
            result.keys.emplace(element.key, snapshot.handle);
        }
        result.tree.nodes.emplace(snapshot.handle,
                                  AccessibilityTreeNode{snapshot, entry.parent, entry.depth});
    }
    return result;
}

// The subtree of layout element `index` as a simulated element (keys become element keys).
inline SimulatedElementSpec simulatedElement(const std::vector<LaidOutElement>& elements,
                                             std::size_t index = 0) {
    const LaidOutElement& element = elements[index];
    SimulatedElementSpec spec = SimulatedElementSpec::withRole(element.role);
    spec.named(element.key);
    const std::pair<const char*, const std::optional<std::string>*> attributes[] = {
        {"AXSubrole", &element.subrole}, {"AXIdentifier", &element.identifier},
        {"AXTitle", &element.title},     {"AXDescription", &element.description},
        {"AXValue", &element.value},
    };
    for (const auto& [name, text] : attributes) {
        if (*text) {
            spec.set(name, **text);
        }
    }
    if (element.isValueSettable) {
        spec.settable("AXValue");
    }
    if (element.isPressable) {
        spec.withActions({"AXPress"});
    }
    for (std::size_t child : element.children) {
        spec.child(simulatedElement(elements, child));
    }
    return spec;
}

// One simulated application (kAppPid, kBundle) whose only window is a layout, and the tree reader
// the runtime would read it with (2048 nodes, depth 24, 1.5 s) on a manual clock.
class SimulatedLayoutDesktop {
public:
    explicit SimulatedLayoutDesktop(std::string_view windowLayout) {
        SimulatedApplicationSpec app;
        app.pid = kAppPid;
        app.bundleId = kBundle;
        app.localizedName = "Chat";
        app.windows = {simulatedElement(parseLayout(windowLayout))};
        desktop().addApplication(app);
    }

    SimulatedDesktop& desktop() { return backend->desktop(); }

    // What a binding of the window gives the tree reader.
    AXWindowTarget target() { return AXWindowTarget{kAppPid, backend->windows(kAppPid).at(0)}; }

    AccessibilityTree read() { return reader.read(target(), {}); }

    // The handle of a keyed element, reached as the helper reaches it: the window list, then
    // child lists along the element's position in the model.
    AXElementHandle handle(const std::string& key) {
        std::vector<std::size_t> path;
        SimulatedElementId current = desktop().elementByKey(key).value();
        while (auto parent = desktop().parentOf(current)) {
            const auto siblings = desktop().childrenOf(*parent);
            path.push_back(static_cast<std::size_t>(
                std::find(siblings.begin(), siblings.end(), current) - siblings.begin()));
            current = *parent;
        }
        AXElementHandle found = backend->windows(kAppPid).at(path.back());
        for (auto step = path.rbegin() + 1; step != path.rend(); ++step) {
            found = backend->snapshot(found, false).children.at(*step);
        }
        return found;
    }

    ManualClock clock;
    std::shared_ptr<SimulatedDesktopBackend> backend = SimulatedDesktopBackend::empty();
    AccessibilityTreeReader reader{backend, kAccessibilityTreeMaximumNodes,
                                   kAccessibilityTreeMaximumDepth,
                                   kAccessibilityTreeMaximumDuration, clock.clock()};
};

} // namespace bix::ax::profiles_test
