#pragma once

// The listing of a snapshot file, of which only the meta files are unpacked when a snapshot is
// only looked into.

#include <string>
#include <vector>

namespace kelvanor::module {

// The meta files at the top of a snapshot file, named as tar lists them ("./" kept), out of
// tar's listing of the whole file, sorted and each once. Lines of tar's own messages hold a '/'
// and never count.
[[nodiscard]] std::vector<std::string> top_level_meta_members(const std::string& listing);

}  // namespace kelvanor::module
