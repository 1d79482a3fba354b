#pragma once

#include <string>
#include <vector>

namespace bix::bridge {

// The one command line of bix-browser-bridge-host: one argument (the extension origin) selects
// host mode, "--broker" and a bootstrap path select broker mode, anything else is a usage error.
enum class BixMode { host, broker, invalid };

struct BixCommandLine {
    BixMode mode = BixMode::invalid;
    std::string origin;         // host mode
    std::string bootstrap_path; // broker mode
};

// `arguments` excludes the program name.
BixCommandLine bix_parse_command_line(const std::vector<std::string>& arguments);

// Runs the executable: installs the stop signals, splits the command line and runs one mode on
// the standard streams. Returns the exit status.
int bix_main(int argc, char** argv);

} // namespace bix::bridge
