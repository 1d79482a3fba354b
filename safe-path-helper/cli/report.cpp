#include "cli/report.h"

#include <array>
#include <utility>
#include <variant>

namespace bix::safe_path {
namespace {

constexpr std::array<std::pair<int, const char*>, 11> kErrnoNames = {{
    {EPERM, "EPERM"},
    {ENOENT, "ENOENT"},
    {E2BIG, "E2BIG"},
    {EACCES, "EACCES"},
    {EEXIST, "EEXIST"},
    {EXDEV, "EXDEV"},
    {ENOTDIR, "ENOTDIR"},
    {EISDIR, "EISDIR"},
    {EINVAL, "EINVAL"},
    {ELOOP, "ELOOP"},
    {ENOTEMPTY, "ENOTEMPTY"},
}};

// GCC 12 at -O2 and above reports a false -Wrestrict inside libstdc++'s inlined
// operator+(const char*, std::string&&) (GCC bug 105329); the concatenation below is well defined.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
std::string quoted(uint64_t value) {
    return "\"" + std::to_string(value) + "\"";
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

} // namespace

std::string failure_code(const Status& status) {
    if (status.race_outcome() == RaceOutcome::rolled_back)
        return "RACE_ROLLED_BACK";
    if (status.race_outcome() == RaceOutcome::preserved)
        return "RACE_PRESERVED";
    if (status.error() == ESTALE)
        return "IDENTITY_CHANGED";
    for (const auto& [number, name] : kErrnoNames)
        if (number == status.error())
            return name;
    return "FILESYSTEM_ERROR";
}

std::string failure_line(const std::string& code, int error) {
    return "{\"ok\":false,\"code\":\"" + code + "\",\"errno\":" + std::to_string(error) + "}\n";
}

namespace {

std::string ok_line() {
    return "{\"ok\":true}\n";
}

std::string directory_line(const DirectoryReport& directory) {
    return "{\"ok\":true,\"device\":" + quoted(directory.device) +
           ",\"inode\":" + quoted(directory.inode) + ",\"uid\":" + quoted(directory.uid) +
           ",\"mode\":" + quoted(directory.mode) + "}\n";
}

std::string bookmark_line(const BookmarkReport& bookmark) {
    return "{\"ok\":true,\"bookmark\":\"" + bookmark.hex +
           "\",\"device\":" + quoted(bookmark.device) + ",\"inode\":" + quoted(bookmark.inode) +
           ",\"uid\":" + quoted(bookmark.uid) + "}\n";
}

// Followed by exactly that many bytes.
std::string size_line(const ContentReport& content) {
    return "{\"ok\":true,\"size\":" + quoted(content.bytes.size()) + "}\n";
}

template <class... F> struct Overloaded : F... { using F::operator()...; };
// Spelled out for compilers that do not deduce aggregate templates (clang 14).
template <class... F> Overloaded(F...) -> Overloaded<F...>;

} // namespace

std::string success_line(const OperationResult::Report& report) {
    return std::visit(Overloaded{[](std::monostate) { return ok_line(); },
                                 [](const DirectoryReport& r) { return directory_line(r); },
                                 [](const BookmarkReport& r) { return bookmark_line(r); },
                                 [](const ContentReport& r) { return size_line(r); }},
                      report);
}

} // namespace bix::safe_path
