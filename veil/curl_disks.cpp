#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "veil/bounded_parse.h"
#include "veil/curl_signatures.h"
#include "veil/json_escape.h"

#include <exception>

// Every change here is one asynchronous POST whose reply names a task. The ids read from a
// reply go to the caller only when the whole reply was accepted: a record loaded from a backup
// still holds the id of the original disk or VM, and a reply without "entity" must never leave
// that id in place as if it were the new one (the restore would then write over the original).

namespace {

using kv_veil::json_quoted;
using kv_veil::json_quoted_stripped;
using kv_veil::json_raw;
using kv_veil::k_create_vdisk_sig;
constexpr std::string_view k_detach_sig = kv_veil::k_detach_vdisks_sig;
constexpr std::string_view k_detach_remove_sig = kv_veil::k_detach_and_remove_sig;

constexpr std::string_view k_remove_vdisk_sig = "int curlAPI::remove_vdisk(const string&, std::string&)";
constexpr std::string_view k_operate_sig = kv_veil::k_operate_with_disk_sig;
constexpr std::string_view k_create_cdrom_sig = "int curlAPI::create_cdrom(const string&, std::string&, std::string&)";
constexpr std::string_view k_delete_domain_sig = "int curlAPI::delete_domain(const string&, std::string&)";

// How many characters of the VM id name its CD-ROM drive.
constexpr size_t k_cdrom_id_chars = 8;

}  // namespace

void curlAPI::log_refused_body(std::string_view sig, const std::string& body) const {
  KvLogStream(KvLogLvl::Error) << sig << ": the following POST request produced an error: '" << masked(body) << "'"
                               << std::endl;
}

std::string curlAPI::create_vdisk_body(const vdisk& disk) {
  return "{\"description\": " + json_quoted_stripped(disk.description) +
         ", \"verbose_name\": " + json_quoted_stripped(disk.verbose_name) +
         ", \"preallocation\": false, \"datapool\": " + json_quoted(disk.datapool.id) +
         ", \"size\": " + json_raw(disk.size) + ", \"virtual_size\": " + json_raw(disk.virtual_size) +
         ", \"preallocation_type\": \"falloc\"}";
}

int curlAPI::create_vdisk(vdisk& disk, std::string& task_id) {
  if (get_free_instance_name("vdisk", disk.verbose_name) != 0) return 2;
  const std::string body = create_vdisk_body(disk);
  std::string reply;
  if (post_change("/api/vdisks/?async=1", body, reply) != 0) return 2;
  std::string entity;
  std::string task;
  if (get_entity_and_task_id(reply, entity, task) != 0) {
    log_refused_body(k_create_vdisk_sig, body);
    return 7;
  }
  disk.id = std::move(entity);
  task_id = std::move(task);
  return 0;
}

int curlAPI::remove_vdisk(const std::string& vdisk_id, std::string& task_id) {
  const std::string body = R"({"force": false, "guaranteed": false, "clean_type": "zero", "clean_count": 1})";
  std::string reply;
  if (post_change("/api/vdisks/" + vdisk_id + "/remove/?async=1", body, reply) != 0) return 2;
  std::string task;
  if (get_task_id(reply, task) != 0) {
    log_refused_body(k_remove_vdisk_sig, body);
    return 6;
  }
  task_id = std::move(task);
  return 0;
}

bool curlAPI::vdisk_gone(const std::string& vdisk_id) {
  try {
    std::string reply;
    if (process_curl_api_request(conf.url + "/api/vdisks/" + vdisk_id + "/", GET, reply, "", nullptr) != 0 ||
        http_code != 404)
      return false;
    const boost::json::value parsed = kv_veil::parse_bounded_or_null(reply);
    return parsed.is_object() && parsed.get_object().contains("errors");
  } catch (const std::exception& error) {
    KvLogStream(KvLogLvl::Error) << k_remove_vdisk_sig << ": exception:" << error.what() << std::endl;
  }
  return false;
}

int curlAPI::operate_with_disk(const std::string& vm_id, const std::string& vdisk_id, const std::string& operation,
                               std::string& task_id, const std::string& serial) {
  // A detach is announced with the same words as an attach.
  KvLogStream(KvLogLvl::Info) << operation << "ing the disk '" << vdisk_id << "' to VM '" << vm_id << "' ..."
                              << std::endl;
  std::string body = "{\"vdisk\": " + json_quoted(vdisk_id);
  if (!serial.empty()) body += ", \"serial\": " + json_quoted(serial);
  body += "}";
  std::string reply;
  if (post_change("/api/domains/" + vm_id + "/" + operation + "-vdisk/?async=1", body, reply) != 0) return 2;
  std::string task;
  if (get_task_id(reply, task) != 0) {
    log_refused_body(k_operate_sig, body);
    return 6;
  }
  task_id = std::move(task);
  return 0;
}

int curlAPI::create_cdrom(const std::string& vm_id, std::string& cdrom_id, std::string& task_id) {
  std::string name = "cdrom-" + vm_id.substr(0, k_cdrom_id_chars);
  if (get_free_instance_name("cdrom", name) != 0) return 2;
  const std::string body = "{\"verbose_name\": " + json_quoted(name) + ", \"domain\": " + json_quoted(vm_id) + "}";
  std::string reply;
  if (post_change("/api/cdroms/?async=1", body, reply) != 0) return 2;
  std::string entity;
  std::string task;
  if (get_entity_and_task_id(reply, entity, task) != 0) {
    log_refused_body(k_create_cdrom_sig, body);
    return 7;
  }
  cdrom_id = std::move(entity);
  task_id = std::move(task);
  return 0;
}

int curlAPI::delete_domain(const std::string& vm_id, std::string& task_id) {
  // A new key for every call: two calls are two distinct removal requests.
  std::string key;
  if (generate_uuid_v4(key) != 0) return 7;
  // The controller has always been sent exactly this spacing and these string flags.
  const std::string body = "{\"full\":\"true\", \"force\" :\"false\", \"idempotency_key\":" + json_quoted(key) + "}";
  std::string reply;
  if (post_change("/api/domains/" + vm_id + "/remove/?async=1", body, reply) != 0) return 2;
  std::string task;
  if (get_task_id(reply, task) != 0) {
    log_refused_body(k_delete_domain_sig, body);
    return 7;
  }
  task_id = std::move(task);
  return 0;
}

int curlAPI::detach_vdisks(const std::vector<std::string>& vdisk_ids, const std::string& vm_id) {
  int result = 0;
  // One disk that does not come off must not keep the others attached.
  for (const std::string& id : vdisk_ids) {
    std::string task;
    if (operate_with_disk(vm_id, id, "detach", task, "") == 0 && wait_for_task_completion(task) == 0) {
      KvLogStream(KvLogLvl::Info) << "Disk '" << id << "' was detached from VM '" << vm_id << "'" << std::endl;
    } else {
      KvLogStream(KvLogLvl::Error) << k_detach_sig << ": unable to detach vdisk '" << id << "' from VM '" << vm_id
                                   << "'" << std::endl;
      result = 2;
    }
  }
  return result;
}

void curlAPI::detach_and_remove_vdisks(const std::vector<std::string>& vdisk_ids, const std::string& vm_id) {
  // A disk that was never attached fails to detach and is still removed.
  (void)detach_vdisks(vdisk_ids, vm_id);
  for (const std::string& id : vdisk_ids) {
    std::string task;
    if (remove_vdisk(id, task) != 0 || wait_for_task_completion(task) != 0)
      KvLogStream(KvLogLvl::Error) << k_detach_remove_sig << ": unable to remove vdisk '" << id << "'" << std::endl;
  }
}
