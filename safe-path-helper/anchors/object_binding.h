// Binding a verified name to the object behind it, and deleting exactly that object.
//
// Linux cannot unlink by descriptor, so deletion holds a descriptor of the verified object, moves
// the name to a private name in the same directory (never replacing anything), checks that the
// moved entry is the held object (else moves it back), unlinks it, and proves through the held
// descriptor's link count that exactly that object lost its link.
#pragma once

#include "platform/file_system.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace bix::safe_path {

// A descriptor of the verified object and its stat at binding time. Kept open until the deletion
// is proven, which also keeps the inode (and its number) from being reused meanwhile.
struct BoundObject {
    UniqueFd fd;
    platform::FileStat stat;
};

// Opens the name without following links and proves, by descriptor, by a second open of the
// name and by the name's stat again, that it is the regular file `expected` describes.
Result<BoundObject> bind_regular_fsref_at(int directory, const std::string& name,
                                          const platform::FileStat& expected);
// The same for an empty-or-not directory (`same_directory_identity`).
Result<BoundObject> bind_directory_at(int directory, const std::string& name,
                                      const platform::FileStat& expected);

// Whether a deletion flushes its directory itself, or leaves that to a caller deleting many
// entries of one directory (which must then flush it before reporting success).
enum class DirectorySync { now, by_caller };

// What a deletion name is derived from besides the leaf: the kind of object, and for a removal by
// content its size and digest, so that only a retry that can prove the same content finds it.
inline constexpr std::string_view kFileDeletion = "file";
inline constexpr std::string_view kDirectoryDeletion = "directory";
std::string content_deletion_detail(uint64_t size, std::string_view digest);

// ".bix-del-" and 32 lowercase hexadecimal digits.
bool is_deletion_name(std::string_view name);
// The name `leaf` is moved to right before its unlink, in the same directory: the first 32 hex
// digits of SHA-256 over `detail` and `leaf`. Derived, never random, so a run killed between the
// move and the unlink leaves the object where a retry of the same operation looks, proves it and
// finishes the removal. A leaf that already is a deletion name is deleted where it is.
Result<std::string> deletion_name_for(std::string_view leaf, std::string_view detail);

// Deletes exactly the bound object at `name`, moving it first to `deletion_leaf` (a deletion or
// durable quarantine name; the name itself when the object already is there). A detected swap
// before the unlink is undone ("RACE_ROLLED_BACK") or kept ("RACE_PRESERVED"); a failed proof
// afterwards is "RACE_PRESERVED". The directory is synced.
Status delete_bound_object(int directory, const std::string& name, const BoundObject& object,
                           const std::string& deletion_leaf,
                           DirectorySync sync = DirectorySync::now);

} // namespace bix::safe_path
