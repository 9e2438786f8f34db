#pragma once

#include <string>

namespace kv_test {

// A fresh directory under /tmp for one test. It is removed when the test passed and kept, with
// its path printed, when the test failed, so the files of a failed run can be looked at.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  std::string operator/(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

// Small file helpers for tests.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
bool file_exists(const std::string& path);

}  // namespace kv_test
