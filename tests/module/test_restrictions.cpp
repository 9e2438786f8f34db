#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include <string>

using namespace module_test;

namespace {

constexpr const char* k_parse_sig = "bool ResourceList::parse_json_file(const string&)";

class ResourceListFile : public ModuleTest {
 protected:
  // Parses `json` written to a file of the test's folder.
  bool parse(const std::string& json) {
    const std::string path = dir() + "/list.json";
    kv_test::write_file(path, json);
    return m_list.parse_json_file(path);
  }

  ResourceList m_list;
};

TEST_F(ResourceListFile, PathMembersOfTheSecondLevel) {
  ASSERT_TRUE(parse(R"([{"path": "/a"}, {"name": "b", "path": "/b"}])"));
  EXPECT_EQ(m_list.resources(), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_FALSE(m_list.is_empty());
  EXPECT_TRUE(log().empty());

  ASSERT_TRUE(parse(R"({"first": {"path": "/x"}, "second": {"path": "/x", "size": 12}})"));
  EXPECT_EQ(m_list.resources(), (std::vector<std::string>{"/x", "/x"}));  // duplicates kept

  const std::string brackets = std::string(300, '[');  // deep only in appearance: inside a string
  ASSERT_TRUE(parse(R"([{"path": "/\")" + brackets + R"("}])"));
  EXPECT_EQ(m_list.resources(), (std::vector<std::string>{"/\"" + brackets}));

  ASSERT_TRUE(parse(R"([{"path": 12}, {"path": true}])"));
  EXPECT_EQ(m_list.resources(), (std::vector<std::string>{"12", "true"}));  // every scalar as text

  m_list.clear();
  EXPECT_TRUE(m_list.is_empty());
}

TEST_F(ResourceListFile, NoResourceIsAcceptedWithAWarning) {
  for (const std::string json : {R"({"path": "/top"})", R"([{"deeper": {"path": "/c"}}])", "[]", "{}"}) {
    const size_t before = warnings().size();
    ASSERT_TRUE(parse(json)) << json;
    EXPECT_TRUE(m_list.is_empty()) << json;
    ASSERT_EQ(warnings().size(), before + 1);
    EXPECT_EQ(warnings().back(), std::string(k_parse_sig) + ": there is no any resource in json file: " + dir() +
                                     "/list.json");
  }
}

TEST_F(ResourceListFile, MissingOrBrokenFileIsRefused) {
  ASSERT_TRUE(parse(R"([{"path": "/a"}])"));
  EXPECT_FALSE(m_list.parse_json_file(dir() + "/none.json"));
  EXPECT_TRUE(m_list.is_empty());  // cleared first
  EXPECT_EQ(errors(),
            std::vector<std::string>{std::string(k_parse_sig) + ": resource list file does not exist: " + dir() +
                                     "/none.json"});

  for (const std::string& json : {std::string(R"([{"path": "/a"},)"), std::string(100000, '[') + std::string(100000, ']')}) {
    const size_t before = errors().size();
    EXPECT_FALSE(parse(json));
    ASSERT_EQ(errors().size(), before + 1);
    EXPECT_EQ(errors().back().rfind(std::string(k_parse_sig) + ": json parser error: ", 0), 0u) << errors().back();
  }
}

TEST_F(ResourceListFile, OneRestrictedResourceRefusesTheList) {
  ASSERT_TRUE(parse(R"([{"path": "/a"}, {"path": "/b"}])"));
  EXPECT_TRUE(m_list.check_local_restrictions({}));
  EXPECT_TRUE(m_list.check_local_restrictions({"/c", "/a ", "/B"}));
  EXPECT_TRUE(errors().empty());
  EXPECT_FALSE(m_list.check_local_restrictions({"/c", "/b"}));
  EXPECT_EQ(errors(), std::vector<std::string>{
                          "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<"
                          "char> >&) const: Unable to backup this resource from ResourceList: /b. Local restriction"});
}

class RestrictionList : public ModuleTest {
 protected:
  FakeModule& module_with_list(const std::string& content) {
    m_module.options_.restriction_list_path = dir() + "/restrictions";
    kv_test::write_file(dir() + "/restrictions", content);
    return m_module;
  }

  FakeModule m_module;
};

TEST_F(RestrictionList, LinesAreTakenAsTheyStand) {
  FakeModule& module = module_with_list("/srv/a\n/srv/b \n\n/srv/c\r\n/srv/last");
  EXPECT_EQ(module.read_local_restrictions(),
            (std::vector<std::string>{"/srv/a", "/srv/b ", "", "/srv/c\r", "/srv/last"}));
  EXPECT_TRUE(log().empty());
}

TEST_F(RestrictionList, AbsentListRestrictsNothing) {
  m_module.options_.restriction_list_path = dir() + "/none";
  m_module.options_.resource = "vm";
  EXPECT_TRUE(m_module.read_local_restrictions().empty());
  EXPECT_TRUE(m_module.check_local_restrictions());
  EXPECT_TRUE(log().empty());
}

TEST_F(RestrictionList, UnreadableListIsReportedAndRestrictsNothing) {
  m_module.options_.restriction_list_path = dir();  // a directory opens but cannot be read
  EXPECT_TRUE(m_module.read_local_restrictions().empty());
  EXPECT_EQ(errors(), std::vector<std::string>{"std::vector<std::__cxx11::basic_string<char> > "
                                               "KvModuleUniversal::read_local_restrictions() const: unable to open " +
                                               dir()});
}

TEST_F(RestrictionList, OnlyTheExactResourceIsRefused) {
  struct Case {
    std::string resource;
    bool allowed;
  };
  FakeModule& module = module_with_list("vm-1 \nvm-2\n\n");
  for (const Case& c : {Case{"vm-1", true}, Case{"vm-1 ", false}, Case{"vm-2", false}, Case{"VM-2", true},
                        Case{"", false}, Case{"vm-3", true}}) {
    module.options_.resource = c.resource;
    EXPECT_EQ(module.check_local_restrictions(), c.allowed) << "[" << c.resource << "]";
  }
  EXPECT_TRUE(log().empty());
}

TEST_F(RestrictionList, ListBackupWithARestrictedPathGivesEleven) {
  kv_test::write_file(dir() + "/list.json", R"([{"path": "/srv/a"}, {"path": "/srv/b"}])");
  kv_test::write_file(dir() + "/restrictions", "/srv/b\n");
  KvModuleOptions options;
  options.operation = BackupList;
  options.resource = dir() + "/list.json";
  ASSERT_TRUE(options.resource_list.parse_json_file(options.resource));
  options.tmp_operation_directory = dir() + "/op";
  options.archive_name = "arc";
  options.restriction_list_path = dir() + "/restrictions";
  options.local_restrictions = true;
  FakeModule module(options);
  EXPECT_EQ(module.run(), 11u);
  EXPECT_EQ(module.calls, std::vector<std::string>{"load_module_config"});

  // Without -j the list is not read at all.
  FakeModule unrestricted(options);
  unrestricted.options_.local_restrictions = false;
  unrestricted.results.resource_exists = false;
  EXPECT_EQ(unrestricted.run(), 2u);
}

}  // namespace
