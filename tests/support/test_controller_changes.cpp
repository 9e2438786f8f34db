// The test controller's change requests (vdisks, attachments, CD-ROM drives, VM creation and
// removal) and guest commands, with their effects on its state.

#include "tests/support/test_controller.h"

#include "tests/support/test_controller_detail.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace kv_test {
namespace {

namespace json = boost::json;
using detail::errors_body;
using detail::match;
using detail::reply_json;
using detail::text_of;

// The first hex digits of the ids the controller gives, per kind of entity.
constexpr unsigned int k_vdisk_kind = 0xd15c;
constexpr unsigned int k_cdrom_kind = 0xcd00;
constexpr unsigned int k_vm_kind = 0xd0a1;

void refuse(httplib::Response& response, const std::string& detail) {
  reply_json(response, 400, errors_body(detail));
}

void not_found(httplib::Response& response) { reply_json(response, 404, errors_body("Not found.")); }

void accepted(httplib::Response& response, const std::string& task_id, const std::string& entity = {}) {
  json::object body{{"_task", json::object{{"id", task_id}, {"status", "QUEUED"}, {"name", "test task"}}}};
  if (!entity.empty()) body["entity"] = entity;
  reply_json(response, 200, body);
}

bool name_taken(const std::vector<json::object>& items, const std::string& name) {
  return std::any_of(items.begin(), items.end(),
                     [&](const json::object& item) { return text_of(item, "verbose_name") == name; });
}

std::string domain_id_of(const json::object& item) {
  const json::value* domain = item.if_contains("domain");
  if (!domain) return {};
  if (domain->is_string()) return std::string(domain->get_string());  // a CD-ROM drive names its VM by id
  return domain->is_object() ? text_of(domain->get_object(), "id") : std::string();
}

// The disk a creation request asks for, attached to no VM.
json::object requested_vdisk(const std::string& vdisk_id, const json::object& body) {
  json::object disk =
      TestController::make_vdisk(vdisk_id, text_of(body, "verbose_name"), "", body.at("size").to_number<double>());
  disk["description"] = text_of(body, "description");
  disk["datapool"].as_object()["id"] = text_of(body, "datapool");
  if (const json::value* virtual_size = body.if_contains("virtual_size")) disk["virtual_size"] = *virtual_size;
  return disk;
}

}  // namespace

std::optional<json::object> TestController::vm(const std::string& id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const json::object* found = find(m_vms, id);
  return found ? std::optional<json::object>(*found) : std::nullopt;
}

std::optional<json::object> TestController::vdisk(const std::string& id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const json::object* found = find(m_vdisks, id);
  return found ? std::optional<json::object>(*found) : std::nullopt;
}

std::vector<json::object> TestController::vms() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_vms;
}

std::vector<json::object> TestController::vdisks() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_vdisks;
}

std::vector<json::object> TestController::cdroms() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_cdroms;
}

void TestController::set_attach_listener(DiskListener listener) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_attach_listener = std::move(listener);
}

void TestController::set_detach_listener(DiskListener listener) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_detach_listener = std::move(listener);
}

std::vector<Attachment> TestController::attachments() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_attachments;
}

void TestController::add_attachment(const std::string& vdisk_id, const std::string& vm_id,
                                    const std::string& serial) {
  DiskListener listener;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_attachments.push_back({vdisk_id, vm_id, serial});
    listener = m_attach_listener;
  }
  if (listener) listener(vdisk_id, vm_id, serial);
}

void TestController::remove_attachment(const std::string& vdisk_id, const std::string& vm_id) {
  std::vector<std::function<void()>> events;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    drop_attachments(vdisk_id, vm_id);
    events.swap(m_events);
  }
  for (const auto& event : events) event();
}

void TestController::set_vdisk_image(const std::string& vdisk_id, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_vdisk_images[vdisk_id] = path;
}

std::string TestController::vdisk_image(const std::string& vdisk_id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_vdisk_images.find(vdisk_id);
  return it == m_vdisk_images.end() ? std::string() : it->second;
}

void TestController::set_image_directory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_image_directory = directory;
}

void TestController::set_guest_program(const std::string& path, GuestProgram program) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_guest_programs[path] = std::move(program);
}

void TestController::add_guest_file(const std::string& vm_id, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_guest_files[vm_id].insert(path);
}

std::vector<GuestRun> TestController::guest_runs() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_guest_runs;
}

