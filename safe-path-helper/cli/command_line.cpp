#include "cli/command_line.h"

#include "anchors/root.h"
#include "cli/arguments.h"
#include "cli/report.h"
#include "cli/requests.h"
#include "mutations/operations.h"
#include "platform/file_system.h"
#include "private_trees/operations.h"
#include "recovery/bookmark_parent.h"
#include "recovery/operations.h"

#include <string_view>

namespace bix::safe_path {
namespace {

constexpr size_t kPrologueArguments = 6;

// Parses the operands into the operation's request, then runs the operation with it.
using Dispatch = OperationResult (*)(const OperationContext& context, Operands operands);

template <auto parse, auto run>
OperationResult parse_then_run(const OperationContext& context, Operands operands) {
    auto request = parse(operands);
    if (!request)
        return request.status();
    return run(context, std::move(*request));
}

struct OperationEntry {
    std::string_view name;
    size_t argument_count;
    Dispatch dispatch;
};

// Each operation is selected by its name and its exact argument count, program name included.
constexpr OperationEntry kOperations[] = {
    {"bookmark-parent", 7, parse_then_run<parse_path, bookmark_parent>},
    {"ensure-dir", 7, parse_then_run<parse_path, ensure_dir>},
    {"ensure-private-dir", 7, parse_then_run<parse_path, ensure_private_dir>},
    {"create-file", 9, parse_then_run<parse_create_file, create_file>},
    {"create-private-file", 8, parse_then_run<parse_create_private_file, create_file>},
    {"rename-excl", 13, parse_then_run<parse_rename_excl, rename_excl>},
    {"link-excl", 18, parse_then_run<parse_link_excl, link_excl>},
    {"rename-swap", 18, parse_then_run<parse_rename_swap, rename_swap>},
    {"unlink-checked", 17, parse_then_run<parse_unlink_checked, unlink_checked>},
    {"recover-unlink", 32, parse_then_run<parse_recover_unlink, recover_unlink>},
    {"recover-rename", 26, parse_then_run<parse_recover_rename, recover_rename>},
    {"recover-swap", 34, parse_then_run<parse_recover_swap, recover_swap>},
    {"recover-link", 38, parse_then_run<parse_recover_link, recover_link>},
    {"create-private-file-staged", 9,
     parse_then_run<parse_staged_create, create_private_file_staged>},
    {"read-private-file", 8, parse_then_run<parse_read_private_file, read_private_file>},
    {"read-external-file", 11, parse_then_run<parse_read_external_file, read_external_file>},
    {"remove-private-file", 9, parse_then_run<parse_remove_private_file, remove_private_file>},
    {"remove-private-staging-file", 8,
     parse_then_run<parse_remove_private_staging_file, remove_private_staging_file>},
    {"remove-private-tree", 9, parse_then_run<parse_remove_private_tree, remove_private_tree>},
    {"quarantine-private-tree", 8,
     parse_then_run<parse_quarantine_private_tree, quarantine_private_tree>},
};

const OperationEntry* find_operation(std::string_view name, size_t count) {
    for (const auto& entry : kOperations)
        if (entry.name == name && entry.argument_count == count)
            return &entry;
    return nullptr;
}

int report_invalid_protocol(int output_fd) {
    const std::string line = failure_line("INVALID_PROTOCOL", EINVAL);
    (void)platform::write_all(output_fd, line.data(), line.size());
    return kExitInvalidProtocol;
}

int report_failure(int output_fd, const std::string& code, int error) {
    const std::string line = failure_line(code, error);
    (void)platform::write_all(output_fd, line.data(), line.size());
    return kExitFailure;
}

int report_failure(int output_fd, const Status& status) {
    return report_failure(output_fd, failure_code(status), status.error());
}

// Prints the success line; a read's bytes follow its size line. A write failing part way through
// a read ends with the failure line after whatever was written: the exit status is the authority.
int report_success(int output_fd, const OperationResult::Report& report) {
    const std::string line = success_line(report);
    Status written = platform::write_all(output_fd, line.data(), line.size());
    const auto* content = std::get_if<ContentReport>(&report);
    if (content == nullptr)
        return written.ok() ? kExitSuccess : kExitFailure;
    if (written.ok())
        written = platform::write_all(output_fd, content->bytes.data(), content->bytes.size());
    return written.ok() ? kExitSuccess : report_failure(output_fd, written);
}

} // namespace

int run_command_line(std::span<const std::string> arguments, int input_fd, int output_fd) {
    if (arguments.size() < kPrologueArguments)
        return report_invalid_protocol(output_fd);
    auto device = parse_number(arguments[3]);
    auto inode = parse_number(arguments[4]);
    auto uid = parse_number(arguments[5]);
    if (!device || !inode || !uid)
        return report_invalid_protocol(output_fd);
    auto root = open_root(arguments[2], DirectoryIdentity{*device, *inode, *uid});
    if (!root)
        return report_failure(output_fd,
                              root.error() == ESTALE ? "ROOT_IDENTITY_CHANGED"
                                                     : failure_code(root.status()),
                              root.error());
    const OperationEntry* entry = find_operation(arguments[1], arguments.size());
    if (entry == nullptr)
        return report_failure(output_fd, invalid());
    const OperationResult result =
        entry->dispatch(OperationContext{*root, input_fd}, arguments.subspan(kPrologueArguments));
    if (!result.status.ok())
        return report_failure(output_fd, result.status);
    return report_success(output_fd, result.report);
}

} // namespace bix::safe_path
