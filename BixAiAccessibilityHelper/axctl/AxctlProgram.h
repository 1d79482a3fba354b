#pragma once

#include <cstdio>
#include <span>
#include <string>

namespace bix::ax::axctl {

// The whole of one bix-axctl run: parses the arguments (without the program name), starts or
// attaches to a helper, says hello, runs the verbs or the interactive loop and ends the helper it
// started. Returns the exit status; never throws.
int runAxctl(std::span<const std::string> arguments, std::FILE* out, std::FILE* err) noexcept;

} // namespace bix::ax::axctl
