// Names of the files and directories of one operation, and the snapshot file that carries the
// data mover's metadata from one backup to the next.

#include "module/kv_modules_common.h"

#include "module/operation_files.h"

#include "common/fd_io.h"
#include "common/kv_logger.h"
#include "common/log_text.h"
#include "common/kv_utils_common.h"
#include "common/kv_version.h"
#include "common/private_file.h"
#include "common/shell_quote.h"

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = boost::filesystem;
using kelvanor_common::shell_quote;

namespace {

constexpr const char* k_tar = "/bin/tar";
constexpr int k_snapshot_failed = 12;

}  // namespace

std::vector<std::string> kelvanor::module::top_level_meta_members(const std::string& listing) {
  std::vector<std::string> members;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const std::string name = line.rfind("./", 0) == 0 ? line.substr(2) : line;
    // Compared as text: the path's extension ends at a NUL, which would cut the tar command short.
    if (!name.empty() && name.find_first_of(std::string_view("/\0", 2)) == std::string::npos &&
        name.ends_with(".meta"))
      members.push_back(line);
  }
  std::sort(members.begin(), members.end());
  members.erase(std::unique(members.begin(), members.end()), members.end());
  return members;
}

std::string KvModuleUniversal::archive_filename() const {
  std::string name = options_.tmp_operation_directory + "/" + options_.archive_name;
  if (options_.autonomous) name += ".kvfd";
  return name;
}

std::string KvModuleUniversal::snapshot_filename() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap";
}

std::string KvModuleUniversal::snapshot_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir";
}

std::string KvModuleUniversal::leveldb_directory_path() const {
  return options_.tmp_operation_directory + "/" + options_.archive_name + ".snap_dir/leveldb";
}

std::string KvModuleUniversal::meta_filename() const {
  return snapshot_directory_path() + "/" + options_.archive_name + ".meta";
}

std::string KvModuleUniversal::reference_snapshot_directory_path() const {
  KvLogStream(KvLogLvl::Debug) << "std::string KvModuleUniversal::reference_snapshot_directory_path() const"
                               << " : " << reference_snapshot_directory << std::endl;
  return reference_snapshot_directory;
}

std::string KvModuleUniversal::pack_snapshot_command(int archive) const {
  // Made from inside the directory, of ".", so that the members unpack into any directory. tar
  // writes into the file this run made, through its descriptor (its own /proc/self/fd/N): a name
  // in the operation folder may by then be someone else's link, whose target tar would overwrite.
  return "cd " + shell_quote(snapshot_directory_path()) + " && " + k_tar + " czf /proc/self/fd/" +
         std::to_string(archive) + " .";
}

std::string KvModuleUniversal::unpack_snapshot_command(const std::string& path, const std::string& directory) {
  return std::string(k_tar) + " xzf " + shell_quote(path) + " -C " + shell_quote(directory);
}

int KvModuleUniversal::pack_snapshot_file() const {
  constexpr const char* sig = "int KvModuleUniversal::pack_snapshot_file() const";
  const kv_utils_common::unique_fd archive(kv_utils_common::create_private_file(snapshot_filename()));
  if (!archive) {
    const int error = errno;
    KvLogStream(KvLogLvl::Error) << sig << ": " << snapshot_filename() << ": "
                                 << (error == EEXIST ? std::string(kv_utils_common::k_name_taken_text)
                                                     : std::generic_category().message(error))
                                 << std::endl;
    return k_snapshot_failed;
  }
  std::string command;
  try {
    command = pack_snapshot_command(archive.get());
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": " << error.what() << std::endl;
    return k_snapshot_failed;
  }
  // Inherited by tar alone: the program starts one child at a time, and closes it after.
  if (::fcntl(archive.get(), F_SETFD, 0) != 0) {
    KvLogStream(KvLogLvl::Error) << sig << ": fcntl: " << std::generic_category().message(errno) << std::endl;
    return k_snapshot_failed;
  }
  std::string output;
  const int code = kv_utils_common::execute_command(command, output);
  if (code == 0) return 0;
  KvLogStream(KvLogLvl::Debug) << sig << ": command: '" << command << "' returned code: " << code
                               << " result: " << kelvanor_common::without_final_line_breaks(output) << std::endl;
  KvLogStream(KvLogLvl::Error) << "Unable to pack snapshot file: " << kelvanor_common::without_final_line_breaks(output)
                               << std::endl;
  return k_snapshot_failed;
}

int KvModuleUniversal::unpack_snapshot_file(const std::string& path) { return unpack_snapshot(path, false); }

int KvModuleUniversal::unpack_snapshot_file_privately(const std::string& path) { return unpack_snapshot(path, true); }

