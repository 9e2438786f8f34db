#include "module/client_storage.h"

#include "crypto/kuznyechik.h"
#include "crypto/string_crypt.h"
#include "tests/module/module_test_support.h"
#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace module_test;

namespace {

using Entries = std::vector<std::pair<int, std::string>>;
using Info = KvModuleUniversal::ClientDefinedStorageInfo;
using ArchiveInfo = KvModuleUniversal::ClientDefinedArchiveInfo;

const std::string k_task = "4711";
const std::string k_secret = "b7f3c1d2e9a84f56b7f3c1d2e9a84f56";

bool operator==(const Info& a, const Info& b) { return a.type == b.type && a.id == b.id && a.value == b.value; }

// A module that accepts the storage types it is told to, in autonomous mode.
class StorageModule : public FakeModule {
 public:
  std::vector<int> accepted;
  using KvModuleUniversal::client_defined_storages;

  bool check_supported_client_defined_storage(int type) override {
    return std::find(accepted.begin(), accepted.end(), type) != accepted.end();
  }
};

class ClientStorageTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    m_tasks = dir() + "/tasks";
    boost::filesystem::create_directories(m_tasks);
    kelvanor::module::set_tasks_directory_for_tests(m_tasks);
  }
  void TearDown() override {
    kelvanor::module::set_tasks_directory_for_tests("");
    ModuleTest::TearDown();
  }

  void write_secret(const std::string& secret) const {
    kv_test::write_file(kelvanor::module::task_secret_path(k_task), secret);
  }
  void write_methods(const std::string& plain, const std::string& secret = k_secret) const {
    kv_test::write_file(kelvanor::module::client_defined_storages_path(k_task),
                        kelvanor::module::client_defined_storages_cipher(plain, secret));
  }
  std::vector<std::string> debug() const { return log_at("Debug"); }
  std::vector<std::string> infos() const { return log_at("Info"); }

  std::string m_tasks;
};

const std::string k_record_signature =
    "static bool KvModuleUniversal::split_client_defined_storage_record(const string&, "
    "KvModuleUniversal::ClientDefinedStorageInfo&)";
const std::string k_load_signature = "bool KvModuleUniversal::load_client_defined_storages()";
const std::string k_json_signature =
    "bool KvModuleUniversal::parse_json_of_client_defined_storage(const string&, "
    "std::vector<std::pair<int, std::__cxx11::basic_string<char> > >&)";

// --- Task files and their cipher ---

TEST_F(ClientStorageTest, TaskFilesLieInTheTasksFolder) {
  EXPECT_EQ(kelvanor::module::tasks_directory(), m_tasks + "/");
  EXPECT_EQ(kelvanor::module::task_secret_path("T1"), m_tasks + "//task_secret_T1");
  EXPECT_EQ(kelvanor::module::client_defined_storages_path("T1"), m_tasks + "/T1.client_defined_storages");
  kelvanor::module::set_tasks_directory_for_tests("");
  EXPECT_EQ(kelvanor::module::task_secret_path("T1"), "/opt/kelvanor/var/tasks//task_secret_T1");
  EXPECT_EQ(kelvanor::module::client_defined_storages_path("T1"), "/opt/kelvanor/var/tasks/T1.client_defined_storages");
}

// Counter mode written out: the key is the secret padded with zero bytes, the counter block the
// pass phrase's first two bytes and zeros, counted up per block.
TEST_F(ClientStorageTest, CipherIsKuznyechikCounterModeUnderTheSecret) {
  unsigned char key[32] = {};
  std::memcpy(key, "short", 5);
  cppcrypto::kuznyechik cipher;
  ASSERT_TRUE(cipher.init(key, cppcrypto::block_cipher::encryption));
  const std::string plain(40, 'p');
  std::string expected = plain;
  for (unsigned char block = 0; block < 3; ++block) {
    unsigned char counter[16] = {};
    std::memcpy(counter, kv_utils_common::server::k_pass_phrase, 2);
    counter[15] = block;
    unsigned char keystream[16];
    cipher.encrypt_block(counter, keystream);
    for (size_t i = block * 16u; i < std::min<size_t>(plain.size(), block * 16u + 16); ++i)
      expected[i] = static_cast<char>(expected[i] ^ keystream[i % 16]);
  }
  EXPECT_EQ(kelvanor::module::client_defined_storages_cipher(plain, "short"), expected);
  EXPECT_EQ(kelvanor::module::client_defined_storages_cipher(expected, "short"), plain);
}

