// The strict JSON parser on arbitrary bytes: refusals are invalidJSON and nothing else, and an
// accepted document survives canonical re-encoding unchanged.
#include "helper/json_fuzz_support.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bix::fuzz::parse_round_trip(bix::fuzz::as_text(data, size));
    return 0;
}
