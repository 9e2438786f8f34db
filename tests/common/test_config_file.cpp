#include "common/config_file.h"

#include "tests/common/common_test_helpers.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using kv_common_test::read_file;
using kv_common_test::TempDir;
using kv_common_test::write_file;
using kv_config::ConfigFile;

// Each entity as "type:text", so a whole file compares in one assertion.
std::vector<std::string> entities_of(const ConfigFile& config) {
  std::vector<std::string> out;
  for (const auto& entity : config) {
    if (entity->getType() == kv_config::CommentEntity) {
      out.push_back("C:" + static_cast<const kv_config::Comment&>(*entity).getPure());
    } else {
      const auto& variable = static_cast<const kv_config::Variable&>(*entity);
      out.push_back("V:" + variable.getName() + "=" + variable.getValue());
    }
  }
  return out;
}

struct RoundTripCase {
  const char* name;
  std::string file;
  std::vector<std::string> entities;
  std::string saved;
};

TEST(ConfigFile, LoadAndSave) {
  const RoundTripCase cases[] = {
      {"empty file", "", {}, ""},
      {"blank lines only", "\n   \n\t\n\r\n", {}, ""},
      {"inner blanks kept, trailing dropped", "name   a  b c  \n", {"V:name=a  b c"}, "name a  b c\n"},
      {"tab separator", "key\tvalue\n", {"V:key=value"}, "key value\n"},
      {"mixed separators", "key \t \tvalue x\n", {"V:key=value x"}, "key value x\n"},
      {"name only", "lonely\n", {"V:lonely="}, "lonely \n"},
      {"indented comment", "   # word\n", {"C: word"}, "# word\n"},
      {"comment without blank", "#x y\n", {"C:x y"}, "#x y\n"},
      {"empty comment", "#\n", {"C:"}, "#\n"},
      {"value keeps #, = and quotes", "k a#b = \"c\" 'd'\n", {"V:k=a#b = \"c\" 'd'"}, "k a#b = \"c\" 'd'\n"},
      {"repeated name: first place, last value",
       "a 1\n#between\na 2\nb 3\n",
       {"V:a=2", "C:between", "V:b=3"},
       "a 2\n#between\nb 3\n"},
      {"last line without line end", "a 1\nb 2", {"V:a=1", "V:b=2"}, "a 1\nb 2\n"},
      {"CRLF line ends", "a 1\r\n#c\r\n", {"V:a=1", "C:c"}, "a 1\n#c\n"},
      {"indented variable", "  \t a 1\n", {"V:a=1"}, "a 1\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.file("in.conf"), c.file);
    ConfigFile config(dir.file("in.conf"));
    EXPECT_EQ(entities_of(config), c.entities);
    ASSERT_TRUE(config.save(dir.file("out.conf")));
    EXPECT_EQ(read_file(dir.file("out.conf")), c.saved);
  }
}

TEST(ConfigFile, QueriesAndChanges) {
  TempDir dir;
  write_file(dir.file("c.conf"), "# only_in_comment 5\nalpha 1\nbeta two words\n");
  ConfigFile config(dir.file("c.conf"));

  EXPECT_EQ(config["alpha"], "1");
  EXPECT_EQ(config["beta"], "two words");
  EXPECT_TRUE(config.variableExists("alpha"));
  EXPECT_FALSE(config.variableExists("only_in_comment"));
  try {
    (void)config["only_in_comment"];
    ADD_FAILURE() << "no exception";
  } catch (const kv_config::VariableAbsentException& e) {
    EXPECT_STREQ(e.what(), "only_in_comment");
  }

  config.addVariable("alpha", "changed");  // keeps its place
  config.addVariable("gamma", "");
  config.addComment("tail");
  EXPECT_EQ(entities_of(config),
            (std::vector<std::string>{"C: only_in_comment 5", "V:alpha=changed", "V:beta=two words", "V:gamma=",
                                      "C:tail"}));

  config.removeVariable("beta");
  EXPECT_FALSE(config.variableExists("beta"));
  EXPECT_THROW(config.removeVariable("beta"), kv_config::VariableAbsentException);
  config.addVariable("beta", "back");  // a removed name comes back at the end
  EXPECT_EQ(entities_of(config).back(), "V:beta=back");
}

TEST(ConfigFile, Comments) {
  ConfigFile config;
  config.addComment("same");
  config.addVariable("v", "1");
  config.addComment("same");

  EXPECT_TRUE(config.commentExists("#same"));
  EXPECT_FALSE(config.commentExists("same"));

  config.removeComment("same");  // without its '#': nothing happens
  EXPECT_EQ(entities_of(config), (std::vector<std::string>{"C:same", "V:v=1", "C:same"}));
  config.removeComment("#same");  // the first one only
  EXPECT_EQ(entities_of(config), (std::vector<std::string>{"V:v=1", "C:same"}));
  config.removeComment("#v 1");  // a variable's line is not a comment
  EXPECT_EQ(entities_of(config), (std::vector<std::string>{"V:v=1", "C:same"}));

  std::ostringstream out;
  for (const auto& entity : config) out << *entity;
  EXPECT_EQ(out.str(), "v 1\n#same\n");
}

TEST(ConfigFile, LoadAddsToPresentContent) {
  TempDir dir;
  write_file(dir.file("one"), "#first\na 1\nb 2\n");
  write_file(dir.file("two"), "b 20\nc 30\n");
  ConfigFile config(dir.file("one"));
  config.load(dir.file("two"));
  EXPECT_EQ(entities_of(config), (std::vector<std::string>{"C:first", "V:a=1", "V:b=20", "V:c=30"}));
}

TEST(ConfigFile, UnreadableFile) {
  TempDir dir;
  const std::string missing = dir.file("it's missing");
  try {
    ConfigFile config(missing);
    ADD_FAILURE() << "no exception";
  } catch (const kv_config::WrongConfigException& e) {
    EXPECT_EQ(std::string(e.what()), "Can't open file '" + dir.path().string() + "/it\\'s missing'");
  }

  write_file(dir.file("good"), "a 1\n");
  ConfigFile config(dir.file("good"));
  EXPECT_THROW(config.load(missing), kv_config::WrongConfigException);
  EXPECT_EQ(config["a"], "1");  // content unchanged
}

TEST(ConfigFile, SaveFailsWhereFileCannotBeWritten) {
  TempDir dir;
  ConfigFile config;
  config.addVariable("a", "1");
  EXPECT_FALSE(config.save(dir.file("no/such/dir/file")));
  EXPECT_FALSE(config.save(dir.path().string()));  // a directory
  EXPECT_FALSE(config.save("/dev/full"));           // opens, but nothing can be written
}

TEST(ConfigFile, SaveReplacesLongerFile) {
  TempDir dir;
  write_file(dir.file("f"), "a very long line that must disappear\nsecond line\n");
  ConfigFile config;
  config.addVariable("a", "1");
  ASSERT_TRUE(config.save(dir.file("f")));
  EXPECT_EQ(read_file(dir.file("f")), "a 1\n");
}

TEST(ConfigFile, CopyAndAssignment) {
  TempDir dir;
  write_file(dir.file("src"), "#c1\nx 1\n#c2\ny 2\n");
  const ConfigFile source(dir.file("src"));
  const std::vector<std::string> expected{"C:c1", "V:x=1", "C:c2", "V:y=2"};

  ConfigFile copy(source);
  EXPECT_EQ(entities_of(copy), expected);

  ConfigFile target;
  target.addVariable("old", "gone");
  target = source;
  EXPECT_EQ(entities_of(target), expected);

  // Copies are independent of the source.
  copy.addVariable("x", "changed");
  EXPECT_EQ(source["x"], "1");

  target = static_cast<const ConfigFile&>(target);  // self-assignment, spelt so clang does not warn
  EXPECT_EQ(entities_of(target), expected);
}

TEST(ConfigFile, ClearEmptiesEverything) {
  ConfigFile config;
  config.addVariable("a", "1");
  config.addComment("c");
  config.clear();
  EXPECT_TRUE(entities_of(config).empty());
  EXPECT_FALSE(config.variableExists("a"));
  config.addVariable("a", "2");
  EXPECT_EQ(entities_of(config), std::vector<std::string>{"V:a=2"});
}

TEST(ConfigFile, VariableOutlivesItsFile) {
  std::shared_ptr<kv_config::ConfigEntity> kept;
  {
    ConfigFile config;
    config.addVariable("name", "value");
    kept = *config.begin();
    config.removeVariable("name");
  }
  EXPECT_EQ(kept->get(), "name value");

  {
    ConfigFile config;
    config.addVariable("other", "v");
    kept = *config.begin();
  }
  EXPECT_EQ(kept->get(), "other v");
}

}  // namespace