std::string TestController::new_entity_id(unsigned int kind) {
  const unsigned int n = m_next_entity++;
  char id[40];
  std::snprintf(id, sizeof id, "%04x%04x-%04x-4%03x-8000-%012x", kind & 0xffffu, n & 0xffffu, n & 0xffffu,
                n & 0xfffu, n);
  return id;
}

json::object* TestController::find_mutable(std::vector<json::object>& items, const std::string& id) {
  for (json::object& item : items)
    if (text_of(item, "id") == id) return &item;
  return nullptr;
}

void TestController::drop_attachments(const std::string& vdisk_id, const std::string& vm_id) {
  auto dropped = [&](const Attachment& a) {
    return (vdisk_id.empty() || a.vdisk_id == vdisk_id) && (vm_id.empty() || a.vm_id == vm_id);
  };
  for (const Attachment& a : m_attachments)
    if (dropped(a) && m_detach_listener)
      m_events.push_back([listener = m_detach_listener, a] { listener(a.vdisk_id, a.vm_id, a.serial); });
  m_attachments.erase(std::remove_if(m_attachments.begin(), m_attachments.end(), dropped), m_attachments.end());
}

void TestController::route_change(std::unique_lock<std::mutex>& lock, const RecordedRequest& request,
                                  const httplib::Request& raw, httplib::Response& response) {
  boost::system::error_code ec;
  const json::value parsed = json::parse(request.body, ec);
  if (ec || !parsed.is_object()) return refuse(response, "JSON parse error.");
  const json::object& body = parsed.get_object();

  std::vector<std::string> id;
  if (match("/api/domains/{}/guest-command/", request.path, id)) return guest_command(lock, id[0], body, response);

  // Every other change is asynchronous.
  if (raw.get_param_value("async") != "1") return refuse(response, "Only asynchronous requests are served here.");
  if (match("/api/vdisks/", request.path, id)) return create_vdisk(body, response);
  if (match("/api/vdisks/{}/remove/", request.path, id)) return remove_vdisk(id[0], response);
  if (match("/api/domains/{}/attach-vdisk/", request.path, id)) return attach_vdisk(id[0], body, response);
  if (match("/api/domains/{}/detach-vdisk/", request.path, id)) return detach_vdisk(id[0], body, response);
  if (match("/api/cdroms/", request.path, id)) return create_cdrom(body, response);
  if (match("/api/domains/multi-create-domain/", request.path, id)) return create_vm(body, response);
  if (match("/api/domains/{}/remove/", request.path, id)) return remove_vm(id[0], body, response);
  not_found(response);
}

void TestController::create_vdisk(const json::object& body, httplib::Response& response) {
  const std::string name = text_of(body, "verbose_name");
  const json::value* size = body.if_contains("size");
  if (name.empty() || !size || !size->is_number() || text_of(body, "datapool").empty())
    return refuse(response, "verbose_name, datapool and size are required.");
  if (m_rival_vdisk) {
    json::object rival = requested_vdisk(new_entity_id(k_vdisk_kind), body);
    for (const auto& member : *m_rival_vdisk) rival[member.key()] = member.value();
    m_vdisks.push_back(std::move(rival));
    m_rival_vdisk.reset();
  }
  if (name_taken(m_vdisks, name)) return refuse(response, "vdisk with this verbose_name already exists.");

  const std::string vdisk_id = new_entity_id(k_vdisk_kind);
  m_vdisks.push_back(requested_vdisk(vdisk_id, body));
  if (!m_image_directory.empty()) {
    const std::string path = m_image_directory + "/" + vdisk_id + ".img";
    std::ofstream(path, std::ios::app).close();
    m_vdisk_images[vdisk_id] = path;
  }
  accepted(response, start_task(vdisk_id), vdisk_id);
}

void TestController::remove_vdisk(const std::string& vdisk_id, httplib::Response& response) {
  if (!find(m_vdisks, vdisk_id)) return not_found(response);
  if (refuse_locked(vdisk_id, response)) return;
  if (std::any_of(m_attachments.begin(), m_attachments.end(),
                  [&](const Attachment& a) { return a.vdisk_id == vdisk_id; }))
    return refuse(response, "vdisk is attached to a VM.");
  accepted(response, start_task(vdisk_id, [this, vdisk_id] {
             m_vdisks.erase(std::remove_if(m_vdisks.begin(), m_vdisks.end(),
                                           [&](const json::object& disk) { return text_of(disk, "id") == vdisk_id; }),
                            m_vdisks.end());
           }));
}

