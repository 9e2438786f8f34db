// Backup with the data mover running on another host that can reach the data: key-based ssh,
// the few files the data mover needs copied to the same paths there, the run relayed as a local
// one, the meta file copied back and the remote traces removed.

#include "common/kv_logger.h"
#include "common/shell_quote.h"
#include "module/client_storage.h"
#include "module/kv_modules_common.h"

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include <exception>

namespace fs = boost::filesystem;
using kelvanor_common::shell_quote;
using kelvanor_common::shell_single_quote;

namespace {

constexpr const char* k_remote_sig = "bool KvModuleUniversal::make_backup_remotely()";
constexpr const char* k_cleanup_sig = "bool KvModuleUniversal::cleanup_remote_host(const string&)";

std::string command_error(const char* signature, const std::string& command, const std::string& output) {
  return std::string(signature) + ": the following command produced an error: " + command + "\n" +
         "command output: " + output;
}

// The remote command as one word of the local command line. Single quotes keep the local shell
// from expanding anything in it; the remote shell reads it as written.
std::string remote(const std::string& ssh_prefix, const std::string& command) {
  return ssh_prefix + shell_single_quote(command);
}

}  // namespace

std::string KvModuleUniversal::remote_ssh_prefix() const {
  return "/usr/bin/ssh -q -l " + shell_quote(options_.remote_user) + " " + shell_quote(options_.remote_host) + " ";
}

bool KvModuleUniversal::compose_remote_backup_command(std::string& command) {
  const auto refuse = [](const char* text) {
    KvLogStream(KvLogLvl::Error) << k_remote_sig << text << std::endl;
    return false;
  };
  if (!make_backup_cmd_common(command)) return false;
  if (options_.autonomous) return refuse(": Autonomous mode is not supported for remote backup kvfd mode");
  command += " -M " + shell_quote(options_.media_server) + " -N " + shell_quote(options_.archive_name) + " -T " +
             shell_quote(options_.task_id) + " -s " + shell_quote(get_task_secret()) + " -m " +
             shell_quote(meta_filename());
  if (options_.dgst) return refuse(": Digital signature is not supported for remote backup kvfd mode");
  if (options_.local_restrictions && fs::exists(options_.restriction_list_path)) {
    const std::string name = fs::path(options_.restriction_list_path).filename().string();
    command += " -X " + shell_quote(snapshot_directory_path() + "/" + name);
  }
  if (options_.crypto != "nocrypt") return refuse(": Encrytping signature is not supported for remote backup kvfd mode");
  command += " 2>&1";
  return true;
}

