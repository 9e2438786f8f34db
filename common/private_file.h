#pragma once

// Files a run writes for its own use into a folder that other local users may write to as well
// (the operation folder): created anew, readable by their owner only, and never written through
// whatever someone else has put under the name; and the folders for such files.

#include <string>
#include <string_view>

namespace kv_utils_common {

enum class private_write {
  written,      // the whole text is in the file
  name_taken,   // a link, a directory, a device or another user's file holds the name; left alone
  not_created,  // the file could not be created (no such folder, no permission, ...)
  not_written,  // a write or the close failed: the file may be cut short
};

// For an Error line about a name that was `private_write::name_taken`.
inline constexpr std::string_view k_name_taken_text =
    "the name is held by a link or by a file this program did not make, which is left as it is";

// Writes `text` into a new file at `path` of mode 0600, whatever the umask. A file under the
// name that an earlier run may have left (a regular file of this user with one link) is removed
// first; with `append` it is kept and `text` goes to its end. Anything else under the name is
// neither followed, written nor removed.
[[nodiscard]] private_write write_private_file(const std::string& path, std::string_view text, bool append = false);

// Creates a new file at `path` of mode 0600, whatever the umask, and returns its descriptor
// (close-on-exec), for this run to write or to hand to another program (tar, say), which must
// never open the name itself. A file under the name that an earlier run may have left is removed
// first, as by write_private_file. -1 with errno on failure: EEXIST when anything else holds the
// name, which is left as it is.
[[nodiscard]] int create_private_file(const std::string& path);

// Frees the name `path`: a file an earlier run left is removed. 0 when the name is free; EEXIST
// when it is held by anything else, which is left as it is; else the errno of the removal.
[[nodiscard]] int free_own_name(const std::string& path);

// Creates the folder `path` of mode 0700 for this run's files, or keeps a folder of this user an
// earlier run left there, made private again if its mode had let others in. Anything else under
// the name (a link above all, never followed) is left as it is. Throws
// boost::filesystem::filesystem_error naming the folder on failure.
void make_private_directory(const std::string& path);

}  // namespace kv_utils_common
