// The bridge's command line, the extension origin it names in host mode and the bootstrap path
// built from a home directory. Input: arguments separated by NUL bytes. Host mode is exactly one
// argument, broker mode exactly "--broker" and a path; an origin that parses is exactly the
// prefix, a valid id and "/"; a bootstrap path is absolute, bounded and inside the home.
#include "bootstrap/bootstrap.h"
#include "bootstrap/extension_origin.h"
#include "cli/command_line.h"
#include "common/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace bix::bridge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = bix::fuzz::as_text(data, size);
    const std::vector<std::string> arguments = bix::fuzz::split_arguments(text);
    const BixCommandLine parsed = bix_parse_command_line(arguments);
    switch (parsed.mode) {
    case BixMode::host:
        BIX_FUZZ_CHECK(arguments.size() == 1 && parsed.origin == arguments[0]);
        break;
    case BixMode::broker:
        BIX_FUZZ_CHECK(arguments.size() == 2 && arguments[0] == "--broker" &&
                       parsed.bootstrap_path == arguments[1]);
        break;
    case BixMode::invalid:
        BIX_FUZZ_CHECK(arguments.size() != 1 &&
                       !(arguments.size() == 2 && arguments[0] == "--broker"));
        break;
    }

    if (const auto id = bix_parse_extension_origin(text)) {
        const std::string_view id_text(id->data(), id->size());
        BIX_FUZZ_CHECK(bix_is_valid_extension_id(id_text));
        BIX_FUZZ_CHECK(text == std::string(kBixOriginPrefix) + std::string(id_text) + "/");
    }

    auto path = bix_bootstrap_path_in_home(text, "com.example.fuzz");
    if (path.ok()) {
        BIX_FUZZ_CHECK(path.value().size() <= kBixBootstrapMaxPath);
        BIX_FUZZ_CHECK(path.value().starts_with(text) && path.value().front() == '/');
    }
    return 0;
}
