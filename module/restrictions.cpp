// The resource list of a list backup and the host's local restriction list.

#include "module/restrictions.h"

#include "common/json_scan.h"
#include "common/kv_logger.h"
#include "module/kv_modules_common.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <fstream>
#include <string>

namespace {

constexpr const char* k_parse_sig = "bool ResourceList::parse_json_file(const string&)";

// The property tree's JSON reader recurses once per nesting level and overflows the stack on a
// document nested some tens of thousands deep. A list needs two levels; anything deeper than
// this is refused as a parse error before that reader sees it.
constexpr int k_max_json_depth = 256;

void check_json_depth(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  int depth = 0;
  unsigned long line = 1;
  kelvanor_common::JsonStringTracker strings;
  for (char c; file.get(c);) {
    if (c == '\n') ++line;
    if (!strings.outside_strings(c)) continue;
    if (c == '[' || c == '{') {
      if (++depth > k_max_json_depth)
        throw boost::property_tree::json_parser_error(
            "nesting deeper than " + std::to_string(k_max_json_depth) + " levels", path, line);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

}  // namespace

void ResourceList::clear() { m_resources.clear(); }

bool ResourceList::is_empty() const { return m_resources.empty(); }

bool ResourceList::parse_json_file(const std::string& path) {
  clear();
  try {
    if (!boost::filesystem::exists(path)) {
      KvLogStream(KvLogLvl::Error) << k_parse_sig << ": resource list file does not exist: " << path << std::endl;
      return false;
    }
    check_json_depth(path);
    boost::property_tree::ptree document;
    boost::property_tree::read_json(path, document);
    for (const auto& [element_key, element] : document) {
      for (const auto& [key, member] : element) {
        if (key == "path") m_resources.push_back(member.data());
      }
    }
    if (m_resources.empty())
      KvLogStream(KvLogLvl::Warning) << k_parse_sig << ": there is no any resource in json file: " << path
                                     << std::endl;
    return true;
  } catch (const boost::property_tree::json_parser_error& error) {
    KvLogStream(KvLogLvl::Error) << k_parse_sig << ": json parser error: " << error.what() << std::endl;
  } catch (const boost::filesystem::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << k_parse_sig << ": filesystem error: " << error.what() << std::endl;
  }
  return false;
}

bool ResourceList::check_local_restrictions(const std::vector<std::string>& restrictions) const {
  for (const std::string& restriction : restrictions) {
    for (const std::string& resource : m_resources) {
      if (resource != restriction) continue;
      KvLogStream(KvLogLvl::Error)
          << "bool ResourceList::check_local_restrictions(const std::vector<std::__cxx11::basic_string<char> >&) const"
          << ": Unable to backup this resource from ResourceList: " << resource << ". Local restriction" << std::endl;
      return false;
    }
  }
  return true;
}

std::vector<std::string> KvModuleUniversal::read_local_restrictions() const {
  std::vector<std::string> restrictions;
  const std::string& path = options_.restriction_list_path;
  boost::system::error_code error;
  if (!boost::filesystem::exists(path, error)) return restrictions;
  const auto unreadable = [&path]() {
    KvLogStream(KvLogLvl::Error)
        << "std::vector<std::__cxx11::basic_string<char> > KvModuleUniversal::read_local_restrictions() const"
        << ": unable to open " << path << std::endl;
    return std::vector<std::string>{};
  };
  std::ifstream file(path);
  if (!file.is_open()) return unreadable();
  for (std::string line; std::getline(file, line);) restrictions.push_back(line);
  // A list that opens but cannot be read (a directory, an I/O error) is as unreadable.
  if (file.bad()) return unreadable();
  return restrictions;
}

bool KvModuleUniversal::check_local_restrictions() const {
  for (const std::string& restriction : read_local_restrictions())
    if (restriction == options_.resource) return false;
  return true;
}
