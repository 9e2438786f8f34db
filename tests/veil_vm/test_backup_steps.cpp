// The saved-file writer of the backup: a file is reported whole only when it is.
#include "veil_vm/backup_steps.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using veil_vm_backup::save_text_file;
using veil_vm_backup::saved_file;

TEST(SaveTextFile, ReplacesTheContentByteForByte) {
  kv_test::TempDir dir;
  kv_test::write_file(dir / "a.config", "an older and longer content");
  constexpr char k_text[] = "22 serialization::archive 19\n\0binary\r\n";
  const std::string text(k_text, sizeof k_text - 1);
  EXPECT_EQ(save_text_file(dir / "a.config", text), saved_file::written);
  EXPECT_EQ(kv_test::read_file(dir / "a.config"), text);
}

TEST(SaveTextFile, TellsAFileThatCannotBeCreatedFromOneCutShort) {
  kv_test::TempDir dir;
  EXPECT_EQ(save_text_file(dir / "missing/a.config", "text"), saved_file::not_created);
  // /dev/full accepts the open and refuses every write, as a full disk does.
  EXPECT_EQ(save_text_file("/dev/full", "short"), saved_file::not_written);
  EXPECT_EQ(save_text_file("/dev/full", std::string(1 << 20, 'x')), saved_file::not_written);
}

}  // namespace
