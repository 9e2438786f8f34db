// Configuration upgrade: the operator's old file, the shipped template and the file of forced
// values merged into the template's place.

#include "module/kv_modules_common.h"

#include "common/config_file.h"
#include "common/fd_io.h"
#include "common/kv_logger.h"
#include "common/kv_version.h"

#include <boost/algorithm/string/split.hpp>
#include <boost/filesystem/operations.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = boost::filesystem;

// The lines of `config`, as ConfigFile::save writes them.
std::string saved_text(const kv_config::ConfigFile& config) {
  std::ostringstream text;
  for (const auto& entity : config) text << *entity;
  return text.str();
}

// Replaces the file at `path` by `config` without ever leaving it half written: the content
// goes to a new file beside it, which takes the old one's place only once it is complete and on
// disk. A full disk or a crash would otherwise leave the shipped template truncated and the
// module without a configuration. The file keeps its owner and mode, and a symbolic link keeps
// pointing at it.
bool replace_file(const kv_config::ConfigFile& config, const std::string& path) {
  boost::system::error_code error;
  fs::path target = fs::canonical(path, error);
  if (error) target = path;
  const fs::path temporary = fs::unique_path(target.string() + ".%%%%%%%%.new", error);
  if (error) return false;

  // The merged file holds the controller's password. So the new file is its owner's alone
  // until it is complete, and only then gets the old file's mode:
  // 1. it is written through the descriptor that created it, never reopened by its path, which
  //    a mode without write permission (0444, say) would refuse to anyone but root;
  // 2. the owner is changed before the mode, since a change of owner clears the set-id bits.
  struct stat original {};
  const bool known = ::stat(target.c_str(), &original) == 0;
  const mode_t mode = known ? original.st_mode & 07777 : 0600;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // Best effort: a file we may not hand to its owner is still better than no file.
  if (known) (void)::fchown(fd, original.st_uid, original.st_gid);

  bool written = kv_utils_common::write_all(fd, saved_text(config)) == 0;
  written = written && ::fchmod(fd, mode) == 0;
  written = written && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (written) {
    fs::rename(temporary, target, error);
    written = !error;
  }
  if (!written) {
    fs::remove(temporary, error);
    return false;
  }
  // The rename itself reaches the disk with the directory.
  const int directory = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    (void)::fsync(directory);
    ::close(directory);
  }
  return true;
}

}  // namespace

bool KvModuleUniversal::upgrade_config() {
  KvLogStream(KvLogLvl::Info) << "UpgradeConfig options.configs_list: " << options_.configs_list << std::endl;

  std::vector<std::string> paths;
  boost::algorithm::split(paths, options_.configs_list, [](char c) { return c == ':'; });
  if (paths.size() != 3) {
    KvLogStream(KvLogLvl::Error) << "Incorrect configuration file format" << std::endl;
    return false;
  }
  const std::string& old_path = paths[0];
  const std::string& new_path = paths[1];
  const std::string& update_path = paths[2];

  kv_config::ConfigFile old_config;
  try {
    old_config.load(old_path);
  } catch (const kv_config::WrongConfigException& e) {
    KvLogStream(KvLogLvl::Warning) << e.what() << std::endl;
    KvLogStream(KvLogLvl::Warning) << "Old configuration file " << old_path
                                   << " doesn't exists. Will use only new configuration file." << std::endl;
    old_config.clear();
  }

  kv_config::ConfigFile new_config;
  try {
    new_config.load(new_path);
  } catch (const kv_config::WrongConfigException& e) {
    KvLogStream(KvLogLvl::Error) << e.what() << std::endl;
    KvLogStream(KvLogLvl::Error) << "New configuration file " << new_path
                                 << " doesn't exists. Merge configuration files impossible." << std::endl;
    return false;
  }

  kv_config::ConfigFile update_config;
  try {
    update_config.load(update_path);
  } catch (const kv_config::WrongConfigException& e) {
    KvLogStream(KvLogLvl::Warning) << e.what() << std::endl;
    KvLogStream(KvLogLvl::Warning) << "Update configuration file " << update_path << " doesn't exists" << std::endl;
    update_config.clear();
  }

  const kv_config::ConfigFile merged = get_merged_config(old_config, new_config, update_config);
  if (!replace_file(merged, new_path)) {
    KvLogStream(KvLogLvl::Error) << "Can't save " << kelvanor::as_quoted_single(new_path) << std::endl;
    return false;
  }
  KvLogStream(KvLogLvl::Info) << "The module is installed" << std::endl;
  return true;
}

kv_config::ConfigFile KvModuleUniversal::get_merged_config(const kv_config::ConfigFile& old_config,
                                                           const kv_config::ConfigFile& new_config,
                                                           const kv_config::ConfigFile& update_config) {
  kv_config::ConfigFile merged;

  // The template's descriptions and shipped defaults stay readable, as comments.
  merged.addComment(" Description variables");
  for (const auto& entity : new_config) {
    if (entity->getType() == kv_config::CommentEntity)
      merged.addComment(static_cast<const kv_config::Comment&>(*entity).getPure());
    else
      merged.addComment(entity->get());
  }
  merged.addComment("");
  merged.addComment(" Variables value");

  for (const auto& entity : new_config) {
    if (entity->getType() != kv_config::VariableEntity) continue;
    const std::string name = static_cast<const kv_config::Variable&>(*entity).getName();
    const int presence = get_config_option_presence_type(name);
    if (update_config.variableExists(name)) {
      merged.addVariable(name, update_config[name]);
    } else if (old_config.variableExists(name)) {
      merged.addVariable(name, resolve_config_option_merge_conflict(name, old_config[name]));
    } else if (presence == 0) {
      KvLogStream(KvLogLvl::Warning) << "Variable " << kelvanor::as_quoted_single(name)
                                     << " is mandatory and has no value. Module cannot be used" << std::endl;
      merged.addVariable(name, "");
    }
  }
  return merged;
}

// Every variable is mandatory unless the module says otherwise.
int KvModuleUniversal::get_config_option_presence_type(const std::string&) { return 0; }

// The operator's value survives the upgrade unless the module says otherwise.
std::string KvModuleUniversal::resolve_config_option_merge_conflict(const std::string&,
                                                                    const std::string& old_value) {
  return old_value;
}