void TestController::attach_vdisk(const std::string& vm_id, const json::object& body, httplib::Response& response) {
  const json::object* vm_record = find(m_vms, vm_id);
  if (!vm_record) return not_found(response);
  const std::string vdisk_id = text_of(body, "vdisk");
  const json::object* disk = find(m_vdisks, vdisk_id);
  if (!disk) return refuse(response, "vdisk not found.");
  if (refuse_locked(vdisk_id, response)) return;
  const bool attached = domain_id_of(*disk) == vm_id ||
                        std::any_of(m_attachments.begin(), m_attachments.end(), [&](const Attachment& a) {
                          return a.vdisk_id == vdisk_id && a.vm_id == vm_id;
                        });
  if (attached) return refuse(response, "vdisk is already attached to this VM.");
  const json::value* shareable = disk->if_contains("shareable");
  if (!(shareable && shareable->is_bool() && shareable->get_bool()) &&
      std::any_of(m_attachments.begin(), m_attachments.end(),
                  [&](const Attachment& a) { return a.vdisk_id == vdisk_id && a.vm_id != vm_id; }))
    return refuse(response, "vdisk is attached to another VM.");

  const Attachment attachment{vdisk_id, vm_id, text_of(body, "serial")};
  const std::string vm_name = text_of(*vm_record, "verbose_name");
  accepted(response, start_task(vdisk_id, [this, attachment, vm_name] {
             m_attachments.push_back(attachment);
             // A disk of no VM becomes the disk of the VM it is attached to.
             if (json::object* attached_disk = find_mutable(m_vdisks, attachment.vdisk_id);
                 attached_disk && domain_id_of(*attached_disk).empty())
               (*attached_disk)["domain"] = json::object{{"id", attachment.vm_id}, {"verbose_name", vm_name}};
             if (m_attach_listener)
               m_events.push_back([listener = m_attach_listener, attachment] {
                 listener(attachment.vdisk_id, attachment.vm_id, attachment.serial);
               });
           }));
}

void TestController::detach_vdisk(const std::string& vm_id, const json::object& body, httplib::Response& response) {
  if (!find(m_vms, vm_id)) return not_found(response);
  const std::string vdisk_id = text_of(body, "vdisk");
  const json::object* disk = find(m_vdisks, vdisk_id);
  if (!disk) return refuse(response, "vdisk not found.");
  if (refuse_locked(vdisk_id, response)) return;
  const bool attached = domain_id_of(*disk) == vm_id ||
                        std::any_of(m_attachments.begin(), m_attachments.end(), [&](const Attachment& a) {
                          return a.vdisk_id == vdisk_id && a.vm_id == vm_id;
                        });
  if (!attached) return refuse(response, "vdisk is not attached to this VM.");

  accepted(response, start_task(vdisk_id, [this, vdisk_id, vm_id] {
             drop_attachments(vdisk_id, vm_id);
             json::object* detached = find_mutable(m_vdisks, vdisk_id);
             if (detached && domain_id_of(*detached) == vm_id) (*detached)["domain"] = nullptr;
           }));
}

void TestController::create_cdrom(const json::object& body, httplib::Response& response) {
  const std::string name = text_of(body, "verbose_name");
  const std::string vm_id = text_of(body, "domain");
  if (name.empty() || !find(m_vms, vm_id)) return refuse(response, "verbose_name and an existing domain are required.");
  if (name_taken(m_cdroms, name)) return refuse(response, "cdrom with this verbose_name already exists.");
  const std::string cdrom_id = new_entity_id(k_cdrom_kind);
  m_cdroms.push_back(json::object{{"id", cdrom_id}, {"verbose_name", name}, {"domain", vm_id}});
  accepted(response, start_task({}), cdrom_id);
}

void TestController::remove_vm(const std::string& vm_id, const json::object& body, httplib::Response& response) {
  if (!find(m_vms, vm_id)) return not_found(response);
  const std::string key = text_of(body, "idempotency_key");
  if (key.empty()) return refuse(response, "idempotency_key is required.");
  // The same key names the same removal.
  if (const auto known = m_removal_keys.find(key); known != m_removal_keys.end())
    return accepted(response, known->second);

  const bool full = text_of(body, "full") == "true";
  const std::string task_id = start_task({}, [this, vm_id, full] {
    m_vms.erase(std::remove_if(m_vms.begin(), m_vms.end(),
                               [&](const json::object& vm_record) { return text_of(vm_record, "id") == vm_id; }),
                m_vms.end());
    drop_attachments("", vm_id);
    // A full removal takes the VM's own disks and drives with it.
    const auto owned = [&](const json::object& item) { return domain_id_of(item) == vm_id; };
    if (full) {
      for (const json::object& disk : m_vdisks)
        if (owned(disk)) drop_attachments(text_of(disk, "id"), "");
      m_vdisks.erase(std::remove_if(m_vdisks.begin(), m_vdisks.end(), owned), m_vdisks.end());
      m_cdroms.erase(std::remove_if(m_cdroms.begin(), m_cdroms.end(), owned), m_cdroms.end());
    }
  });
  m_removal_keys[key] = task_id;
  accepted(response, task_id);
}

