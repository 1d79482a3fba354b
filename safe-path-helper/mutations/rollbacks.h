// Undoing a mutation whose check afterwards failed. Each returns whether it fully succeeded;
// none ever removes a directory or an entry it has not just identified.
#pragma once

#include "mutations/primitives.h"

namespace bix::safe_path {

// Deletes the file just created at `at`, identified through the creating descriptor.
bool rollback_created_file(NameAt at, int created_fd);
// Moves the regular file at `target` back to the free `source` name.
bool rollback_renamed_entry(NameAt source, NameAt target);
// Exchanges two regular files back.
bool rollback_swapped_entries(NameAt a, NameAt b);
// Moves the extra link at `added` to `rollback`, then deletes it through `quarantine` after
// verifying its content (link count one above the identity's).
bool rollback_linked_entry(NameAt existing, NameAt added, NameAt rollback, NameAt quarantine,
                           const ContentIdentity& identity);
// "RACE_ROLLED_BACK" when the rollback succeeded, else "RACE_PRESERVED".
Status rolled_back_or_preserved(bool rolled_back);

} // namespace bix::safe_path