TEST_F(ClientStorageTest, SecretIsCutToTheKeySize) {
  const std::string data = "{\"id\":1,\"method\":{}}";
  EXPECT_EQ(kelvanor::module::client_defined_storages_cipher(data, k_secret + "ignored"),
            kelvanor::module::client_defined_storages_cipher(data, k_secret));
  EXPECT_NE(kelvanor::module::client_defined_storages_cipher(data, k_secret.substr(0, 31)),
            kelvanor::module::client_defined_storages_cipher(data, k_secret));
}

// --- One record ---

struct RecordCase {
  const char* name;
  std::string record;
  bool accepted;
  Info info;          // when accepted
  std::string error;  // the error line when refused
};

class StorageRecord : public ModuleTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(StorageRecord, IsSplitOrRefusedWithItsReason) {
  const RecordCase& c = GetParam();
  Info info;
  EXPECT_EQ(KvModuleUniversal::split_client_defined_storage_record(c.record, info), c.accepted);
  if (c.accepted) {
    EXPECT_TRUE(info == c.info) << info.type << " " << info.id << " " << info.value;
    EXPECT_EQ(errors(), std::vector<std::string>{});
  } else {
    EXPECT_EQ(errors(), std::vector<std::string>{k_record_signature + ": " + c.error});
  }
}

const std::string k_bad_id = R"({"id":"12","method":{}})";
const std::string k_no_method = R"({"id":12})";
const std::string k_unknown = R"({"id":1,"method":{"nfs":"/x"}})";

INSTANTIATE_TEST_SUITE_P(
    Records, StorageRecord,
    ::testing::Values(
        RecordCase{"local", R"({"id":7,"method":{"local-directory":"/backups/a"}})", true, {1, 7, "/backups/a"}, ""},
        RecordCase{"s3", R"({"method":{"s3":{"bucket":"b","region":"r"}},"id":8})", true,
                   {2, 8, R"({"bucket":"b","region":"r"})"}, ""},
        RecordCase{"default", R"({"id":9,"method":{}})", true, {3, 9, ""}, ""},
        RecordCase{"first_known_member_decides", R"({"id":1,"method":{"nfs":"x","s3":"y","local-directory":"/z"}})",
                   true, {2, 1, "\"y\""}, ""},
        RecordCase{"negative_id", R"({"id":-3,"method":{}})", true, {3, -3, ""}, ""},
        RecordCase{"id_as_text", k_bad_id, false, {}, "id is not a number: id: invalid, type: default"},
        RecordCase{"id_fraction", R"({"id":1.5,"method":{}})", false, {}, "id is not a number: id: invalid, type: default"},
        RecordCase{"s3_keys_kept_out_of_the_log", R"({"id":"x","method":{"s3":{"secret_key":"SECRET"}}})", false, {},
                   "id is not a number: id: invalid, type: s3"},
        // Cut to 32 bits this id would name storage 1.
        RecordCase{"id_too_big", R"({"id":4294967297,"method":{}})", false, {},
                   "id is not a number: id: 4294967297, type: default"},
        RecordCase{"no_method", k_no_method, false, {}, "storage record format is invalid: id: 12, type: none"},
        RecordCase{"not_object", "[1,2]", false, {}, "json value is not an object"},
        RecordCase{"method_not_object", R"({"id":1,"method":"local-directory"})", false, {}, "method is not an object"},
        RecordCase{"unknown_method", k_unknown, false, {}, "can't parse client defined storage json string: id: 1, type: nfs"},
        RecordCase{"syntax", "{\"id\":", false, {}, "boost::json: incomplete JSON"}),
    [](const ::testing::TestParamInfo<RecordCase>& param_info) { return std::string(param_info.param.name); });

