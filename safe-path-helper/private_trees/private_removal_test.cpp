#include "anchors/object_binding.h"
#include "private_trees/operations.h"
#include "test_support/temp_tree.h"

#include <gtest/gtest.h>
#include <string>

namespace bix::safe_path {
namespace {

using testing::TempTree;

// The three private removals, each run on one leaf of the parent "p".
enum class Removal { file, staging_file, tree };

const std::string kContent = "data";

Status remove(const TempTree& tree, Removal removal, const std::string& leaf) {
    const Root root = tree.open_as_root();
    const OperationContext context{root, -1};
    const std::string path = "p/" + leaf;
    switch (removal) {
    case Removal::file:
        return remove_private_file(context, {path, kContent.size(), testing::sha256_hex(kContent)})
            .status;
    case Removal::staging_file:
        return remove_private_staging_file(context, {path, 100}).status;
    case Removal::tree:
        return remove_private_tree(context, {path, 10, 2}).status;
    }
    return invalid();
}

// Puts what `removal` removes at `p/name`.
void place(const TempTree& tree, Removal removal, const std::string& name) {
    if (removal == Removal::tree) {
        tree.make_directory("p/" + name);
        tree.write_file("p/" + name + "/inner", kContent);
    } else {
        tree.write_file("p/" + name, kContent);
    }
}

std::string deletion_name(Removal removal, const std::string& leaf) {
    switch (removal) {
    case Removal::file:
        return *deletion_name_for(
            leaf, content_deletion_detail(kContent.size(), testing::sha256_hex(kContent)));
    case Removal::staging_file:
        return *deletion_name_for(leaf, kFileDeletion);
    case Removal::tree:
        return *deletion_name_for(leaf, kDirectoryDeletion);
    }
    return {};
}

constexpr Removal kRemovals[] = {Removal::file, Removal::staging_file, Removal::tree};

TEST(PrivateRemoval, ALeafThatIsADeletionNameIsRemovedWhereItIsAndSucceeds) {
    const std::string leaf = ".bix-del-" + std::string(32, 'a');
    ASSERT_TRUE(is_deletion_name(leaf));
    for (Removal removal : kRemovals) {
        TempTree tree;
        tree.make_directory("p");
        place(tree, removal, leaf);
        EXPECT_TRUE(remove(tree, removal, leaf).ok()) << static_cast<int>(removal);
        EXPECT_FALSE(tree.exists("p/" + leaf)) << static_cast<int>(removal);
        EXPECT_TRUE(remove(tree, removal, leaf).ok()) << "retry " << static_cast<int>(removal);
    }
}

TEST(PrivateRemoval, LeftoverAtTheDeletionNameGoesFirstThenTheLeaf) {
    for (Removal removal : kRemovals) {
        for (bool leaf_present : {true, false}) {
            TempTree tree;
            tree.make_directory("p");
            const std::string leftover = deletion_name(removal, "x");
            place(tree, removal, leftover);
            if (leaf_present)
                place(tree, removal, "x");
            EXPECT_TRUE(remove(tree, removal, "x").ok()) << static_cast<int>(removal);
            EXPECT_FALSE(tree.exists("p/" + leftover)) << static_cast<int>(removal);
            EXPECT_FALSE(tree.exists("p/x")) << static_cast<int>(removal);
            EXPECT_TRUE(tree.exists("p")) << static_cast<int>(removal);
        }
    }
}

TEST(PrivateRemoval, SomethingElseAtTheDeletionNameFailsBeforeTheLeafIsTouched) {
    for (Removal removal : kRemovals) {
        TempTree tree;
        tree.make_directory("p");
        place(tree, removal, "x");
        // A directory where a file's leftover would be, a file where a tree's would be.
        const std::string leftover = deletion_name(removal, "x");
        if (removal == Removal::tree)
            tree.write_file("p/" + leftover, kContent);
        else
            tree.make_directory("p/" + leftover);
        EXPECT_FALSE(remove(tree, removal, "x").ok()) << static_cast<int>(removal);
        EXPECT_TRUE(tree.exists("p/x")) << static_cast<int>(removal);
        EXPECT_TRUE(tree.exists("p/" + leftover)) << static_cast<int>(removal);
    }
}

} // namespace
} // namespace bix::safe_path
