#include "module/client_storage.h"

#include "crypto/kuznyechik.h"
#include "crypto/string_crypt.h"
#include "tests/module/module_test_support.h"
#include "tests/support/program_runner.h"
#include "tests/support/temp_dir.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <cstring>
#include <optional>

using namespace module_test;

namespace {

using Entries = std::vector<std::pair<int, std::string>>;
using Info = KvModuleUniversal::ClientDefinedStorageInfo;

const std::string k_task = "4711";
const std::string k_secret = "b7f3c1d2e9a84f56b7f3c1d2e9a84f56";

std::string describe(const std::vector<Info>& storages) {
  std::string text;
  for (const Info& s : storages) text += std::to_string(s.type) + " " + std::to_string(s.id) + " " + s.value + ";";
  return text;
}

// Counter mode written out: the key is the secret padded with zero bytes, the counter block the
// pass phrase's first two bytes and zeros, counted up per block.
TEST(ClientStorageCipher, IsKuznyechikCounterModeUnderTheSecret) {
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
  EXPECT_EQ(kelvanor::module::client_defined_storages_cipher(plain, k_secret + "cut off"),
            kelvanor::module::client_defined_storages_cipher(plain, k_secret));
  EXPECT_EQ(kelvanor::module::task_secret_path("T"), "/opt/kelvanor/var/tasks//task_secret_T");
  EXPECT_EQ(kelvanor::module::client_defined_storages_path("T"), "/opt/kelvanor/var/tasks/T.client_defined_storages");
}

// One record of the methods file; a refused one is logged by id and type only (an s3
// description holds the store's secret key).
struct RecordCase {
  std::string record;
  std::string result;  // the record as `describe` gives it, or the error line after the signature
};

class StorageRecord : public ModuleTest, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(StorageRecord, IsSplitOrRefusedWithItsReason) {
  Info info;
  const bool accepted = KvModuleUniversal::split_client_defined_storage_record(GetParam().record, info);
  const std::string signature =
      "static bool KvModuleUniversal::split_client_defined_storage_record(const string&, "
      "KvModuleUniversal::ClientDefinedStorageInfo&): ";
  EXPECT_EQ(accepted ? describe({info}) : errors().back().substr(signature.size()), GetParam().result);
  EXPECT_EQ(errors().size(), accepted ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    All, StorageRecord,
    ::testing::Values(
        RecordCase{R"({"id":7,"method":{"local-directory":"/backups/a"}})", "1 7 /backups/a;"},
        RecordCase{R"({"method":{"s3":{"bucket":"b"}},"id":8})", R"(2 8 {"bucket":"b"};)"},
        RecordCase{R"({"id":9,"method":{}})", "3 9 ;"},
        RecordCase{R"({"id":1,"method":{"nfs":"x","s3":"y","local-directory":"/z"}})", "2 1 \"y\";"},
        RecordCase{R"({"id":"12","method":{}})", "id is not a number: id: invalid, type: default"},
        RecordCase{R"({"id":"x","method":{"s3":{"secret_key":"SECRET"}}})", "id is not a number: id: invalid, type: s3"},
        // Cut to 32 bits this id would name storage 1.
        RecordCase{R"({"id":4294967297,"method":{}})", "id is not a number: id: 4294967297, type: default"},
        RecordCase{R"({"id":12})", "storage record format is invalid: id: 12, type: none"},
        RecordCase{"[1,2]", "json value is not an object"},
        RecordCase{R"({"id":1,"method":"local-directory"})", "method is not an object"},
        RecordCase{R"({"id":1,"method":{"nfs":"/x"}})", "can't parse client defined storage json string: id: 1, type: nfs"},
        RecordCase{"{\"id\":", "boost::json: incomplete JSON"}));

// Once the task has a methods file, a backup must go where it says or not run at all: a file
// that cannot be deciphered or holds no record stops start-up, and its bytes stay out of the log.
TEST_F(ModuleTest, MethodsFileOfTheTask) {
  struct Case {
    std::optional<std::string> secret, plain;  // none: no such file
    std::string result;  // the storages loaded, or the last Error line after the signature
  };
  const std::string tasks = dir() + "/tasks/";
  const std::string records = "{\"id\":1,\"method\":{\"local-directory\":\"/a\"}}\n\nbad\n{\"id\":2,\"method\":{}}\n";
  const std::string no_record = "no storage record could be read from " + tasks + "4711.client_defined_storages";
  kelvanor::module::set_tasks_directory_for_tests(tasks);
  for (const Case& c : {Case{{}, {}, "loaded: "}, Case{k_secret + "\nline 2\n", records + std::string(2, '\0') + "\n{\"id\":3,\"method\":{}}", "loaded: 1 1 /a;3 2 ;"},
                        Case{{}, records, "task secret file doesn't exist: " + tasks + "/task_secret_4711"},
                        Case{"\nsecond line\n", records, "task secret is empty"},
                        Case{"another secret\n", records, no_record}, Case{"b7f3\n", "", no_record}}) {
    boost::filesystem::remove_all(tasks);
    if (c.secret) kv_test::write_file(kelvanor::module::task_secret_path(k_task), *c.secret);
    if (c.plain)
      kv_test::write_file(kelvanor::module::client_defined_storages_path(k_task),
                          kelvanor::module::client_defined_storages_cipher(*c.plain, k_secret));
    FakeModule module;
    module.options_.task_id = k_task;
    const bool loaded = module.load_client_defined_storages();
    const std::string error = errors().empty() ? "" : errors().back();
    EXPECT_EQ(loaded ? "loaded: " + describe(module.client_defined_storages)
                     : error.substr(std::min(error.size(), std::string("bool KvModuleUniversal::load_client_defined_storages(): ").size())),
              c.result);
  }
  kelvanor::module::set_tasks_directory_for_tests("");
  for (const std::string& line : errors())
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c >= ' ' && c < 127; })) << line;
  FakeModule without_task;
  EXPECT_TRUE(without_task.load_client_defined_storages());
  EXPECT_EQ(log().back(), "Debug: No task id - client defined storages loading skipped");
}

