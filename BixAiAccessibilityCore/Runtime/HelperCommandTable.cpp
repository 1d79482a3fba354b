#include "Runtime/HelperCommandTable.h"

#include <array>
#include <cstddef>
#include <initializer_list>

namespace bix::ax {

namespace {

using CommandIndex = std::array<const HelperCommandEntry*, kHelperCommandCount>;

CommandIndex buildIndex() {
    CommandIndex index{};
    for (const auto group : {discoveryAndBindingCommands(), profileCommands(), teachCommands(),
                             actionCommands(), sessionCommands()}) {
        for (const auto& entry : group) {
            index[static_cast<std::size_t>(entry.command)] = &entry;
        }
    }
    return index;
}

} // namespace

const HelperCommandEntry* helperCommandEntry(HelperCommand command) {
    static const CommandIndex index = buildIndex();
    return index[static_cast<std::size_t>(command)];
}

} // namespace bix::ax
