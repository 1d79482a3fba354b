#include "mutations/content_input.h"
#include "test_support/temp_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace bix::safe_path {
namespace {

using testing::TempTree;

// Copies `input` into a new file with a declared size and reports the status and what landed.
std::pair<Status, std::string> copy(const TempTree& tree, const std::string& input, uint64_t size) {
    tree.write_file("in", input);
    UniqueFd in(::open(tree.at("in").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(::open(tree.at("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    Status status = copy_exact_input(in.get(), out.get(), size);
    return {status, tree.read_file("out")};
}

TEST(ContentInput, CopiesExactlyTheDeclaredSizeAndRequiresEndOfInput) {
    TempTree tree;
    const std::string large(3 * kInputChunkBytes + 17, 'z');
    struct Case {
        std::string input;
        uint64_t size;
        int error;
    };
    const Case cases[] = {
        {"", 0, 0},          {"abc", 3, 0},    {large, large.size(), 0},          {"ab", 3, EINVAL},
        {"abcd", 3, EINVAL}, {"a", 0, EINVAL}, {large, large.size() - 1, EINVAL},
    };
    for (const auto& c : cases) {
        auto [status, written] = copy(tree, c.input, c.size);
        EXPECT_EQ(status.ok() ? 0 : status.error(), c.error) << c.input.size() << "/" << c.size;
        if (c.error == 0) {
            EXPECT_EQ(written, c.input);
        }
    }
}

TEST(ContentInput, ReadsFromAPipeInBoundedChunks) {
    TempTree tree;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd reader(fds[0]);
    UniqueFd writer(fds[1]);
    const std::string data(1000, 'q');
    ASSERT_EQ(::write(writer.get(), data.data(), data.size()), 1000);
    writer.reset();
    UniqueFd out(::open(tree.at("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    EXPECT_TRUE(copy_exact_input(reader.get(), out.get(), 1000).ok());
    EXPECT_EQ(tree.read_file("out"), data);
}

} // namespace
} // namespace bix::safe_path