// The VeiL module accepts no storage type: a task that names one ends start-up with 14.
TEST(ClientStorageProgram, VeilModuleExitsWithFourteenWhenTheTaskNamesAStorage) {
  kv_test::ModuleSandbox sandbox;
  const std::vector<std::string> backup = {"-1", "-b", "vm", "-d", sandbox.scratch(), "-n", "a", "-m", "ms", "-T", k_task};
  const kv_test::ProgramResult plain = sandbox.run(backup);
  EXPECT_EQ(plain.status, 2) << plain.err << sandbox.log_tail();  // the missing configuration, later

  kv_test::write_file(sandbox.opt("var/tasks/" + k_task + ".client_defined_storages"),
                      kelvanor::module::client_defined_storages_cipher("{\"id\":1,\"method\":{}}\n", k_secret));
  const kv_test::ProgramResult without_secret = sandbox.run(backup);
  EXPECT_EQ(without_secret.status, 14) << without_secret.err << sandbox.log_tail();
  kv_test::write_file(sandbox.opt("var/tasks/task_secret_" + k_task), k_secret + "\n");
  const kv_test::ProgramResult refused = sandbox.run(backup);
  EXPECT_EQ(refused.status, 14) << refused.err << sandbox.log_tail();
  EXPECT_NE(sandbox.log().find("The module doesn't support client defined storage type: 3"), std::string::npos)
      << sandbox.log_tail();
}

// The VeiL module accepts no storage, so beyond that refusal only one smoke run of the choice:
// the first usable local directory becomes the operation directory of an autonomous backup.
class LocalDirectoryModule : public FakeModule {
 public:
  bool check_supported_client_defined_storage(int type) override { return type == 1; }
};

TEST_F(ModuleTest, FirstUsableLocalDirectoryIsChosen) {
  kv_test::write_file(dir() + "/file", "x");
  boost::filesystem::create_directory(dir() + "/store");
  LocalDirectoryModule module;
  module.options_.autonomous_supported = true;
  module.options_.operation = Backup;
  module.options_.remote_host = "remote";
  module.options_.reference_snapshot = "local-directory:12@ref.snap";
  module.client_defined_storages = {{1, 10, dir() + "/none"}, {1, 11, dir() + "/file"}, {1, 12, dir() + "/store"}};
  ASSERT_TRUE(module.client_defined_storage_prepare());
  EXPECT_EQ(module.selected_storage_id, 12);
  EXPECT_EQ(module.options_.tmp_operation_directory, dir() + "/store");
  EXPECT_TRUE(module.options_.autonomous);
  EXPECT_EQ(module.options_.remote_host + module.options_.reference_snapshot, "ref.snap");
  EXPECT_EQ(errors(), (std::vector<std::string>{dir() + "/none doen't exist", dir() + "/file is not a directory"}));
}

