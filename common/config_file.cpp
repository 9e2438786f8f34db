#include "common/config_file.h"

#include "common/kv_version.h"

#include <fstream>

namespace kv_config {
namespace {

constexpr const char* k_white_space = " \t\r\n\v\f";
constexpr const char* k_separators = " \t";

std::string trimmed(const std::string& line) {
  const auto first = line.find_first_not_of(k_white_space);
  if (first == std::string::npos) return {};
  const auto last = line.find_last_not_of(k_white_space);
  return line.substr(first, last - first + 1);
}

}  // namespace

ConfigFile::ConfigFile(const std::string& path) { load(path); }

ConfigFile::ConfigFile(const ConfigFile& other) { add_entities_of(other); }

ConfigFile& ConfigFile::operator=(const ConfigFile& other) {
  if (this == &other) {
    m_path.clear();
    return *this;
  }
  clear();
  add_entities_of(other);
  return *this;
}

ConfigFile::~ConfigFile() { detach_all(); }

void ConfigFile::add_entities_of(const ConfigFile& other) {
  for (const auto& entity : other) {
    switch (entity->getType()) {
      case CommentEntity:
        addComment(static_cast<const Comment&>(*entity).getPure());
        break;
      case VariableEntity: {
        const auto& variable = static_cast<const Variable&>(*entity);
        addVariable(variable.getName(), variable.getValue());
        break;
      }
      default:
        throw WrongConfigException("Unsupported format data " + kelvanor_common::single_quoted(entity->get()));
    }
  }
}

void ConfigFile::load(const std::string& path) {
  m_path = path;
  std::string message;
  if (!loadConfig(message)) throw WrongConfigException(message);
}

bool ConfigFile::loadConfig(std::string& message) {
  std::ifstream file(m_path);
  if (!file.is_open()) {
    message = "Can't open file " + kelvanor_common::single_quoted(m_path);
    return false;
  }
  std::string line;
  while (!file.eof() && !file.fail()) {
    if (!std::getline(file, line)) break;
    line = trimmed(line);
    if (line.empty()) continue;
    if (line.front() == commentSign) {
      addComment(line.substr(1));
      continue;
    }
    const auto name_end = line.find_first_of(k_separators);
    if (name_end == std::string::npos) {
      addVariable(line, "");
      continue;
    }
    // The line is trimmed, so something other than a separator follows the name.
    const auto value_start = line.find_first_not_of(k_separators, name_end);
    addVariable(line.substr(0, name_end), line.substr(value_start));
  }
  return true;
}

bool ConfigFile::save(const std::string& path) const {
  std::ofstream file(path, std::ios::out | std::ios::trunc);
  if (!file.is_open()) return false;
  for (const auto& entity : m_entities) file << entity->get() << "\n";
  // A full disk shows only here: the buffered text fails to reach the file at the flush.
  file.close();
  return !file.fail();
}

std::string ConfigFile::operator[](const std::string& name) const {
  const auto found = m_index.find(name);
  if (found == m_index.end()) throw VariableAbsentException(name);
  return static_cast<const Variable&>(**found->second).getValue();
}

bool ConfigFile::variableExists(const std::string& name) const { return m_index.contains(name); }

void ConfigFile::addVariable(const std::string& name, const std::string& value) {
  if (const auto found = m_index.find(name); found != m_index.end()) {
    static_cast<Variable&>(**found->second).m_value = value;
    return;
  }
  std::shared_ptr<Variable> variable(new Variable(nullptr, value));
  const auto position = m_entities.insert(m_entities.end(), variable);
  const auto indexed = m_index.emplace(name, position).first;
  variable->m_name = &indexed->first;
}

void ConfigFile::removeVariable(const std::string& name) {
  const auto found = m_index.find(name);
  if (found == m_index.end()) throw VariableAbsentException(name);
  static_cast<Variable&>(**found->second).detach_name();
  m_entities.erase(found->second);
  m_index.erase(found);
}

void ConfigFile::addComment(const std::string& text) { m_entities.push_back(std::make_shared<Comment>(text)); }

void ConfigFile::removeComment(const std::string& line) {
  for (auto it = m_entities.begin(); it != m_entities.end(); ++it) {
    if ((*it)->getType() == CommentEntity && (*it)->get() == line) {
      m_entities.erase(it);
      return;
    }
  }
}

bool ConfigFile::commentExists(const std::string& line) const {
  for (const auto& entity : m_entities)
    if (entity->getType() == CommentEntity && entity->get() == line) return true;
  return false;
}

void ConfigFile::clear() {
  detach_all();
  m_entities.clear();
  m_index.clear();
  m_path.clear();
}

void ConfigFile::detach_all() {
  for (auto& [name, position] : m_index) static_cast<Variable&>(**position).detach_name();
}

std::ostream& operator<<(std::ostream& stream, const ConfigEntity& entity) {
  return stream << entity.get() << std::endl;
}

}  // namespace kv_config
