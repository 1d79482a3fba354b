#pragma once

#include "Protocol/JSONValue.h"

#include <string_view>

namespace bix::ax {

// The strict, bounded JSON parser every request passes through. Accepts only RFC 8259 JSON with
// NFC strings, unique keys, no leading zeros and no trailing data; refuses anything deeper than
// `maximumDepth` (the top-level value is depth 0) or holding more than `maximumNodes` values.
// Every refusal is a HelperProtocolError with code invalidJSON and a fixed message. Stateless
// between calls, so one parser may serve any number of parses (and threads).
class StrictJSONParser {
public:
    StrictJSONParser(int maximumDepth, int maximumNodes)
        : maximumDepth_(maximumDepth), maximumNodes_(maximumNodes) {}

    JSONValue parse(std::string_view data) const;

    int maximumDepth() const noexcept { return maximumDepth_; }
    int maximumNodes() const noexcept { return maximumNodes_; }

private:
    int maximumDepth_;
    int maximumNodes_;
};

} // namespace bix::ax
