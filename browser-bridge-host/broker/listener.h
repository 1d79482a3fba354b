#pragma once

// The broker's listening socket at the bootstrap's socket path. The broker only ever removes a
// socket file it created itself: one owned by its effective uid with the device and inode it
// recorded right after binding.

#include "common/diagnostics.h"
#include "common/unique_fd.h"

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace bix::bridge {

inline constexpr int kBixListenBacklog = 8;

enum class BixListenerFailure { none, occupied, create, bind, chmod, listen, metadata, nonblock };

// Owns the listening descriptor and the identity of the socket file it created.
struct BixListener {
    UniqueFd fd;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

struct BixListenerOpen {
    BixListenerFailure failure = BixListenerFailure::none;
    BixListener listener; // valid only when failure is none
};

// Creates, binds (umask 077), chmods to 0600, listens, verifies and makes non-blocking. When a
// step after the bind fails, the path is removed only if it is a socket owned by `euid`.
BixListenerOpen bix_open_listener(const std::string& path, uid_t euid);

// Closes the listener and removes its path only if that is still the same socket it created.
void bix_close_listener(BixListener& listener, uid_t euid);

#ifdef BIX_TEST_HOOKS
// Test-only: runs between the absence check and the bind, to stage a competing socket.
extern std::function<void(const std::string&)> bix_listener_before_bind_hook;
#endif

// The diagnostic name for a start-up failure of the listener.
BixDiagnostic bix_listener_diagnostic(BixListenerFailure failure);

} // namespace bix::bridge
