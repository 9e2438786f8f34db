#include "common/kv_utils_common.h"
#include "module/client_storage.h"
#include "tests/module/module_test_support.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

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

  VerifyModule module;
  std::vector<std::string> commands;
};

TEST_F(ArchiveVerifyTest, WriteEsignTurnsHexPairsIntoBytes) {
  struct Case {
    std::string hex;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"6f6b", "ok"},
      {"6f6b7", "ok"},                 // the odd last digit is dropped
      {"zz6f6B", "ok"},                // a pair that is no number is skipped
      {"", ""},
      {"00ff", std::string("\0\xff", 2)},
  };
  for (const auto& c : cases) {
    const std::string path = dir() + "/out.sign";
    ASSERT_TRUE(module.write_esign(c.hex, path)) << c.hex;
    EXPECT_EQ(kv_test::read_file(path), c.bytes) << c.hex;
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
    std::string archive_name, archive_sign, snapshot_sign, error;
  };
  const std::vector<Case> cases = {
      {R"({"archive_name":"local-directory:1@a","archive_sign":"00","snapshot_sign":"11","x":2})", true,
       "local-directory:1@a", "00", "11", ""},
      {R"({"archive_sign":"00","archive_sign":"22"})", true, "", "22", "", ""},
      {R"({"archive_sign":12})", true, "", "12", "", ""},
      {"{}", false, "", "", "", e + ": json object value is empty"},
      {"[1]", false, "", "", "", e + ": json value is not an object"},
  };
  for (const auto& c : cases) {
    std::string name, archive_sign, snapshot_sign;
    const size_t errors_before = errors().size();
    EXPECT_EQ(module.parse_esign_json(c.json, name, archive_sign, snapshot_sign), c.ok) << c.json;
    EXPECT_EQ(name, c.archive_name);
    EXPECT_EQ(archive_sign, c.archive_sign);
    EXPECT_EQ(snapshot_sign, c.snapshot_sign);
    if (!c.error.empty()) {
      EXPECT_EQ(errors().back(), c.error);
    }
    if (c.ok) {
      EXPECT_EQ(errors().size(), errors_before);
    }
  }
  std::string a, b, c;
  EXPECT_FALSE(module.parse_esign_json("{nonsense", a, b, c));
  EXPECT_EQ(errors().back().rfind(e + ": ", 0), 0u);
}

TEST_F(ArchiveVerifyTest, CheckCommandsQuoteEveryPath) {
  ASSERT_FALSE(module.check_filename_by_esing("/k/pub.pem", "sha256", "/t/a.sign", "/arch/it's", false));
  ASSERT_FALSE(module.check_filename_by_esing("/k/pub.pem", "sha512", "/t/s.sign", "/m/meta", true));
  EXPECT_EQ(commands, (std::vector<std::string>{
                          k_kvfd + " -n '/arch/it'\\''s' -g '/t/a.sign' --verify --public-key '/k/pub.pem'",
                          "/usr/bin/openssl dgst -signature '/t/s.sign' -sha512 -verify '/k/pub.pem' '/m/meta'"}));
  EXPECT_EQ(errors().back(), ": Verification of: '/m/meta': [ failed ]");
}

TEST_F(ArchiveVerifyTest, DigestNameThatIsNoPlainWordIsRefusedWithoutRunning) {
  EXPECT_FALSE(module.check_filename_by_esing("/k", "sha256;touch x", "/s", "/m", true));
  EXPECT_TRUE(commands.empty());
}

TEST_F(ArchiveVerifyTest, TrustedWhenBothSignaturesVerify) {
  const std::string meta_sign = sign_meta();
  module.options_.esign = R"({"archive_name":"local-directory:3@/store/arch","archive_sign":"6f6b","snapshot_sign":")" +
                          meta_sign + "\"}";
  EXPECT_TRUE(module.verify_in_client_defined_storage());
  EXPECT_EQ(out(), "VERIFICATION RESULT:Trusted\n");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], k_kvfd + " -n '/store/arch' -g '" + dir() + "/task_77.archive.sign' --verify --public-key '" +
                             dir() + "/pub.pem'");
  EXPECT_TRUE(sign_files().empty());
}