TEST_F(ModuleTest, ArchiveNamesCarryTheirStorage) {
  struct Case {
    std::string name;
    std::string split;  // type, id and name; empty: refused
  };
  FakeModule module;
  for (const Case& c : {Case{"local-directory:12@arch", "1 12 arch"}, Case{"s3/5@a@b", "2 5 a@b"},
                        Case{"default_0x@name", "3 0 name"}, Case{"s3/5@", ""}, Case{"default-x@name", ""},
                        Case{"local-directory:", ""}, Case{"s3:7", ""}, Case{"s3:99999999999@big", ""},
                        Case{"Local-directory:1@a", ""}}) {
    KvModuleUniversal::ClientDefinedArchiveInfo info;
    const bool split = module.split_client_defined_archive_name(c.name, info);
    EXPECT_EQ(split ? std::to_string(info.type) + " " + std::to_string(info.id) + " " + info.name : "", c.split)
        << c.name;
  }
}

TEST_F(ModuleTest, DeletionListGivesTheStorageEntries) {
  struct Case {
    std::string json;
    bool parsed;
    Entries entries;
    std::vector<std::string> errors;
  };
  const std::string sig =
      "bool KvModuleUniversal::parse_json_of_client_defined_storage(const string&, "
      "std::vector<std::pair<int, std::__cxx11::basic_string<char> > >&): ";
  for (const Case& c : {
           Case{"{}", true, {{3, ""}}, {}},
           Case{R"({"a":"local-directory:/mnt/b","b":"s3:bucket/x","c":""})", true, {{1, "/mnt/b"}, {2, "bucket/x"}}, {}},
           Case{R"({"a":"nfs:/srv","b":"s3:"})", true, {},
                {sig + "wrong client defined storage type here: nfs:/srv", sig + "wrong client defined storage type here: s3:"}},
           Case{"[]", false, {}, {sig + "json value is not an object"}},
           Case{"{", false, {}, {sig + "exception: incomplete JSON"}}}) {
    FakeModule module;
    Entries entries;
    const size_t before = errors().size();
    EXPECT_EQ(module.parse_json_of_client_defined_storage(c.json, entries), c.parsed) << c.json;
    EXPECT_EQ(entries, c.entries) << c.json;
    const std::vector<std::string> all = errors();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()), c.errors);
  }
  FakeModule module;
  EXPECT_TRUE(module.delete_from_client_defined_storage({{1, "/mnt/b"}, {3, ""}}));
  EXPECT_EQ(warnings(), (std::vector<std::string>{"The module doesn't support deletion from client defined storage",
                                                  "Type: 1 /mnt/b", "Type: 3"}));
}

// The deletion logs each storage of its list; of an s3 one, the keys, the secret and the token
// are masked and every other part of the lines is kept.
TEST_F(ModuleTest, DeletionLinesKeepTheStoresSecretsOut) {
  const std::string json =
      R"({"a":"s3:{\"bucket\":\"b-1\",\"access_key\":\"AKIA7\",\"secret_key\":\"s/x+y\",)"
      R"(\"SessionToken\":\"tk\",\"region\":\"ru\"}","b":"s3:endpoint=https://s3:9000&password=pw9&key_prefix=k/",)"
      R"("c":"S3:{\"secret_key\":\"sk2\"}"})";
  FakeModule module;
  Entries entries;
  ASSERT_TRUE(module.parse_json_of_client_defined_storage(json, entries));
  EXPECT_TRUE(module.delete_from_client_defined_storage(entries));
  const std::string a = R"({\bucket\:\b-1\,\access_key\:\***\,\secret_key\:\***\,\SessionToken\:\***\,\region\:\ru\})";
  const std::string b = "endpoint=https://s3:9000&password=***&key_prefix=k/";
  const std::string c = R"(S3:{\secret_key\:\***\})";
  EXPECT_EQ(log_at("Debug"), (std::vector<std::string>{"Key: a, value: s3:" + a, "Key: b, value: s3:" + b,
                                                      "Key: c, value: " + c}));
  EXPECT_EQ(warnings(), (std::vector<std::string>{"The module doesn't support deletion from client defined storage",
                                                  "Type: 2 " + a, "Type: 2 " + b}));
  ASSERT_EQ(errors().size(), 1u);
  EXPECT_TRUE(errors()[0].ends_with(": wrong client defined storage type here: " + c)) << errors()[0];
}

}  // namespace
