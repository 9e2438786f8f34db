#include "common/kv_utils_common.h"
#include "module/client_storage.h"
#include "tests/module/module_test_support.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <string>
#include <vector>

using namespace module_test;

namespace {

const std::string k_kvfd = "/opt/kelvanor/bin/kvfd";

class VerifyModule : public FakeModule {
 public:
  using KvModuleUniversal::run_host_command;
};

class ArchiveVerifyTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    kelvanor::module::set_tasks_directory_for_tests(dir() + "/");
    module.options_.task_id = "77";
    // The data mover is played by a script that accepts the archive when the signature file
    // holds exactly the bytes "ok"; every other command runs for real.
    kv_test::write_file(dir() + "/kvfd", "#!/bin/sh\n[ \"$(cat \"$4\")\" = ok ]\n", 0755);
    module.set_command_runner([this](const std::string& command, std::string& output) {
      commands.push_back(command);
      if (!module.reference_snapshot_directory.empty()) unpacked = files_under(module.reference_snapshot_directory);
      std::string real = command;
      if (real.rfind(k_kvfd, 0) == 0) real = dir() + "/kvfd" + real.substr(k_kvfd.size());
      return kv_utils_common::execute_command(real, output);
    });
  }
  void TearDown() override {
    kelvanor::module::set_tasks_directory_for_tests("");
    ModuleTest::TearDown();
  }

  // A key pair and a meta file signed with it; gives the signature in hex.
  std::string sign_meta() {
    std::string output;
    const std::string script = "cd '" + dir() +
                               "' && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out priv.pem"
                               " && openssl pkey -in priv.pem -pubout -out pub.pem && printf meta > meta"
                               " && openssl dgst -sha256 -sign priv.pem -out meta.sig meta && od -An -tx1 -v meta.sig"
                               " | tr -d ' \\n'";
    EXPECT_EQ(kv_utils_common::execute_command(script, output), 0) << output;
    module.options_.key_file = dir() + "/pub.pem";
    module.options_.meta_file = dir() + "/meta";
    module.options_.sign_hash = "sha256";
    return output;
  }

  std::vector<std::string> sign_files() const {
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::directory_iterator(dir()))
      if (entry.path().extension() == ".sign") names.push_back(entry.path().filename().string());
    return names;
  }

  static std::vector<std::string> files_under(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : boost::filesystem::recursive_directory_iterator(folder))
      names.push_back(boost::filesystem::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
  }

  VerifyModule module;
  std::vector<std::string> commands;
  std::vector<std::string> unpacked;  // what the checks found unpacked from a snapshot file
};

TEST_F(ArchiveVerifyTest, WriteEsignTurnsHexPairsIntoBytes) {
  // The odd last digit is dropped; a pair that is no number is skipped.
  for (const auto& [hex, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"6f6b7", "ok"}, {"zz6f6B", "ok"}, {"00ff", std::string("\0\xff", 2)}}) {
    ASSERT_TRUE(module.write_esign(hex, dir() + "/out.sign")) << hex;
    EXPECT_EQ(kv_test::read_file(dir() + "/out.sign"), bytes) << hex;
  }
  EXPECT_FALSE(module.write_esign("6f6b", dir() + "/missing/out.sign"));
  EXPECT_EQ(errors(), (std::vector<std::string>{
                          "bool KvModuleUniversal::write_esign(const string&, const string&): can't create: " + dir() +
                          "/missing/out.sign"}));
}

TEST_F(ArchiveVerifyTest, ParseEsignJson) {
  const std::string e =
      "virtual bool KvModuleUniversal::parse_esign_json(const string&, std::string&, std::string&, std::string&)";
  struct Case {
    std::string json;
    bool ok;
    std::string values, error;  // archive name|archive signature|snapshot signature
  };
  for (const Case& c : std::vector<Case>{
           {R"({"archive_name":"local-directory:1@a","archive_sign":"00","snapshot_sign":"11","x":2})", true,
            "local-directory:1@a|00|11", ""},
           {R"({"archive_sign":"00","archive_sign":12})", true, "|12|", ""},
           {"{}", false, "||", e + ": json object value is empty"},
           {"[1]", false, "||", e + ": json value is not an object"}}) {
    std::string name, archive_sign, snapshot_sign;
    EXPECT_EQ(module.parse_esign_json(c.json, name, archive_sign, snapshot_sign), c.ok) << c.json;
    EXPECT_EQ(name + "|" + archive_sign + "|" + snapshot_sign, c.values);
    EXPECT_EQ(errors().empty() ? "" : errors().back(), c.error);
  }
}

