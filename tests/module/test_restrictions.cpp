#include "tests/module/module_test_support.h"

#include "tests/support/temp_dir.h"

#include <string>

using namespace module_test;

namespace {

const std::string k_parse_sig = "bool ResourceList::parse_json_file(const string&)";

class ResourceListFile : public ModuleTest {
 protected:
  bool parse(const std::string& json) {
    kv_test::write_file(dir() + "/list.json", json);
    return m_list.parse_json_file(dir() + "/list.json");
  }
  ResourceList m_list;
};

TEST_F(ResourceListFile, TakesThePathMembersOfTheSecondLevel) {
  ASSERT_TRUE(parse(R"({"first": {"path": "/x"}, "second": {"name": "b", "path": "/x"}})"));
  EXPECT_EQ(m_list.resources(), (std::vector<std::string>{"/x", "/x"}));
  // Brackets inside a string do not count towards the nesting limit.
  const std::string brackets(300, '[');
  ASSERT_TRUE(parse(R"([{"path": "/\")" + brackets + R"("}])"));
  EXPECT_EQ(m_list.resources(), (std::vector<std::string>{"/\"" + brackets}));
  EXPECT_TRUE(log().empty());

  for (const std::string json : {R"({"path": "/top"})", R"([{"deeper": {"path": "/c"}}])"}) {
    ASSERT_TRUE(parse(json)) << json;
    EXPECT_TRUE(m_list.is_empty()) << json;
    EXPECT_EQ(warnings().back(), k_parse_sig + ": there is no any resource in json file: " + dir() + "/list.json");
  }
}

TEST_F(ResourceListFile, MissingOrBrokenFileIsRefused) {
  ASSERT_TRUE(parse(R"([{"path": "/a"}])"));
  EXPECT_FALSE(m_list.parse_json_file(dir() + "/none.json"));
  EXPECT_TRUE(m_list.is_empty());  // cleared first
  EXPECT_EQ(errors(), std::vector<std::string>{k_parse_sig + ": resource list file does not exist: " + dir() + "/none.json"});
  // Nesting this deep would overflow the stack of the recursive reader.
  for (const std::string& json : {std::string(R"([{"path": "/a"},)"), std::string(100000, '[') + std::string(100000, ']')}) {
    EXPECT_FALSE(parse(json));
    EXPECT_EQ(errors().back().rfind(k_parse_sig + ": json parser error: ", 0), 0u) << errors().back();
  }
}

TEST_F(ResourceListFile, OneRestrictedResourceRefusesTheList) {
  ASSERT_TRUE(parse(R"([{"path": "/a"}, {"path": "/b"}])"));
  EXPECT_TRUE(m_list.check_local_restrictions({"/c", "/a ", "/B"}));
  EXPECT_TRUE(errors().empty());
  EXPECT_FALSE(m_list.check_local_restrictions({"/c", "/b"}));
  EXPECT_EQ(errors(), std::vector<std::string>{
                          "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<"
                          "char> >&) const: Unable to backup this resource from ResourceList: /b. Local restriction"});
}

// Lines are taken as they stand: no trimming, empty lines included, the last without a newline.
TEST_F(ModuleTest, OnlyTheExactResourceIsRefused) {
  FakeModule module;
  module.options_.restriction_list_path = dir() + "/none";
  module.options_.resource = "vm-1";
  EXPECT_TRUE(module.check_local_restrictions());  // no list: nothing restricted

  module.options_.restriction_list_path = dir() + "/restrictions";
  kv_test::write_file(dir() + "/restrictions", "vm-1 \nvm-2\n\nvm-3\r\nvm-4");
  EXPECT_EQ(module.read_local_restrictions(), (std::vector<std::string>{"vm-1 ", "vm-2", "", "vm-3\r", "vm-4"}));
  for (const auto& [resource, allowed] : std::vector<std::pair<std::string, bool>>{
           {"vm-1", true}, {"vm-2", false}, {"VM-2", true}, {"vm", true}, {"", false}, {"vm-4", false}}) {
    module.options_.resource = resource;
    EXPECT_EQ(module.check_local_restrictions(), allowed) << "[" << resource << "]";
  }
  EXPECT_TRUE(log().empty());

  module.options_.restriction_list_path = dir();  // a directory opens but cannot be read
  EXPECT_TRUE(module.read_local_restrictions().empty());
  EXPECT_EQ(errors(), std::vector<std::string>{"std::vector<std::__cxx11::basic_string<char> > "
                                               "KvModuleUniversal::read_local_restrictions() const: unable to open " +
                                               dir()});
}

}  // namespace
