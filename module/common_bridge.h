#pragma once

// Two helpers of the common runtime that the framework needs before common/kv_version.h is in
// the tree. Callers use only these names; once the common runtime provides
// kelvanor::as_quoted and kelvanor::version_current, the bodies in common_bridge.cpp forward
// to them (or the callers switch and this pair of files goes).

#include <ostream>
#include <string>

namespace kelvanor::module {

// The text in double quotes, each double quote and backslash in it preceded by a backslash:
// kelvanor::as_quoted(text, '"', '\\').
std::string quoted(const std::string& text);

// Writes the framework version (kelvanor::version_current, e.g. 2.1.0) without a line end.
void write_framework_version(std::ostream& out);

}  // namespace kelvanor::module
