// The resource list and the local restriction list. Reading them is not available yet: a list
// file is never accepted, and with -j every resource counts as restricted (status 11), so that
// nothing the operator may have restricted is backed up.

#include "module/restrictions.h"

#include "module/kv_modules_common.h"

void ResourceList::clear() { m_resources.clear(); }

bool ResourceList::is_empty() const { return m_resources.empty(); }

bool ResourceList::parse_json_file(const std::string&) {
  clear();
  return false;
}

bool ResourceList::check_local_restrictions(const std::vector<std::string>&) const { return false; }

std::vector<std::string> KvModuleUniversal::read_local_restrictions() const { return {}; }

bool KvModuleUniversal::check_local_restrictions() const { return false; }
