// Test-only pause points between the named steps of an operation. Compiled to nothing unless
// BIX_TEST_HOOKS is defined, so release builds carry no hook at all.
#pragma once

#include <functional>
#include <string_view>

namespace bix::safe_path::platform {

#ifdef BIX_TEST_HOOKS
using StepHook = std::function<void(std::string_view step)>;
// Installs the hook every later `reach_step` calls (tests and the test build's entry only).
void install_step_hook(StepHook hook);
// Installs the hook described by the BIX_SAFE_PATH_HOOK_* environment of a test build.
void install_step_hook_from_environment();
void reach_step(std::string_view step);
#else
inline void reach_step(std::string_view) {}
#endif

} // namespace bix::safe_path::platform