// --- Loading the task's methods file ---

TEST_F(ClientStorageTest, NoTaskIdSkipsLoading) {
  FakeModule module;
  EXPECT_TRUE(module.load_client_defined_storages());
  EXPECT_EQ(debug(), std::vector<std::string>{"No task id - client defined storages loading skipped"});
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

// Backups without client-defined storages must run, whatever the task's secret file.
TEST_F(ClientStorageTest, NoMethodsFileLoadsNothing) {
  for (bool with_secret : {false, true}) {
    if (with_secret) write_secret(k_secret + "\n");
    StorageModule module;
    module.options_.task_id = k_task;
    EXPECT_TRUE(module.load_client_defined_storages());
    EXPECT_TRUE(module.client_defined_storages.empty());
  }
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

TEST_F(ClientStorageTest, DeciphersTheRecordsOfTheMethodsFile) {
  write_secret(k_secret + "\nsecond line\n");
  const std::string plain =
      "{\"id\":1,\"method\":{\"local-directory\":\"/mnt/first\"}}\n\n"
      "not a record\n"
      "{\"id\":2,\"method\":{}}\n";
  const std::string padded = plain + std::string(5, '\0') + "{\"id\":3,\"method\":{}}";
  write_methods(padded);
  StorageModule module;
  module.options_.task_id = k_task;

  ASSERT_TRUE(module.load_client_defined_storages());
  ASSERT_EQ(module.client_defined_storages.size(), 2u);
  EXPECT_TRUE(module.client_defined_storages[0] == (Info{1, 1, "/mnt/first"}));
  EXPECT_TRUE(module.client_defined_storages[1] == (Info{3, 2, ""}));
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0].rfind(k_record_signature + ": boost::json: ", 0), 0u) << errors()[0];
  const std::string methods_path = m_tasks + "/" + k_task + ".client_defined_storages";
  EXPECT_EQ(debug(), (std::vector<std::string>{
                         "Check method of access to client defined storage",
                         "Found the file of methods: " + methods_path + ", size: " + std::to_string(padded.size()),
                         "CLient defined methods of access to the storage: 2"}));
}

// A methods file asks for a storage: one without a usable record stops start-up, and its
// deciphered bytes stay out of the log.
TEST_F(ClientStorageTest, MethodsFileWithoutARecordFails) {
  write_secret("another secret\n");
  for (const std::string plain : {"{\"id\":1,\"method\":{}}\n{\"id\":2,\"method\":{}}", ""}) {
    write_methods(plain, k_secret);
    StorageModule module;
    module.options_.task_id = k_task;
    EXPECT_FALSE(module.load_client_defined_storages());
    EXPECT_TRUE(module.client_defined_storages.empty());
    EXPECT_EQ(errors().back(), k_load_signature + ": no storage record could be read from " + m_tasks + "/" + k_task +
                                   ".client_defined_storages");
  }
  for (const std::string& line : errors())
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c < 127; })) << line;
}

// A methods file that cannot be deciphered stops start-up: the backup would otherwise go
// somewhere the task did not ask for.
TEST_F(ClientStorageTest, MethodsFileWithoutAUsableSecretFails) {
  struct Case {
    const char* secret;  // nullptr: no secret file
    std::string error;
  };
  const std::string secret_path = m_tasks + "//task_secret_" + k_task;
  for (const Case& c : {Case{nullptr, k_load_signature + ": task secret file doesn't exist: " + secret_path},
                        Case{"", k_load_signature + ": task secret is empty"},
                        Case{"\nsecret on the second line\n", k_load_signature + ": task secret is empty"}}) {
    boost::filesystem::remove(secret_path);
    if (c.secret != nullptr) write_secret(c.secret);
    write_methods("{\"id\":1,\"method\":{}}");
    StorageModule module;
    module.options_.task_id = k_task;
    const size_t errors_before = errors().size();
    EXPECT_FALSE(module.load_client_defined_storages()) << c.error;
    ASSERT_EQ(errors().size(), errors_before + 1);
    EXPECT_EQ(errors().back(), c.error);
    EXPECT_TRUE(module.client_defined_storages.empty());
  }
}

