#pragma once

// The shared temp directory of the tests, with the spelling the common runtime's tests use.

#include "tests/support/temp_dir.h"

#include <filesystem>
#include <string>

namespace kv_common_test {

class TempDir : public kv_test::TempDir {
 public:
  std::filesystem::path path() const { return kv_test::TempDir::path(); }
  std::string file(const std::string& name) const { return *this / name; }
};

using kv_test::read_file;
using kv_test::write_file;

}  // namespace kv_common_test
