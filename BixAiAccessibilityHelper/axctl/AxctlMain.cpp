// bix-axctl: a command-line client of bix-ai-accessibility-helper for host developers. See
// README.md beside this file.
#include "AxctlProgram.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return bix::ax::axctl::runAxctl(arguments, stdout, stderr);
}