// The snapshot file is only looked into: it stays, and what was unpacked goes with the run.
TEST_F(ArchiveVerifyTest, SnapshotFileVerifiesAsItsMetaFileAndStays) {
  const std::string meta_sign = sign_meta();
  std::string output;
  ASSERT_EQ(kv_utils_common::execute_command("cd '" + dir() + "' && mkdir s && cp meta s/kv-arch.meta && tar czf " +
                                                 "kv-arch.snap -C s .", output), 0) << output;
  module.options_.operation = VerifyInClientDefinedStorage;
  module.options_.meta_file = dir() + "/kv-arch.snap";
  module.options_.esign = R"({"archive_name":"local-directory:3@/store/arch","archive_sign":"6f6b","snapshot_sign":")" +
                          meta_sign + "\"}";
  EXPECT_EQ(module.run(), 0u);
  EXPECT_EQ(out(), "VERIFICATION RESULT:Trusted\n");
  EXPECT_TRUE(boost::filesystem::exists(module.options_.meta_file));
  EXPECT_FALSE(boost::filesystem::exists("/kv-arch.snap_dir"));
  EXPECT_FALSE(boost::filesystem::exists(module.reference_snapshot_directory));
}

TEST_F(ArchiveVerifyTest, WrongStatusStillRunsBothChecksAndSucceeds) {
  const std::string meta_sign = sign_meta();
  struct Case {
    std::string archive_sign, snapshot_sign;
  };
  // A wrong archive signature, then a wrong meta signature (first byte changed).
  const std::string bad_meta = (meta_sign.substr(0, 2) == "30" ? "31" : "30") + meta_sign.substr(2);
  for (const Case& c : {Case{"6e6f", meta_sign}, Case{"6f6b", bad_meta}}) {
    commands.clear();
    module.options_.esign = R"({"archive_name":"local-directory:3@/a","archive_sign":")" + c.archive_sign +
                            R"(","snapshot_sign":")" + c.snapshot_sign + "\"}";
    EXPECT_TRUE(module.verify_in_client_defined_storage());
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_TRUE(sign_files().empty());
  }
  EXPECT_EQ(out(), "VERIFICATION RESULT:Wrong status\nVERIFICATION RESULT:Wrong status\n");
}

TEST_F(ArchiveVerifyTest, OnlyLocalDirectoryArchivesAreVerified) {
  const std::string v = "virtual bool KvModuleUniversal::verify_in_client_defined_storage()";
  for (const std::string name : {"s3:1@a", "default:1@a", "local-directory:x@a"}) {
    module.options_.esign = R"({"archive_name":")" + name + R"(","archive_sign":"00"})";
    EXPECT_FALSE(module.verify_in_client_defined_storage()) << name;
    EXPECT_EQ(errors().back(), v + ": unsupported client defined storage here: " + name);
  }
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(out(), "");
}

TEST_F(ArchiveVerifyTest, EmptyJsonFailsWithoutResult) {
  module.options_.esign = "{}";
  EXPECT_FALSE(module.verify_in_client_defined_storage());
  const std::vector<std::string> errs = errors();
  ASSERT_EQ(errs.size(), 3u);
  EXPECT_EQ(errs[1], "virtual bool KvModuleUniversal::verify_in_client_defined_storage(): can't parse json: {}");
  EXPECT_EQ(out(), "");
}

TEST_F(ArchiveVerifyTest, UnwritableSnapshotSignatureRemovesTheArchiveOne) {
  boost::filesystem::create_directory(dir() + "/task_77.snapshot.sign");  // cannot be opened as a file
  module.options_.esign = R"({"archive_name":"local-directory:1@a","archive_sign":"00","snapshot_sign":"11"})";
  EXPECT_FALSE(module.verify_in_client_defined_storage());
  EXPECT_FALSE(kv_test::file_exists(dir() + "/task_77.archive.sign"));
  EXPECT_TRUE(commands.empty());
  EXPECT_EQ(out(), "");
}

}  // namespace
