#include "cli/command_line.h"

#include "anchors/root.h"
#include "cli/arguments.h"
#include "cli/operation.h"
#include "cli/operations.h"
#include "cli/report.h"
#include "platform/file_system.h"

#include <string_view>

namespace bix::safe_path {
namespace {

constexpr size_t kPrologueArguments = 6;

struct OperationEntry {
    std::string_view name;
    size_t argument_count;
    Operation run;
};

// Each operation is selected by its name and its exact argument count, program name included.
constexpr OperationEntry kOperations[] = {
    {"bookmark-parent", 7, bookmark_parent},
    {"ensure-dir", 7, ensure_dir},
    {"ensure-private-dir", 7, ensure_private_dir},
    {"create-file", 9, create_file},
    {"create-private-file", 8, create_private_file},
    {"rename-excl", 13, rename_excl},
    {"link-excl", 18, link_excl},
    {"rename-swap", 18, rename_swap},
    {"unlink-checked", 17, unlink_checked},
    {"recover-unlink", 32, recover_unlink},
    {"recover-rename", 26, recover_rename},
    {"recover-swap", 34, recover_swap},
    {"recover-link", 38, recover_link},
    {"create-private-file-staged", 9, create_private_file_staged},
    {"read-private-file", 8, read_private_file},
    {"read-external-file", 11, read_external_file},
    {"remove-private-file", 9, remove_private_file},
    {"remove-private-staging-file", 8, remove_private_staging_file},
    {"remove-private-tree", 9, remove_private_tree},
    {"quarantine-private-tree", 8, quarantine_private_tree},
};

const OperationEntry* find_operation(std::string_view name, size_t count) {
    for (const auto& entry : kOperations)
        if (entry.name == name && entry.argument_count == count)
            return &entry;
    return nullptr;
}

int report_failure(int output_fd, const Status& status) {
    const std::string line = failure_line(failure_code(status), status.error());
    (void)platform::write_all(output_fd, line.data(), line.size());
    return kExitFailure;
}

} // namespace

int run_command_line(std::span<const std::string> arguments, int input_fd, int output_fd) {
    if (arguments.size() < kPrologueArguments) {
        const std::string line = failure_line("INVALID_PROTOCOL", EINVAL);
        (void)platform::write_all(output_fd, line.data(), line.size());
        return kExitInvalidProtocol;
    }
    auto device = parse_number(arguments[3]);
    auto inode = parse_number(arguments[4]);
    auto uid = parse_number(arguments[5]);
    if (!device || !inode || !uid) {
        const std::string line = failure_line("INVALID_PROTOCOL", EINVAL);
        (void)platform::write_all(output_fd, line.data(), line.size());
        return kExitInvalidProtocol;
    }
    auto root = open_root(arguments[2], DirectoryIdentity{*device, *inode, *uid});
    if (!root) {
        const std::string code =
            root.error() == ESTALE ? "ROOT_IDENTITY_CHANGED" : failure_code(root.status());
        const std::string line = failure_line(code, root.error());
        (void)platform::write_all(output_fd, line.data(), line.size());
        return kExitFailure;
    }
    const OperationEntry* entry = find_operation(arguments[1], arguments.size());
    if (entry == nullptr)
        return report_failure(output_fd, invalid());
    OperationResult result = entry->run(OperationContext{*root, arguments, input_fd, output_fd});
    if (!result.status.ok())
        return report_failure(output_fd, result.status);
    if (!result.printed) {
        const std::string line = result.success_line.empty() ? ok_line() : result.success_line;
        if (!platform::write_all(output_fd, line.data(), line.size()).ok())
            return kExitFailure;
    }
    return kExitSuccess;
}

} // namespace bix::safe_path
