#include "common/bix_result.h"
#include "common/test_support.h"
#include "platform/bix_platform.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <type_traits>

namespace bix::bridge {

namespace {

// Success and failure are told apart by kind, never by an errno value of 0.
TEST(BixResult, SuccessAndFailureCannotBeMistakenForEachOther) {
    BixStatus unnamed = BixStatus::failure(0);
    EXPECT_FALSE(unnamed.ok()) << "a failure without an errno value must stay a failure";
    EXPECT_EQ(unnamed.error(), EIO);

    BixResult<int> zero(0);
    EXPECT_TRUE(zero.ok()) << "a value of 0 is a value, not an errno";
    EXPECT_EQ(zero.value(), 0);
    EXPECT_TRUE(zero.status().ok());

    BixResult<int> denied(BixStatus::failure(EACCES));
    ASSERT_FALSE(denied.ok());
    EXPECT_EQ(denied.error(), EACCES);
    EXPECT_EQ(denied.status().error(), EACCES);
    EXPECT_FALSE(denied.status().ok());

    // A status, which may be a success, cannot become a result without a value.
    EXPECT_FALSE((std::is_constructible_v<BixResult<int>, BixStatus>));
    EXPECT_TRUE((std::is_constructible_v<BixResult<int>, BixFailure>));
}

// The outcome of a connection that was made reads as success, and a refused one as its errno.
TEST(BixResult, ConnectOutcomeIsSuccessOnlyForAConnection) {
    FdPair pair = make_socketpair();
    EXPECT_TRUE(bix_connect_outcome(pair.first.get()).ok());

    ScratchDirectory scratch;
    auto socket = bix_unix_stream_socket();
    ASSERT_TRUE(socket.ok());
    BixStatus refused = bix_unix_connect(socket->get(), scratch.join("nobody-listens"));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), ENOENT);
}

} // namespace

} // namespace bix::bridge
