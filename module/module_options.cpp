// The command line of a module run and the module parameter string given with -e.

#include "module/kv_modules_common.h"

#include "common/kv_logger.h"

#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include <algorithm>
#include <charconv>
#include <exception>
#include <initializer_list>
#include <iostream>
#include <string>
#include <vector>

namespace po = boost::program_options;

namespace {

constexpr const char* k_parse_signature =
    "bool KvModuleUniversal::parse_module_options(int, char**, KvModuleOptions&)";
constexpr const char* k_param_signature = "void KvModuleUniversal::parce_param_string()";

constexpr int32_t k_default_snapshot_size = 10;

bool is_one_of(KvModuleOperations operation, std::initializer_list<KvModuleOperations> allowed) {
  for (KvModuleOperations candidate : allowed)
    if (operation == candidate) return true;
  return false;
}

bool is_data_operation(KvModuleOperations operation) { return operation >= Backup && operation <= ApplyReplica; }

// An unsigned option value: decimal digits only. The library's own conversion takes "-5" and
// wraps it around to 4294967291.
struct unsigned_value {
  uint32_t value = 0;
};

void validate(boost::any& stored, const std::vector<std::string>& values, unsigned_value*, int) {
  po::validators::check_first_occurrence(stored);
  const std::string& text = po::validators::get_single_string(values);
  unsigned_value result;
  const char* const end = text.data() + text.size();
  const auto [after, error] = std::from_chars(text.data(), end, result.value, 10);
  if (error != std::errc() || after != end)
    throw po::invalid_option_value(text);
  stored = result;
}

auto unsigned_option(uint32_t& field) {
  return po::value<unsigned_value>()->notifier([&field](const unsigned_value& given) { field = given.value; });
}

// The library's messages substitute placeholders such as "%value%" until none is left, so a
// value or an option that holds one never ends. A fixed text naming the option as typed instead.
std::string describe(const po::error_with_option_name& error) {
  const std::string option = "'" + error.get_option_name() + "'";
  if (dynamic_cast<const po::unknown_option*>(&error) != nullptr) return "unrecognised option " + option;
  if (dynamic_cast<const po::ambiguous_option*>(&error) != nullptr) return "option " + option + " is ambiguous";
  if (dynamic_cast<const po::multiple_occurrences*>(&error) != nullptr)
    return "option " + option + " cannot be specified more than once";
  if (const auto* syntax = dynamic_cast<const po::invalid_command_line_syntax*>(&error);
      syntax != nullptr && syntax->kind() == po::invalid_syntax::missing_parameter)
    return "the required argument for option " + option + " is missing";
  return "the argument for option " + option + " is invalid";
}

void describe_options(po::options_description& description, KvModuleOptions& options) {
  // clang-format off
  description.add_options()
    ("help,h", "this message")
    ("version,V", "show version")
    ("update-config,u", po::value<std::string>(&options.configs_list),
     "Update configuration file. Format: '<old config>:<new config>:<update config>' "
     "(Old config and/or update config may be empty. New config must be)")
    ("full,1", "Define full backup")
    ("incr,2", "Define inc backup")
    ("diff,3", "Define diff backup")
    ("autonomous", "Autonomous mode")
    ("show-backup-options", "Show special backup options for autonomous mode")
    ("show-module-properties", "Show module properties")
    ("create-replica,A", po::value<std::string>(&options.resource), "Create a replica of resource")
    ("is-archiving-supported,a", "Is archiving supported?")
    ("backup,b", po::value<std::string>(&options.resource), "Backup a resource")
    ("backup_list,B", po::value<std::string>(&options.resource),
     "Path to a json file containing list of resources to backup")
    ("crypto,C", po::value<std::string>(&options.crypto), "Crypto algorithm")
    ("list-headers,c", "List headers, if module is not browsable")
    ("is-dedup-supported,D", "Is deduplication supported?")
    ("tmp-operation-directory,d", po::value<std::string>(&options.tmp_operation_directory),
     "Temporary operation directory")
    ("module-params,e", po::value<std::string>(&options.module_params), "Module parameters")
    ("archive-to-patch,i", po::value<std::string>(&options.archive_to_patch), "Archive to patch")
    ("local-restrictions,j", "Enable local restrictions")
    ("key-file,k", po::value<std::string>(&options.key_file), "Crypto algorithm")
    ("list-all-resource,l", "List all resource, if module is not browsable")
    ("list-all-resource--with-headers,L", "List all resource with headers, if module is not browsable")
    ("media-server,m", po::value<std::string>(&options.media_server), "Define media server")
    ("archive-name,n", po::value<std::string>(&options.archive_name), "Define created archive name")
    ("meta-file,M", po::value<std::string>(&options.meta_file), "Define meta or snapshot file name")
    ("parallelism,p", unsigned_option(options.parallelism), "Parallelism")
    ("apply-replica,R", po::value<std::string>(&options.record_id), "Apply replica record ID")
    ("restore,r", po::value<std::string>(&options.record_id), "Restore record ID")
    ("reference-snapshot,s", po::value<std::string>(&options.reference_snapshot), "Reference snapshot")
    ("task-id,T", po::value<std::string>(&options.task_id), "Task ID")
    ("check-client,t", "Check whether the module can work on the client")
    ("compress,z", po::value<int32_t>(&options.compress), "Compress")
    ("granular-list,f", po::value<std::string>(&options.granular_list), "List of files for granular restore")
    ("granular-entities,g", po::value<std::string>(&options.granular_entities),
     "List of entities for granular restore")
    ("dgst", "generate signature for backup")
    ("restore-parameters,o", "List restore parameters")
    ("memory-threshold,G", unsigned_option(options.memory_threshold), "Allowed amount of memory")
    ("delete_from_client_defined_storage", po::value<std::string>(&options.client_defined_storage_json),
     "Delete the backup according to the json content from client defined storage")
    ("verify_in_client_defined_storage",
     "Verify the backup according to the json content in client defined storage")
    ("need_esign", "Check if esign info is needed for operation")
    ("sign_hash", po::value<std::string>(&options.sign_hash), "Signature hash")
    ("esign", po::value<std::string>(&options.esign), "Signature json")
    ("client-archive", po::value<std::string>(&options.archive_name), "Archive name for client restore.");
  // clang-format on
}

// The switches that only select an operation, in the order they are examined; each is
// accepted only as the first operation of the command line.
struct OperationSwitch {
  const char* name;
  KvModuleOperations operation;
};
constexpr OperationSwitch k_operation_switches[] = {
    {"version", ShowVersion},
    {"update-config", UpgradeConfig},
    {"list-headers", ListHeaderLabels},
    {"list-all-resource--with-headers", ListAllResourcesWithHeaders},
    {"delete_from_client_defined_storage", DeleteFromClientDefinedStorage},
    {"verify_in_client_defined_storage", VerifyInClientDefinedStorage},
    {"show-backup-options", ShowBackupOptions},
    {"show-module-properties", ShowModuleProperties},
    {"check-client", CheckClient},
    {"list-all-resource", ListAllResources},
};

struct BackupTypeSwitch {
  const char* name;
  uint32_t backup_type;
};
constexpr BackupTypeSwitch k_backup_type_switches[] = {{"full", 1}, {"incr", 2}, {"diff", 3}};

// The rules on combinations. False means the command line is refused; the only message is the
// one Error line of the rule that refused it.
bool check_combinations(const po::variables_map& given, KvModuleOptions& options) {
  auto has = [&given](const char* name) { return given.count(name) != 0; };
  auto refuse = [](const std::string& message) {
    KvLogStream(KvLogLvl::Error) << message << std::endl;
    return false;
  };
  KvModuleOperations& op = options.operation;

  for (const auto& entry : k_operation_switches) {
    if (!has(entry.name)) continue;
    if (op != OperationNone) return false;
    op = entry.operation;
  }
  for (const auto& entry : k_backup_type_switches) {
    if (!has(entry.name)) continue;
    if (op != OperationNone) return false;
    op = IsBackupTypeSupported;
    options.backup_type = entry.backup_type;
  }
  if (has("is-dedup-supported")) {
    if (op != OperationNone) return false;
    op = IsDedupSupported;
  }
  if (has("backup")) {
    if (!is_one_of(op, {OperationNone, IsBackupTypeSupported})) return false;
    op = Backup;
    if (options.resource.empty()) return refuse("Resource is empty");
  }
  if (has("backup_list")) {
    if (!is_one_of(op, {OperationNone, IsBackupTypeSupported})) return false;
    op = BackupList;
    if (options.resource.empty()) return refuse(std::string(k_parse_signature) + ": resource is empty");
    if (!options.resource_list.parse_json_file(options.resource))
      return refuse(std::string(k_parse_signature) + ": can't parse json file: " + options.resource);
  }
  if (has("restore")) {
    if (op != OperationNone) return false;
    op = Restore;
    if (options.record_id.empty())
      return refuse("You must define restore object, record ID in server mode or archive file for authonomous mode");
  }
  if (has("apply-replica")) {
    if (op != OperationNone) return false;
    op = ApplyReplica;
    if (options.record_id.empty()) return refuse("Record ID is empty");
  }
  if (has("create-replica")) {
    if (!is_one_of(op, {OperationNone, IsBackupTypeSupported})) return false;
    op = CreateReplica;
    if (options.resource.empty()) return refuse("Resource is empty");
  }
  if (has("autonomous")) {
    if (op == OperationNone) {
      op = IsAutonomousSupported;
    } else {
      if (!is_one_of(op, {Backup, BackupList, Restore})) return false;
      if (!options.media_server.empty()) return refuse("Can't use media server with autonomous mode");
      options.autonomous = true;
    }
  }
  if (has("tmp-operation-directory")) {
    if (!is_data_operation(op)) return false;
    if (op == ApplyReplica) options.destination = options.tmp_operation_directory;
  }
  if (has("module-params")) {
    if (!is_data_operation(op) && !is_one_of(op, {DeleteFromClientDefinedStorage, VerifyInClientDefinedStorage}))
      return false;
  }
  if (has("compress")) {
    if (!is_data_operation(op)) return false;
    if (options.compress <= 0 || options.compress > 4) options.compress = 1;
  }
  if (has("local-restrictions")) {
    if (!is_one_of(op, {Backup, BackupList, CreateReplica})) return false;
    options.local_restrictions = true;
  }
  if (has("archive-name")) {
    if (!is_one_of(op, {Backup, BackupList, CreateReplica})) return false;
  }
  if (has("is-archiving-supported")) {
    if (op == OperationNone) {
      op = IsArchivingSupported;
    } else {
      if (!is_one_of(op, {Backup, BackupList}) || options.backup_type != 1) return false;
      options.archiving = true;
      std::cout << "Archiving mode: the module '" << options.program_path
                << "' will delete the resource after the task is completed" << std::endl;
    }
  }
  if (has("reference-snapshot")) {
    if (!is_one_of(op, {Backup, BackupList})) return false;
    if (options.backup_type == 1) return refuse("Reference snapshot cannot be defined for full backup.");
  }
  if (has("media-server")) {
    if (!is_data_operation(op)) return false;
    if (options.autonomous) return refuse("Can't use a media server with autonomous mode");
  }
  if (has("task-id")) {
    const bool storage_operation = is_one_of(op, {DeleteFromClientDefinedStorage, VerifyInClientDefinedStorage});
    if (!is_data_operation(op) && !storage_operation)
      return refuse("Operation " + std::to_string(op) + " incompatible with task ID");
    if (options.media_server.empty() && !storage_operation && !options.autonomous)
      return refuse("You must define media-server before task ID");
  }
  if (has("granular-list")) {
    if (op != Restore) return refuse("The '-r' option must also be specified for granular restore");
  }
  if (has("dgst")) {
    if (is_one_of(op, {Backup, BackupList, CreateReplica})) options.dgst = true;
  }
  if (has("restore-parameters")) {
    if (op != OperationNone) return false;
    op = ListRestoreParameters;
  }
  if (has("need_esign")) options.need_esign = true;
  // The restore directory is made inside this directory; without one it would land at the root
  // of the file system.
  if (op == Restore && !options.need_esign && options.tmp_operation_directory.empty())
    return refuse("Restore module: you must define tmp_operation_directory directory.");
  return true;
}

}  // namespace