TEST_F(ClientStorageTest, UnreadableMethodsFileFails) {
  write_secret(k_secret);
  boost::filesystem::create_directory(kelvanor::module::client_defined_storages_path(k_task));
  StorageModule module;
  module.options_.task_id = k_task;
  EXPECT_FALSE(module.load_client_defined_storages());
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_EQ(errors()[0].rfind(k_load_signature + ": ", 0), 0u) << errors()[0];
}

// --- init: backups and restores with and without storages ---

TEST_F(ClientStorageTest, InitRunsBackupsAndRestoresWithoutAMethodsFile) {
  for (const auto& words : {std::vector<std::string>{"-1", "-b", "vm", "-d", "/tmp/x", "-n", "a", "-m", "ms", "-T", k_task},
                            std::vector<std::string>{"-r", "rec", "-d", "/tmp/x", "-m", "ms", "-T", k_task}}) {
    FakeModule module;
    Args args(words);
    EXPECT_TRUE(module.init(args.argc(), args.argv())) << words[0];
  }
  EXPECT_EQ(errors(), std::vector<std::string>{});
}

// The framework accepts no storage type, so any loaded record ends start-up (exit status 14).
TEST_F(ClientStorageTest, InitFailsWhenTheModuleRefusesTheStorage) {
  write_secret(k_secret);
  write_methods("{\"id\":5,\"method\":{\"local-directory\":\"" + dir() + "\"}}\n");
  FakeModule module;
  Args args({"-1", "-b", "vm", "-d", "/tmp/x", "-n", "a", "-m", "ms", "-T", k_task});

  EXPECT_FALSE(module.init(args.argc(), args.argv()));
  EXPECT_EQ(infos(), std::vector<std::string>{"The module doesn't support client defined storage type: 1"});
  EXPECT_EQ(errors(), std::vector<std::string>{
                          "bool KvModuleUniversal::init(int, char**): can't prepare the module to work with client "
                          "defined storage"});
}

TEST(ClientStorageProgram, VeilModuleExitsWithFourteenWhenTheTaskNamesAStorage) {
  kv_test::ModuleSandbox sandbox;
  const std::vector<std::string> backup = {"-1", "-b", "vm", "-d", sandbox.scratch(), "-n", "a", "-m", "ms", "-T", k_task};

  // Without a methods file start-up passes and the run stops later, at the missing configuration.
  const kv_test::ProgramResult plain = sandbox.run(backup);
  EXPECT_EQ(plain.status, 2) << plain.err << sandbox.log_tail();

  kv_test::write_file(sandbox.opt("var/tasks/task_secret_" + k_task), k_secret + "\n");
  kv_test::write_file(sandbox.opt("var/tasks/" + k_task + ".client_defined_storages"),
                      kelvanor::module::client_defined_storages_cipher("{\"id\":1,\"method\":{}}\n", k_secret));
  const kv_test::ProgramResult refused = sandbox.run(backup);
  EXPECT_EQ(refused.status, 14) << refused.err << sandbox.log_tail();
  EXPECT_NE(sandbox.log().find("The module doesn't support client defined storage type: 3"), std::string::npos)
      << sandbox.log_tail();
}

// --- Choosing the storage ---

TEST_F(ClientStorageTest, EmptyListOnlyWarns) {
  FakeModule module;
  EXPECT_TRUE(module.client_defined_storage_prepare());
  EXPECT_EQ(warnings(),
            std::vector<std::string>{"bool KvModuleUniversal::client_defined_storage_prepare()No client defined storage"});
}