void TestController::create_vm(const json::object& body, httplib::Response& response) {
  const std::string name = text_of(body, "verbose_name");
  if (name.empty()) return refuse(response, "verbose_name is required.");
  if (name_taken(m_vms, name)) return refuse(response, "domain with this verbose_name already exists.");
  std::vector<std::string> disk_ids;
  if (const json::value* disks = body.if_contains("vdisks"); disks && disks->is_array()) {
    for (const json::value& entry : disks->get_array()) {
      const std::string vdisk_id = entry.is_object() ? text_of(entry.get_object(), "vdisk") : std::string();
      if (!find(m_vdisks, vdisk_id)) return refuse(response, "vdisk not found.");
      disk_ids.push_back(vdisk_id);
    }
  }

  const std::string vm_id = new_entity_id(k_vm_kind);
  json::object vm_record = make_vm(vm_id, name);
  // The members the request carries under the same key replace the template's.
  for (const char* key : {"description", "graphics_password", "memory_count", "os_type", "os_version", "boot_type",
                          "machine", "tags",
                          "owners", "start_on_boot", "thin", "template", "tpm_device", "cloud_init"})
    if (const json::value* value = body.if_contains(key)) vm_record[key] = *value;
  json::array boot_devices;
  for (const std::string& vdisk_id : disk_ids) {
    boot_devices.push_back(json::object{{"id", vdisk_id}, {"entity_type", "vdisk"}});
    if (json::object* disk = find_mutable(m_vdisks, vdisk_id))
      (*disk)["domain"] = json::object{{"id", vm_id}, {"verbose_name", name}};
  }
  vm_record["boot_devices"] = std::move(boot_devices);
  m_vms.push_back(std::move(vm_record));
  accepted(response, start_task({}), vm_id);
}

void TestController::guest_command(std::unique_lock<std::mutex>& lock, const std::string& vm_id,
                                   const json::object& body, httplib::Response& response) {
  if (!find(m_vms, vm_id)) return not_found(response);
  const json::value* fargs = body.if_contains("fargs");
  const json::value* timeout = body.if_contains("timeout");
  if (text_of(body, "qemu_cmd") != "guest-exec" || !fargs || !fargs->is_object() || !timeout)
    return refuse(response, "qemu_cmd, fargs and timeout are required.");
  GuestRun run{vm_id, text_of(fargs->get_object(), "path"), {}, json::serialize(*timeout)};
  if (const json::value* args = fargs->get_object().if_contains("arg"); args && args->is_array())
    for (const json::value& arg : args->get_array())
      run.args.push_back(arg.is_string() ? std::string(arg.get_string()) : json::serialize(arg));
  m_guest_runs.push_back(run);

  GuestProgram program;
  if (const auto known = m_guest_programs.find(run.path); known != m_guest_programs.end()) {
    program = known->second;
  } else if (run.path == "/usr/bin/test" && run.args.size() == 2 && (run.args[0] == "-f" || run.args[0] == "-e")) {
    program.exitcode = std::string(m_guest_files[vm_id].count(run.args[1]) ? "0" : "1");
  } else {
    program.errors = json::serialize(json::array{json::object{
        {"detail", "Failed to execute child process \"" + run.path + "\" (No such file or directory)"}}});
  }

  if (program.delay.count() > 0) m_stopping_cv.wait_for(lock, program.delay, [this] { return m_stopping; });
  if (!program.errors.empty()) return reply_json(response, 400, "{\"errors\": " + program.errors + "}");
  std::string status;
  if (!program.exitcode.empty()) status += "\"exitcode\": " + program.exitcode;
  if (!program.exited.empty()) status += std::string(status.empty() ? "" : ", ") + "\"exited\": " + program.exited;
  reply_json(response, 200, "{\"guest-exec\": {" + status + "}}");
}

void TestController::set_rival_vdisk(json::object changes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_rival_vdisk = std::move(changes);
}

}  // namespace kv_test
