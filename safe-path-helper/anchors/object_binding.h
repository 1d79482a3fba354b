// Binding a verified name to the object behind it, and deleting exactly that object.
//
// Linux cannot unlink by descriptor, so deletion holds a descriptor of the verified object, moves
// the name to a private name in the same directory (never replacing anything), checks that the
// moved entry is the held object (else moves it back), unlinks it, and proves through the held
// descriptor's link count that exactly that object lost its link.
#pragma once

#include "platform/file_system.h"

#include <optional>
#include <string>

namespace bix::safe_path {

// A descriptor of the verified object and its stat at binding time. Kept open until the deletion
// is proven, which also keeps the inode (and its number) from being reused meanwhile.
struct BoundObject {
    UniqueFd fd;
    platform::FileStat stat;
};

// Opens the name without following links and proves, by descriptor, by the kernel's path of the
// descriptor and by the name again, that it is the regular file `expected` describes.
Result<BoundObject> bind_regular_fsref_at(int directory, const std::string& name,
                                          const platform::FileStat& expected);
// The same for an empty-or-not directory (`same_directory_identity`).
Result<BoundObject> bind_directory_at(int directory, const std::string& name,
                                      const platform::FileStat& expected);

// Whether a deletion flushes its directory itself, or leaves that to a caller deleting many
// entries of one directory (which must then flush it before reporting success).
enum class DirectorySync { now, by_caller };

// Deletes exactly the bound object at `name`. `quarantine_leaf` is the durable name to pass
// through (the name itself when the object already is there); without one a fresh random private
// name is used. A detected swap before the unlink is undone ("RACE_ROLLED_BACK") or kept
// ("RACE_PRESERVED"); a failed proof afterwards is "RACE_PRESERVED". The directory is synced.
Status delete_bound_object(int directory, const std::string& name, const BoundObject& object,
                           const std::optional<std::string>& quarantine_leaf,
                           DirectorySync sync = DirectorySync::now);

} // namespace bix::safe_path
