#pragma once

namespace bix::bridge {

// The process-wide stop request set by SIGTERM and SIGINT. It is the only mutable global state
// of the bridge; every poll return and every timed wait checks it.
bool bix_should_stop();

// Async-signal-safe: only stores into a sig_atomic_t.
void bix_request_stop();

#ifdef BIX_TEST_HOOKS
void bix_clear_stop_for_tests();
#endif

} // namespace bix::bridge