bool KvModuleUniversal::parse_module_options(int argc, char** argv, KvModuleOptions& options) {
  if (argc > 0 && argv[0] != nullptr) options.program_path = argv[0];
  if (argc <= 1) {
    usage(options);
    return false;
  }
  try {
    po::options_description description("Options description", 80, 40);
    describe_options(description, options);
    po::variables_map given;
    po::store(po::parse_command_line(argc, argv, description), given);
    po::notify(given);

    if (given.count("help")) {
      usage(options);
      std::cout << description << std::endl;
      return true;
    }
    if (!check_combinations(given, options)) return false;
    parce_param_string();
    return true;
  } catch (const po::error_with_option_name& error) {
    KvLogStream(KvLogLvl::Error) << k_parse_signature << ": " << describe(error) << std::endl;
    return false;
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_parse_signature << ": " << error.what() << std::endl;
    return false;
  }
}

void KvModuleUniversal::parce_param_string() {
  const std::string& text = options_.module_params;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    std::string::size_type end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;

    const std::string::size_type colon = piece.find(':');
    if (colon == std::string::npos || colon + 1 == piece.size()) {
      KvLogStream(KvLogLvl::Warning) << k_param_signature << ": " << "Separator '" << ":"
                                     << "' is not found in string: " << piece << std::endl;
      continue;
    }
    const std::string key = piece.substr(0, colon);
    const std::string value = piece.substr(colon + 1);
    const bool yes = value == "t" || value == "true";

    if (key == "kvd_hash_algorithm") {
      kvd_hash_algorithm = value;
    } else if (key == "kvd_hash_length") {
      kvd_hash_length = std::stoi(value);  // a bad number fails the whole command line
    } else if (key == "kvd_block_size") {
      kvd_block_size = std::stoi(value);
    } else if (std::find(kvfd_flag_names.begin(), kvfd_flag_names.end(), key) != kvfd_flag_names.end()) {
      kvfd_flags[key] = value;
    } else if (key == "file_list") {
      file_list = yes;
    } else if (key == "numeric_owner") {
      numeric_owner = yes;
    } else if (key == "last") {
      last = value == "true";
    } else if (key == "tmp_catalog") {
      tmp_catalog = value;
    } else if (key == "without_deployment_restore") {
      if (value == "yes") without_deployment_restore = true;
    } else if (key == "use_snapshot") {
      if (yes) use_snapshot = true;
    } else if (key == "ignore_errors_snapshot") {
      if (value == "f" || value == "false") ignore_errors_snapshot = false;
    } else if (key == "snapshot_type") {
      if (value == "lvm" || value == "dattobd")
        snapshot_type = value;
      else
        KvLogStream(KvLogLvl::Warning) << "Wrong value of " << "snapshot_type" << ", ignore..." << std::endl;
    } else if (key == "snapshot_size" || key == "lvm_snapshot_size") {
      int32_t size = 0;
      try {
        size = std::stoi(value);
      } catch (const std::exception&) {
        KvLogStream(KvLogLvl::Error) << k_param_signature << ": can't convert " << value << " to int" << std::endl;
        continue;
      }
      if (size < 1) {
        KvLogStream(KvLogLvl::Warning) << "Wrong OS snaphot size: " << size << ", set to default value: "
                                       << k_default_snapshot_size << "%" << std::endl;
        size = k_default_snapshot_size;
      }
      snapshot_size = size;
      if (key == "lvm_snapshot_size") {
        use_snapshot = true;
        snapshot_type = "lvm";
      }
    } else {
      std::string* script = nullptr;
      if (key == "script_before_snapshot") script = &script_before_snapshot_;
      if (key == "script_after_snapshot") script = &script_after_snapshot_;
      if (key == "script_error_snapshot") script = &script_error_snapshot_;
      boost::system::error_code error;
      if (script != nullptr && boost::filesystem::is_regular_file(value, error)) *script = value;
      special_params.emplace(key, value);
    }
  }
  load_custom_module_parameters();
}
