#pragma once

// The resource list of a list backup (-B) and the host's local restriction list (-j).

#include <string>
#include <vector>

class ResourceList {
 public:
  ResourceList() = default;

  void clear();
  [[nodiscard]] bool is_empty() const;
  [[nodiscard]] const std::vector<std::string>& resources() const { return m_resources; }

  // Replaces the list with the "path" members of the JSON file's second level.
  [[nodiscard]] bool parse_json_file(const std::string& path);

  // False at the first resource that equals one of the restrictions.
  [[nodiscard]] bool check_local_restrictions(const std::vector<std::string>& restrictions) const;

 private:
  std::vector<std::string> m_resources;  // in file order, duplicates kept
};