TEST_F(ClientStorageTest, FirstUsableLocalDirectoryIsChosen) {
  const std::string missing = dir() + "/missing";
  const std::string file = dir() + "/file";
  const std::string good = dir() + "/store";
  kv_test::write_file(file, "x");
  boost::filesystem::create_directory(good);
  StorageModule module;
  module.accepted = {1};
  module.options_.autonomous_supported = true;
  module.options_.operation = Backup;
  module.options_.tmp_operation_directory = "/tmp/given";
  module.options_.remote_host = "remote";
  module.options_.reference_snapshot = "local-directory:12@ref.snap";
  module.client_defined_storages = {{1, 10, missing}, {1, 11, file}, {1, 12, good}, {1, 13, dir()}};

  ASSERT_TRUE(module.client_defined_storage_prepare());
  EXPECT_EQ(module.selected_storage_type, 1);
  EXPECT_EQ(module.selected_storage_id, 12);
  EXPECT_EQ(module.options_.tmp_operation_directory, good);
  EXPECT_TRUE(module.options_.autonomous);
  EXPECT_EQ(module.options_.remote_host, "");
  EXPECT_EQ(module.options_.reference_snapshot, "ref.snap");
  EXPECT_EQ(errors(), (std::vector<std::string>{missing + " doen't exist", file + " is not a directory"}));
  EXPECT_EQ(infos(), (std::vector<std::string>{"Use client defined storage 'local-directory'@" + missing,
                                               "Use client defined storage 'local-directory'@" + file,
                                               "Use client defined storage 'local-directory'@" + good,
                                               "Unable to use remote backup host while you use client defined storage",
                                               "Rename reference snapshot to: ref.snap"}));
}

TEST_F(ClientStorageTest, RestoreKeepsItsDirectoryAndRenamesTheSnapshot) {
  StorageModule module;
  module.accepted = {1};
  module.options_.autonomous_supported = true;
  module.options_.operation = Restore;
  module.options_.tmp_operation_directory = "/tmp/restore";
  module.options_.meta_file = "s3/5@";  // not a storage name: kept as it is
  module.client_defined_storages = {{1, 4, dir()}};

  ASSERT_TRUE(module.client_defined_storage_prepare());
  EXPECT_EQ(module.options_.tmp_operation_directory, "/tmp/restore");
  EXPECT_EQ(module.options_.meta_file, "s3/5@");

  module.options_.meta_file = "default:7@meta.tar";
  ASSERT_TRUE(module.client_defined_storage_prepare());
  EXPECT_EQ(module.options_.meta_file, "meta.tar");
  EXPECT_EQ(infos().back(), "Rename snapshot to: meta.tar");
}

TEST_F(ClientStorageTest, RefusalsOfTheChoice) {
  struct Case {
    const char* name;
    std::vector<int> accepted;
    bool autonomous_supported;
    KvModuleOperations operation;
    Info storage;
    bool result;
    std::string last_line;  // the last error or info line
  };
  const std::string sig = "bool KvModuleUniversal::client_defined_storage_prepare()";
  const Case cases[] = {
      {"default_storage", {3}, false, Backup, {3, 6, ""}, true, "Info: " + sig + " Using module default storage."},
      {"s3", {2}, true, Backup, {2, 6, "{}"}, false, "Error: " + sig + ": unsupported client defined storage type: 2"},
      {"no_autonomous_mode", {1}, false, Backup, {1, 6, dir()}, false,
       "Error: To use client defined storage the module MUST support autonomous mode"},
      {"other_operation", {1}, true, CreateReplica, {1, 6, dir()}, false,
       "Info: " + sig + ", line: 960: unsupported operation: 12"},
      {"deletion", {1}, true, DeleteFromClientDefinedStorage, {1, 6, dir()}, true,
       "Info: Use client defined storage 'local-directory'@" + dir()},
      {"nothing_usable", {1}, true, Backup, {1, 6, dir() + "/none"}, false, "Error: There is no good client defined storage"},
      {"refused_type", {}, true, Backup, {1, 6, dir()}, false, "Info: The module doesn't support client defined storage type: 1"},
  };
  for (const Case& c : cases) {
    StorageModule module;
    module.accepted = c.accepted;
    module.options_.autonomous_supported = c.autonomous_supported;
    module.options_.operation = c.operation;
    module.client_defined_storages = {c.storage};
    EXPECT_EQ(module.client_defined_storage_prepare(), c.result) << c.name;
    EXPECT_EQ(log().back(), c.last_line) << c.name;
    if (c.result) {
      EXPECT_TRUE(module.options_.autonomous) << c.name;
    }
  }
}

