#pragma once

// Opening a file the program keeps under a fixed name (its log, the log's lock file) that an
// operator may have turned into a link, or given a second name, to keep the file elsewhere.
// Only this program's user and root are trusted to have done so: a link or a second name that
// someone else could have made would let them choose the file the program writes or locks.

#include <string>
#include <string_view>

#include <sys/types.h>

namespace kv_utils_common {

// Opens `path` with `flags` (the access mode, O_APPEND, ...), never waiting for a FIFO's other
// end, close-on-exec; a missing file is created anew with `create_mode` and `created` set.
//  - A link is followed when it and its folder are trusted: the link is this user's or root's,
//    and no one else can write the folder (its owner trusted, not writable by group or others).
//    The target is opened the same way, in a folder that must be trusted too.
//  - A file reached through a link, or one with a second name, must be a regular file of this
//    user or root, in a trusted folder.
//  - Past a link, every folder on the way to the file must be trusted, and a link on the way is
//    followed only as one under the file's name would be.
// -1 with errno on failure. A name refused by these rules gives -1 with EPERM and `refusal`
// saying why, for a warning ("it is a link in a folder others can write"). `opened`, if given,
// gets a name of the file opened: `path`, or past links a path through folders only that leads
// to it, such as "/opt/kelvanor/log/../kept/kv.log".
[[nodiscard]] int open_trusted(const std::string& path, int flags, mode_t create_mode, bool& created,
                               std::string_view& refusal, std::string* opened = nullptr);

}  // namespace kv_utils_common
