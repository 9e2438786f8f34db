#include "common/config_file.h"

#include "tests/common/common_test_helpers.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using kv_common_test::read_file;
using kv_common_test::TempDir;
using kv_common_test::write_file;
using kv_config::ConfigFile;
using Lines = std::vector<std::string>;

// Comments as written, variables as "name=value", so a whole file compares in one assertion.
Lines entities_of(const ConfigFile& config) {
  Lines out;
  for (const auto& entity : config) {
    const auto* variable = dynamic_cast<const kv_config::Variable*>(entity.get());
    out.push_back(variable ? variable->getName() + "=" + variable->getValue() : entity->get());
  }
  return out;
}

TEST(ConfigFile, LoadAndSave) {
  const struct {
    std::string file;
    Lines entities;
    std::string saved;
  } cases[] = {
      {"\n   \n\r\n", {}, ""},
      {"name \t a  b c  \r\n", {"name=a  b c"}, "name a  b c\n"},
      {"lonely", {"lonely="}, "lonely \n"},
      {"   # word\n", {"# word"}, "# word\n"},
      {"a 1\n#between\na 2\nb 3", {"a=2", "#between", "b=3"}, "a 2\n#between\nb 3\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    write_file(dir.file("in"), c.file);
    const ConfigFile config(dir.file("in"));
    EXPECT_EQ(entities_of(config), c.entities);
    ASSERT_TRUE(config.save(dir.file("out")));
    EXPECT_EQ(read_file(dir.file("out")), c.saved);
  }
}

TEST(ConfigFile, Edits) {
  TempDir dir;
  write_file(dir.file("one"), "#c\na 1\n");
  write_file(dir.file("two"), "a 2\nb 3\n");
  ConfigFile config(dir.file("one"));
  config.load(dir.file("two"));  // adds to what is there
  try {
    (void)config["c"];
    ADD_FAILURE() << "no exception";
  } catch (const kv_config::VariableAbsentException& e) {
    EXPECT_STREQ(e.what(), "c");
  }
  config.removeComment("c");  // without its '#': nothing happens
  config.removeVariable("b");
  config.addVariable("b", "back");
  EXPECT_EQ(entities_of(config), (Lines{"#c", "a=2", "b=back"}));
  std::shared_ptr<kv_config::ConfigEntity> kept;
  {
    ConfigFile copy(config);
    copy = static_cast<const ConfigFile&>(copy);  // self-assignment, spelt so clang does not warn
    ASSERT_EQ(entities_of(copy), entities_of(config));
    kept = *std::next(copy.begin());
  }
  EXPECT_EQ(kept->get(), "a 2");  // the name outlives the file that held it
  config.removeComment("#c");
  EXPECT_EQ(entities_of(config), (Lines{"a=2", "b=back"}));
}

TEST(ConfigFile, FilesThatCannotBeUsed) {
  TempDir dir;
  try {
    ConfigFile config(dir.file("it's missing"));
    ADD_FAILURE() << "no exception";
  } catch (const kv_config::WrongConfigException& e) {
    EXPECT_EQ(std::string(e.what()), "Can't open file '" + dir.path().string() + "/it\\'s missing'");
  }
  ConfigFile config;
  config.addVariable("a", "1");
  EXPECT_FALSE(config.save("/dev/full"));  // opens, but nothing can be written
}

}  // namespace
