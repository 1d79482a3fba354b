// What an operation hands back to the command line: its status and, on success, what the result
// line reports. The command line alone formats and writes it.
#pragma once

#include "platform/page_buffer.h"
#include "platform/status.h"

#include <cstdint>
#include <string>
#include <variant>

namespace bix::safe_path {

// The directory an `ensure-dir` or `ensure-private-dir` left at the path.
struct DirectoryReport {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t uid = 0;
    uint64_t mode = 0;
};

// A proven bookmark (lowercase hex) and the identity of the directory it records.
struct BookmarkReport {
    std::string hex;
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t uid = 0;
};

// The bytes a read verified; printed after a size line.
struct ContentReport {
    platform::ContentBuffer bytes;
};

// The status, plus what a success reports beyond the ok line (nothing: `std::monostate`).
struct OperationResult {
    using Report = std::variant<std::monostate, DirectoryReport, BookmarkReport, ContentReport>;

    Status status;
    Report report;

    OperationResult(Status s) : status(s) {}
    template <class T> static OperationResult success_with(T report) {
        OperationResult result{Status::success()};
        result.report = std::move(report);
        return result;
    }
};

} // namespace bix::safe_path