bool KvModuleUniversal::make_backup_remotely() {
  backup_succeeded = false;
  try {
    std::string kvfd_command;
    if (!compose_remote_backup_command(kvfd_command)) return false;

    const std::string& host = options_.remote_host;
    const std::string ssh = remote_ssh_prefix();
    const auto fail = [](const std::string& text) {
      KvLogStream(KvLogLvl::Error) << text << std::endl;
      return false;
    };
    std::string output;

    KvLogStream(KvLogLvl::Info) << "Testing connection to remote host: " << host << std::endl;
    const std::string probe = ssh + " -o ConnectTimeout=" + std::to_string(5) +
                              " -o PasswordAuthentication=no -o PubkeyAuthentication=yes -o BatchMode=yes 'exit 0'";
    if (run_host_command(probe, output) != 0)
      return fail(std::string(k_remote_sig) + ": the ssh unable to connect. " + "command output: " + output + "\n" +
                  "ssh connection failed to: " + host);

    const std::string& directory = options_.tmp_operation_directory;
    output.clear();
    if (run_host_command(remote(ssh, "test -d " + shell_quote(directory)), output) != 0)
      return fail(std::string(k_remote_sig) + "command output: " + output + "\n" + "folder: " + directory +
                  " does not exist on remote host: " + host);

    KvLogStream(KvLogLvl::Info) << "Creating directories on remote host: " << host << std::endl;
    const std::string mkdir = remote(ssh, "mkdir -p " + shell_quote(snapshot_directory_path()) + " " +
                                              shell_quote(kelvanor::module::tasks_directory()));
    output.clear();
    if (run_host_command(mkdir, output) != 0) return fail(command_error(k_remote_sig, mkdir, output));

    // From the first copy on, every failure removes what reached the remote host.
    const auto fail_and_clean = [&](const std::string& text) {
      KvLogStream(KvLogLvl::Error) << text << std::endl;
      (void)cleanup_remote_host(ssh);
      return false;
    };
    const std::string target = shell_quote(options_.remote_user) + "@" + shell_quote(host) + ":";
    KvLogStream(KvLogLvl::Info) << "Coping files to remote host: " << host << std::endl;
    std::vector<std::pair<std::string, std::string>> copies = {
        {get_task_secret(), get_task_secret()}, {options_.resource_list_file, options_.resource_list_file}};
    if (fs::exists(options_.restriction_list_path))
      copies.emplace_back(options_.restriction_list_path, snapshot_directory_path());
    for (const auto& [local, remote_path] : copies) {
      const std::string copy = "/usr/bin/scp " + shell_quote(local) + " " + target + shell_quote(remote_path);
      output.clear();
      if (run_host_command(copy, output) != 0) return fail_and_clean(command_error(k_remote_sig, copy, output));
    }

    KvLogStream(KvLogLvl::Info) << "Starting remote KVFD execution on remote host: " << host << std::endl;
    const std::string remote_kvfd = remote(ssh, kvfd_command);
    output.clear();
    std::string statistics;
    if (!run_remote_kvfd_command(remote_kvfd, output, kvfd_pid, statistics))
      return fail_and_clean(std::string(k_remote_sig) + ": remote KVFD command " + remote_kvfd + "\n" +
                            " produced an error, " + "kvfd out: " + output);
    KvLogStream(KvLogLvl::Info) << "Remote KVFD execution finished successfully" << std::endl;

    const std::string test_meta = remote(ssh, "test -f " + shell_quote(meta_filename()));
    output.clear();
    if (run_host_command(test_meta, output) != 0)
      return fail_and_clean(command_error(k_remote_sig, test_meta, output) + "\n" + "metafile: " + meta_filename() +
                            " does not exist on remote host: " + host);

    KvLogStream(KvLogLvl::Info) << "Coping resulting files from remote host: " << host << std::endl;
    const std::string copy_back =
        "/usr/bin/scp " + target + shell_quote(meta_filename()) + " " + shell_quote(meta_filename());
    output.clear();
    if (run_host_command(copy_back, output) != 0)
      return fail_and_clean(command_error(k_remote_sig, copy_back, output));

    if (!cleanup_remote_host(ssh))
      KvLogStream(KvLogLvl::Warning) << k_remote_sig << ": unable to cleanup remote host: " << host << std::endl;
    backup_succeeded = true;
    return true;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_remote_sig << ": exception: " << error.what() << std::endl;
    return false;
  }
}

bool KvModuleUniversal::cleanup_remote_host(const std::string& ssh_prefix) {
  try {
    KvLogStream(KvLogLvl::Info) << "Cleaning remote host" << std::endl;
    bool result = true;
    std::string files = "rm " + shell_quote(options_.resource_list_file) + " " + shell_quote(get_task_secret()) + " " +
                        shell_quote(meta_filename());
    if (fs::exists(options_.restriction_list_path))
      files += " " + shell_quote(snapshot_directory_path() + "/" +
                                 fs::path(options_.restriction_list_path).filename().string());
    for (const std::string& command :
         {remote(ssh_prefix, files), remote(ssh_prefix, "rmdir " + shell_quote(snapshot_directory_path()))}) {
      std::string output;
      if (run_host_command(command, output) != 0) {
        KvLogStream(KvLogLvl::Warning) << command_error(k_cleanup_sig, command, output) << std::endl;
        result = false;
      }
    }
    return result;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Warning) << k_cleanup_sig << ": " << error.what() << std::endl;
    return false;
  }
}
