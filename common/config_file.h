#pragma once

// Files of name and value lines with "#" comment lines, kept in memory in file order so that they
// can be read, queried, changed and written back with their comments and order preserved.

#include <exception>
#include <list>
#include <map>
#include <memory>
#include <ostream>
#include <string>

namespace kv_config {

inline constexpr char commentSign = '#';

enum ConfigEntityType { CommentEntity = 0, VariableEntity = 1 };

class ConfigEntity {
 public:
  explicit ConfigEntity(ConfigEntityType type) : m_type(type) {}
  ConfigEntity(const ConfigEntity&) = delete;
  ConfigEntity& operator=(const ConfigEntity&) = delete;
  virtual ~ConfigEntity() = default;

  // The line as written to the file, without the line end.
  virtual std::string get() const = 0;
  ConfigEntityType getType() const { return m_type; }

 private:
  ConfigEntityType m_type;
};

class Comment : public ConfigEntity {
 public:
  explicit Comment(std::string text) : ConfigEntity(CommentEntity), m_text(std::move(text)) {}

  std::string get() const override { return commentSign + m_text; }
  std::string getPure() const { return m_text; }

 private:
  std::string m_text;  // without the leading '#'
};

class Variable : public ConfigEntity {
 public:
  std::string get() const override { return *m_name + " " + m_value; }
  std::string getName() const { return *m_name; }
  std::string getValue() const { return m_value; }

 private:
  friend class ConfigFile;

  // Only a file creates variables: it owns the name.
  Variable(const std::string* name, std::string value)
      : ConfigEntity(VariableEntity), m_name(name), m_value(std::move(value)) {}

  // The name lives once, as the key of the owning file's index. A variable that a caller still
  // holds after the file let it go keeps its own copy instead, so the pointer never dangles.
  void detach_name() {
    m_detached_name = *m_name;
    m_name = &m_detached_name;
  }

  const std::string* m_name;
  std::string m_value;
  std::string m_detached_name;
};

class WrongConfigException : public std::exception {
 public:
  explicit WrongConfigException(std::string message) : m_message(std::move(message)) {}
  const char* what() const noexcept override { return m_message.c_str(); }

 private:
  std::string m_message;
};

// what() is the missing variable's name alone.
class VariableAbsentException : public std::exception {
 public:
  explicit VariableAbsentException(std::string name) : m_name(std::move(name)) {}
  const char* what() const noexcept override { return m_name.c_str(); }

 private:
  std::string m_name;
};

class ConfigFile {
 public:
  using EntityList = std::list<std::shared_ptr<ConfigEntity>>;
  using const_iterator = EntityList::const_iterator;

  ConfigFile() = default;
  // Throws WrongConfigException when the file cannot be opened.
  explicit ConfigFile(const std::string& path);
  // A copy has no path; its lines are the source's, in the same order.
  ConfigFile(const ConfigFile& other);
  ConfigFile& operator=(const ConfigFile& other);
  virtual ~ConfigFile();

  // Adds the file's lines to the present content; throws WrongConfigException when the file
  // cannot be opened, after taking its path.
  void load(const std::string& path);
  [[nodiscard]] bool save(const std::string& path) const;

  // Throws VariableAbsentException when there is no such variable.
  std::string operator[](const std::string& name) const;
  bool variableExists(const std::string& name) const;
  // A known name keeps its position and takes the new value.
  void addVariable(const std::string& name, const std::string& value);
  // Throws VariableAbsentException when there is no such variable.
  void removeVariable(const std::string& name);

  // `text` without the '#'.
  void addComment(const std::string& text);
  // `line` with its '#', as the comment is written.
  void removeComment(const std::string& line);
  bool commentExists(const std::string& line) const;

  void clear();

  const_iterator begin() const { return m_entities.begin(); }
  const_iterator end() const { return m_entities.end(); }

 private:
  [[nodiscard]] bool loadConfig(std::string& message);
  void add_entities_of(const ConfigFile& other);
  void detach_all();

  std::string m_path;
  EntityList m_entities;
  std::map<std::string, EntityList::iterator> m_index;
};

std::ostream& operator<<(std::ostream& stream, const ConfigEntity& entity);

}  // namespace kv_config
