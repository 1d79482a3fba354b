// Checked move, swap, delete and hardening primitives. None follows a symbolic link; each
// verifies the entries before and after it changes them.
#pragma once

#include "anchors/identity.h"
#include "anchors/object_binding.h"

#include <functional>
#include <string>

namespace bix::safe_path {

// A directory descriptor and a name inside it.
struct NameAt {
    int directory;
    const std::string& name;
};

// Renames a regular file matching `expected` to an absent target without replacing anything;
// a failed check afterwards moves it back when that is safe, and reports ESTALE.
Status move_regular_checked(NameAt from, NameAt to, const platform::FileStat& expected);
// Exchanges two regular files; a failed check afterwards swaps them back when both are regular.
Status swap_regular_checked(NameAt a, NameAt b, const platform::FileStat& expected_a,
                            const platform::FileStat& expected_b);
// Moves a file to a durable quarantine name in the same directory and syncs both directories.
Status move_to_durable_quarantine(NameAt from, NameAt quarantine,
                                  const platform::FileStat& expected);
// Deletes exactly the regular file `expected` describes, through its deletion name.
Status delete_regular_checked(NameAt at, const platform::FileStat& expected,
                              DirectorySync sync = DirectorySync::now);
// What a single-link regular file left at a deletion name must show before a retry deletes it.
using PendingFileProof = std::function<bool(const platform::FileStat&)>;
// Finishes the deletion of `leaf` that an earlier run began with `delete_regular_checked`: a
// single-link regular file at its deletion name that `proven` accepts is deleted there. Success
// when nothing is pending; ESTALE (nothing changed) when something else holds that name.
Status finish_pending_file_deletion(int directory, const std::string& leaf,
                                    const PendingFileProof& proven);
// Deletes the file at a durable quarantine name after verifying its whole content twice more.
Status delete_exact_regular_content_checked(NameAt at, const ContentIdentity& identity);
// Verifies, moves to the quarantine name, then deletes with the content checks above.
Status delete_regular_content_checked(NameAt at, NameAt quarantine,
                                      const ContentIdentity& identity);
// A directory on the root's device and mount, owned by the root's uid, made exactly 0700.
Status harden_private_directory(int fd, const platform::FileStat& root_stat);
// After a failed check, moves a regular file at `at` back to `other` when that name is free.
void restore_regular_after_failed_content_check(NameAt at, NameAt other);
// Syncs both directories (once when both descriptors name the same directory).
Status sync_directories(int first, int second);

} // namespace bix::safe_path
