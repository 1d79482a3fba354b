#include "common/stop_flag.h"

#include <csignal>

namespace bix::bridge {

namespace {
volatile std::sig_atomic_t stop_requested = 0;
}

bool bix_should_stop() {
    return stop_requested != 0;
}

void bix_request_stop() {
    stop_requested = 1;
}

#ifdef BIX_TEST_HOOKS
void bix_clear_stop_for_tests() {
    stop_requested = 0;
}
#endif

} // namespace bix::bridge