// --- Archive names that carry their storage ---

struct ArchiveCase {
  std::string name;
  bool accepted;
  int type;
  int id;
  std::string archive;
};

class ArchiveName : public ModuleTest, public ::testing::WithParamInterface<ArchiveCase> {};

TEST_P(ArchiveName, IsSplitIntoTypeIdAndName) {
  const ArchiveCase& c = GetParam();
  FakeModule module;
  ArchiveInfo info;
  ASSERT_EQ(module.split_client_defined_archive_name(c.name, info), c.accepted) << c.name;
  if (c.accepted) {
    EXPECT_EQ(info.type, c.type);
    EXPECT_EQ(info.id, c.id);
    EXPECT_EQ(info.name, c.archive);
  }
}

INSTANTIATE_TEST_SUITE_P(Names, ArchiveName,
                         ::testing::Values(ArchiveCase{"local-directory:12@arch", true, 1, 12, "arch"},
                                           ArchiveCase{"s3/5@a@b", true, 2, 5, "a@b"},
                                           ArchiveCase{"default_0x@name", true, 3, 0, "name"},
                                           ArchiveCase{"s3/5@", false, 0, 0, ""},
                                           ArchiveCase{"default-x@name", false, 0, 0, ""},
                                           ArchiveCase{"local-directory", false, 0, 0, ""},
                                           ArchiveCase{"local-directory:", false, 0, 0, ""},
                                           ArchiveCase{"s3:7", false, 0, 0, ""},
                                           ArchiveCase{"s3:99999999999@big", false, 0, 0, ""},
                                           ArchiveCase{"Local-directory:1@a", false, 0, 0, ""},
                                           ArchiveCase{"plain-archive", false, 0, 0, ""}));

// --- The JSON list of a deletion ---

struct DeletionCase {
  const char* name;
  std::string json;
  bool parsed;
  Entries entries;
  std::vector<std::string> errors;
};

class DeletionList : public ModuleTest, public ::testing::WithParamInterface<DeletionCase> {};

TEST_P(DeletionList, GivesTheStorageEntries) {
  const DeletionCase& c = GetParam();
  FakeModule module;
  Entries entries;
  EXPECT_EQ(module.parse_json_of_client_defined_storage(c.json, entries), c.parsed);
  EXPECT_EQ(entries, c.entries);
  EXPECT_EQ(errors(), c.errors);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DeletionList,
    ::testing::Values(
        DeletionCase{"empty_object", "{}", true, {{3, ""}}, {}},
        DeletionCase{"methods", R"({"a":"local-directory:/mnt/b","b":"s3:bucket/x","c":""})", true,
                     {{1, "/mnt/b"}, {2, "bucket/x"}}, {}},
        DeletionCase{"other_method", R"({"a":"nfs:/srv"})", true, {},
                     {k_json_signature + ": wrong client defined storage type here: nfs:/srv"}},
        DeletionCase{"method_without_storage", R"({"a":"local-directory","b":"s3:"})", true, {},
                     {k_json_signature + ": wrong client defined storage type here: local-directory",
                      k_json_signature + ": wrong client defined storage type here: s3:"}},
        DeletionCase{"not_object", "[]", false, {}, {k_json_signature + ": json value is not an object"}},
        DeletionCase{"syntax", "{", false, {}, {k_json_signature + ": exception: incomplete JSON"}}),
    [](const ::testing::TestParamInfo<DeletionCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(ClientStorageTest, BaseDeletionOnlyWarns) {
  FakeModule module;
  EXPECT_TRUE(module.delete_from_client_defined_storage({{1, "/mnt/b"}, {3, ""}}));
  EXPECT_EQ(warnings(), (std::vector<std::string>{"The module doesn't support deletion from client defined storage",
                                                  "Type: 1 /mnt/b", "Type: 3"}));
}

}  // namespace