int KvModuleUniversal::unpack_snapshot(const std::string& path, bool into_private_directory) {
  constexpr const char* sig = "int KvModuleUniversal::unpack_snapshot_file(const string&)";
  try {
    KvLogStream(KvLogLvl::Debug) << sig << " : " << "unpacking: " << path << std::endl;
    const fs::path file(path);
    const std::string extension = file.extension().string();
    if (extension == ".meta") {
      // A bare meta file needs no unpacking.
      options_.unpacked_meta_file = path;
      return 0;
    }
    if (extension != ".snap") {
      KvLogStream(KvLogLvl::Error) << "Invalid snapshot file extension: " << kelvanor::as_quoted(path) << std::endl;
      return k_snapshot_failed;
    }

    if (into_private_directory) {
      // Only looked into: a fresh directory of this run's own, and the client's file stays.
      std::string pattern = (fs::temp_directory_path() / "kv_snapshot.XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr)
        throw fs::filesystem_error("mkdtemp", pattern,
                                   boost::system::error_code(errno, boost::system::generic_category()));
      reference_snapshot_directory = pattern;
    } else {
      reference_snapshot_directory = options_.tmp_operation_directory + "/" + file.stem().string() + ".snap_dir";
      if (fs::exists(reference_snapshot_directory)) {
        KvLogStream(KvLogLvl::Warning) << sig << ": Removing already existing directory "
                                       << reference_snapshot_directory << std::endl;
        fs::remove_all(reference_snapshot_directory);
      }
      fs::create_directories(options_.tmp_operation_directory);
      kv_utils_common::make_private_directory(reference_snapshot_directory);
    }
    const std::string& directory = reference_snapshot_directory;

    std::string command = unpack_snapshot_command(path, directory);
    std::string output;
    int code = 0;
    if (into_private_directory) {
      // Only the meta file is read from a snapshot that is only looked into. The rest (the
      // data mover's database, and whatever else the client's file holds) may be far larger
      // than the temporary folder, so it stays in the file: the members are listed first, and
      // only the meta files at the top are unpacked.
      command = std::string(k_tar) + " tzf " + shell_quote(path);
      code = kv_utils_common::execute_command(command, output);
      const std::vector<std::string> members = kelvanor::module::top_level_meta_members(output);
      if (code == 0 && !members.empty()) {
        command = unpack_snapshot_command(path, directory) + " --";
        for (const std::string& member : members) command += " " + shell_quote(member);
        output.clear();
        code = kv_utils_common::execute_command(command, output);
      }
    } else {
      code = kv_utils_common::execute_command(command, output);
    }
    if (code != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": command: '" << command << "' returned code: " << code
                                   << " result: " << kelvanor_common::without_final_line_breaks(output) << std::endl;
      return k_snapshot_failed;
    }
    // In autonomous mode the snapshot file is the client's copy in its own storage.
    if (!options_.autonomous && !into_private_directory) {
      KvLogStream(KvLogLvl::Info) << "Removing obsolete snapshot file: " << path << std::endl;
      fs::remove(path);
    }

    // Sorted, so that the same snapshot always gives the same meta file.
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    const auto meta = std::find_if(entries.begin(), entries.end(),
                                   [](const fs::path& entry) { return entry.extension() == ".meta"; });
    if (meta == entries.end()) {
      KvLogStream(KvLogLvl::Debug) << sig << ": command: '" << command << "' returned code: " << code
                                   << " result: " << kelvanor_common::without_final_line_breaks(output) << std::endl;
      KvLogStream(KvLogLvl::Error) << sig << "Snapshot doesn't contain any metafile!" << std::endl;
      return k_snapshot_failed;
    }
    options_.unpacked_meta_file = meta->string();
    return 0;
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": filesystem error: " << error.what() << std::endl;
  } catch (const kelvanor_common::unsafe_shell_value& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": " << error.what() << std::endl;
  }
  return k_snapshot_failed;
}

void KvModuleUniversal::remove_reference_snapshot_directory() {
  constexpr const char* sig = "void KvModuleUniversal::remove_reference_snapshot_directory()";
  try {
    // The field itself: nothing at all is logged when no snapshot was unpacked.
    const std::string& path = reference_snapshot_directory;
    if (path.empty() || !fs::exists(path)) return;
    KvLogStream(KvLogLvl::Info) << "Remove obsolete snapshot directory: " << path << std::endl;
    fs::remove_all(path);
  } catch (const fs::filesystem_error& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": boost::filesystem: " << error.what() << std::endl;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << sig << ": exception: " << error.what() << std::endl;
  }
}
