// The hatch launcher's command line. Input: the arguments after the program name, separated by
// NUL bytes. Exactly the three accepted forms are recognised, and a recognised one carries the
// workspace and index it was given.
#include "common/fuzz_support.h"
#include "launcher/command_line.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace bix::hatch;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments = bix::fuzz::split_arguments(bix::fuzz::as_text(data, size));
    arguments.insert(arguments.begin(), "bix-hatch-tool");
    std::vector<const char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.size());

    const auto parsed = parse_command_line(argc, argv.data());
    if (!parsed)
        return 0;
    switch (parsed->mode) {
    case Mode::self_test:
        BIX_FUZZ_CHECK(argc == 2 && arguments[1] == "self-test");
        BIX_FUZZ_CHECK(parsed->workspace.empty() && !parsed->job_index);
        break;
    case Mode::prepare:
    case Mode::assemble:
    case Mode::finalize:
        BIX_FUZZ_CHECK(argc == 4 && arguments[2] == "--workspace");
        BIX_FUZZ_CHECK(arguments[1] == "prepare" || arguments[1] == "assemble" ||
                       arguments[1] == "finalize");
        BIX_FUZZ_CHECK(parsed->workspace == arguments[3] && !parsed->job_index);
        break;
    case Mode::job:
        BIX_FUZZ_CHECK(argc == 6 && arguments[1] == "job" && arguments[2] == "--workspace" &&
                       arguments[4] == "--index");
        BIX_FUZZ_CHECK(parsed->workspace == arguments[3]);
        BIX_FUZZ_CHECK(parsed->job_index && arguments[5] == std::to_string(*parsed->job_index));
        break;
    }
    return 0;
}