TEST_F(ArchiveVerifyTest, CheckCommandsQuoteEveryPath) {
  ASSERT_FALSE(module.check_filename_by_esing("/k/pub.pem", "sha256", "/t/a.sign", "/arch/it's", false));
  ASSERT_FALSE(module.check_filename_by_esing("/k/pub.pem", "sha512", "/t/s.sign", "/m/meta", true));
  // A digest name that is no plain word is refused without running anything.
  ASSERT_FALSE(module.check_filename_by_esing("/k", "sha256;touch x", "/s", "/m", true));
  EXPECT_EQ(commands, (std::vector<std::string>{
                          k_kvfd + " -n '/arch/it'\\''s' -g '/t/a.sign' --verify --public-key '/k/pub.pem'",
                          "/usr/bin/openssl dgst -signature '/t/s.sign' -sha512 -verify '/k/pub.pem' '/m/meta'"}));
  EXPECT_EQ(errors().at(1), ": Verification of: '/m/meta': [ failed ]");
}

// The snapshot file is only looked into: it stays, only its meta file is unpacked (the data
// mover's database and a disk image, 64 MiB unpacked, never reach the temporary folder), and
// what was unpacked goes with the run.
TEST_F(ArchiveVerifyTest, SnapshotFileVerifiesAsItsMetaFileAndStays) {
  const std::string meta_sign = sign_meta();
  std::string output;
  const std::string pack = "cd '" + dir() + "' && mkdir -p s/leveldb && cp meta s/kv-arch.meta" +
                           " && cp meta s/leveldb/older.meta && head -c 64M /dev/zero > s/disk.img" +
                           " && tar czf kv-arch.snap -C s .";
  ASSERT_EQ(kv_utils_common::execute_command(pack, output), 0) << output;
  module.options_.operation = VerifyInClientDefinedStorage;
  module.options_.meta_file = dir() + "/kv-arch.snap";
  module.options_.esign = R"({"archive_name":"local-directory:3@/store/arch","archive_sign":"6f6b","snapshot_sign":")" +
                          meta_sign + "\"}";
  EXPECT_EQ(module.run(), 0u);
  EXPECT_EQ(out(), "VERIFICATION RESULT:Trusted\n");
  EXPECT_EQ(commands.at(0), k_kvfd + " -n '/store/arch' -g '" + dir() + "/task_77.archive.sign' --verify --public-key '" +
                                dir() + "/pub.pem'");
  EXPECT_TRUE(sign_files().empty());
  EXPECT_EQ(unpacked, std::vector<std::string>{"kv-arch.meta"});
  EXPECT_TRUE(boost::filesystem::exists(module.options_.meta_file));
  EXPECT_FALSE(boost::filesystem::exists(module.reference_snapshot_directory));
}

TEST_F(ArchiveVerifyTest, WrongStatusStillRunsBothChecksAndSucceeds) {
  const std::string meta_sign = sign_meta();
  // A wrong archive signature, then a wrong meta signature (first byte changed).
  const std::string bad_meta = (meta_sign.substr(0, 2) == "30" ? "31" : "30") + meta_sign.substr(2);
  for (const auto& [archive_sign, snapshot_sign] :
       std::vector<std::pair<std::string, std::string>>{{"6e6f", meta_sign}, {"6f6b", bad_meta}}) {
    commands.clear();
    module.options_.esign = R"({"archive_name":"local-directory:3@/a","archive_sign":")" + archive_sign +
                            R"(","snapshot_sign":")" + snapshot_sign + "\"}";
    EXPECT_TRUE(module.verify_in_client_defined_storage());
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_TRUE(sign_files().empty());
  }
  EXPECT_EQ(out(), "VERIFICATION RESULT:Wrong status\nVERIFICATION RESULT:Wrong status\n");
}

// Everything before the result line fails the operation, with no result line.
TEST_F(ArchiveVerifyTest, FailuresBeforeTheChecksGiveNoResult) {
  const std::string v = "virtual bool KvModuleUniversal::verify_in_client_defined_storage()";
  module.options_.esign = R"({"archive_name":"s3:1@a","archive_sign":"00"})";
  EXPECT_FALSE(module.verify_in_client_defined_storage());
  EXPECT_EQ(errors().back(), v + ": unsupported client defined storage here: s3:1@a");
  module.options_.esign = "{}";
  EXPECT_FALSE(module.verify_in_client_defined_storage());
  EXPECT_EQ(errors().at(2), v + ": can't parse json: {}");
  // The archive's signature file goes when the snapshot's cannot be written.
  boost::filesystem::create_directory(dir() + "/task_77.snapshot.sign");
  module.options_.esign = R"({"archive_name":"local-directory:1@a","archive_sign":"00","snapshot_sign":"11"})";
  EXPECT_FALSE(module.verify_in_client_defined_storage());
  EXPECT_FALSE(kv_test::file_exists(dir() + "/task_77.archive.sign"));
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(out(), "");
}

}  // namespace
