#include "tests/support/test_controller.h"

#include "tests/support/test_controller_detail.h"

#include <httplib.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace kv_test {
namespace {

namespace json = boost::json;
using detail::errors_body;
using detail::match;
using detail::reply_json;
using detail::text_of;

// The shape of a VeiL all-content reply: every key the client reads and a few it ignores.
constexpr const char* k_vm_template = R"({
  "id": "", "verbose_name": "", "description": "Test VM \"main\"",
  "guest_utils": {"qemu_state": true, "version": "7.2.0", "hostname": "guest", "ipv4": ["192.168.10.5"]},
  "start_on_boot": false, "status": "ACTIVE", "user_power_state": 3,
  "cpu_topology": {"cpu_map": {"1": ["2", "3"], "0": ["0", "1"]}, "cpu_mode": "host-model", "cpu_cores": 1,
    "cpu_count": 2, "cpu_model": "default", "cpu_shares": 1024, "cpu_sockets": 2, "cpu_threads": 1,
    "cpu_priority": 10, "cpu_count_max": 4, "cpu_min_guarantee": 0, "cpu_features_required": ["vmx", "aes"]},
  "cpu_type": "Other", "tpm_device": null, "memory_count": 2048, "memory_min_guarantee": 0,
  "memory_shares": 1024, "memory_limit": 0, "applied_snapshot": null, "template": false, "parent": null,
  "thin": false, "owners": [{"id": "5b3f9a52-0000-4000-8000-000000000001", "username": "admin"}],
  "os_type": "Linux", "os_version": "Debian 12",
  "os_defaults": {"controllers": {"vdisk": {"target_bus": "virtio"}, "vmachineinf": {"nic_driver": "virtio"}},
    "video": {"type": "virtio"}, "sound": {"model": "ich6", "codec": "micro"},
    "os_version": {"debian12": "Debian 12"}},
  "node": {"id": "9d1c0a3e-0000-4000-8000-000000000002", "verbose_name": "node-1"},
  "resource_pool": {"id": "c2e5d1f0-0000-4000-8000-000000000003", "verbose_name": "Default resource pool"},
  "cluster": "0a6f5c2b-0000-4000-8000-000000000004", "cloud_init": false, "ha_enabled": false,
  "ha_autoselect": false, "ha_nodepolicy": ["node-1"], "ha_boot_order": 0, "ha_retrycount": 5,
  "ha_timeout": 60, "ha_options_cluster_sync": true, "ha_boot_delay": 0, "ha_boot_agent": false,
  "graphics_password": "Gr4phics-pw", "remote_access_allow_all": false, "remote_access": true,
  "remote_access_white_list": [{"ip_addr": "10.0.0.1", "comment": "admin desk"}],
  "video": {"type": "virtio", "vram": 16384, "heads": 1},
  "sound": {"codec": "micro", "model": "ich6", "enabled": false},
  "machine": "pc-q35-7.2", "clean_count": 1, "clean_type": "zero", "safety": false,
  "disastery_enabled": false, "bootmenu": false, "bootmenu_timeout": 3, "boot_type": "LegacyMBR",
  "watchdog": {"enabled": true, "model": "i6300esb", "action": "reset"},
  "controllers": {"ide": [], "pci": [{"model": "pcie-root"}], "usb": [{"model": "qemu-xhci"}], "sata": [{}],
    "scsi": [{"model": "virtio-scsi"}]},
  "tags": [{"colour": "#ff0000", "verbose_name": "prod"}],
  "vmachine_infs": [{"id": "7e0f4b1d-0000-4000-8000-000000000005", "name": "vnet0",
    "mac_address": "52:54:00:12:34:56", "nic_driver": "virtio",
    "vnetwork_info": {"id": "3c8a2e6f-0000-4000-8000-000000000006", "verbose_name": "default",
      "entity_type": "vnetworks"},
    "link_state": "up", "qos": {"inbound": {"average": 0, "peak": 0, "burst": 0},
      "outbound": {"average": 1000, "peak": 2000, "burst": 1024}}}],
  "boot_devices": [{"id": "", "entity_type": "vdisk"}],
  "created": "2024-01-01T00:00:00Z", "vdisks_count": 1
})";

constexpr const char* k_vdisk_template = R"({
  "id": "", "verbose_name": "", "description": "", "locked_by": null, "entity_type": "vdisk",
  "status": "ACTIVE", "readonly": false, "virtual_size": 21474836480,
  "datapool": {"id": "1f2e3d4c-0000-4000-8000-000000000007", "verbose_name": "Base datapool", "type": "local"},
  "size": 20.0, "domain": null, "disk_type": "qcow2", "device": "disk", "io": "native", "owners": [],
  "driver_type": "qcow2", "driver_cache": "none", "source": "", "io_tune": {"total_bytes_sec": null,
    "read_bytes_sec": null, "write_bytes_sec": null, "total_iops_sec": null, "read_iops_sec": null,
    "write_iops_sec": null, "total_bytes_sec_max": null, "read_bytes_sec_max": null,
    "write_bytes_sec_max": null, "total_iops_sec_max": null, "read_iops_sec_max": null,
    "write_iops_sec_max": null, "size_iops_sec": null, "total_bytes_sec_max_length": null,
    "read_bytes_sec_max_length": null, "write_bytes_sec_max_length": null,
    "total_iops_sec_max_length": null, "read_iops_sec_max_length": null, "write_iops_sec_max_length": null},
  "shareable": false, "ssd": false, "target_bus": "virtio", "actual_source": "", "target_dev": "vda",
  "snapshots": [], "consolidated": true, "hints": 0, "created": "2024-01-01T00:00:00Z"
})";

// The reply's body after `padding` blanks, streamed a MiB at a time.
void pad_reply(httplib::Response& response, size_t padding) {
  auto body = std::make_shared<std::string>(std::move(response.body));
  const std::string type = response.get_header_value("Content-Type");
  response.body.clear();
  response.headers.erase("Content-Type");
  const auto provide = [padding, body](size_t offset, size_t length, httplib::DataSink& sink) {
    static const std::string blanks(size_t{1} << 20, ' ');
    if (offset < padding) return sink.write(blanks.data(), std::min({length, padding - offset, blanks.size()}));
    return sink.write(body->data() + (offset - padding), length);
  };
  response.set_content_provider(padding + body->size(), type, provide);
}

// A gateway's own reply in place of whatever the controller answered.
void gateway_reply(httplib::Response& response, const Fault& fault) {
  response.status = fault.status;
  response.headers.erase("Content-Type");
  const bool json = fault.body.starts_with('{');
  const bool html = fault.body.starts_with('<');
  response.set_content(fault.body, json ? "application/json" : html ? "text/html" : "text/plain");
}

size_t size_param(const httplib::Request& raw, const std::string& name, size_t fallback) {
  if (!raw.has_param(name)) return fallback;
  try {
    return static_cast<size_t>(std::stoul(raw.get_param_value(name)));
  } catch (const std::exception&) {
    return fallback;
  }
}

}  // namespace

namespace detail {

std::string errors_body(const std::string& detail) {
  boost::json::object error;
  error["detail"] = detail;
  boost::json::object body;
  body["errors"] = boost::json::array{error};
  return boost::json::serialize(body);
}

void reply_json(httplib::Response& response, int status, const std::string& body) {
  response.status = status;
  response.set_content(body, "application/json");
}

void reply_json(httplib::Response& response, int status, const boost::json::value& body) {
  reply_json(response, status, boost::json::serialize(body));
}

bool match(std::string_view pattern, std::string_view path, std::vector<std::string>& captures) {
  captures.clear();
  size_t p = 0;
  size_t s = 0;
  while (p < pattern.size()) {
    if (pattern.compare(p, 2, "{}") == 0) {
      const size_t end = path.find('/', s);
      if (end == std::string_view::npos || end == s) return false;
      captures.emplace_back(path.substr(s, end - s));
      s = end;
      p += 2;
    } else {
      if (s >= path.size() || path[s] != pattern[p]) return false;
      ++s;
      ++p;
    }
  }
  return s == path.size();
}

std::string text_of(const boost::json::object& object, std::string_view key) {
  const boost::json::value* value = object.if_contains(key);
  return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

}  // namespace detail

std::string RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return {};
}

bool RecordedRequest::has_header(const std::string& name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& header) { return strcasecmp(header.first.c_str(), name.c_str()) == 0; });
}

TestController::TestController() : TestController(Options{}) {}

TestController::TestController(Options options) : m_options(std::move(options)) {}

struct TestController::Deferred {
  RecordedRequest request;
  httplib::Request raw;
  std::chrono::steady_clock::time_point due;
};

TestController::~TestController() { stop(); }

int TestController::listen_on(int port) {
  if (m_options.https)
    m_server = std::make_unique<httplib::SSLServer>(m_options.cert_file.c_str(), m_options.key_file.c_str());
  else
    m_server = std::make_unique<httplib::Server>();
  if (!m_server->is_valid()) {
    m_server.reset();
    throw std::runtime_error("test controller: server not valid (certificate or key?)");
  }
  const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response);
  };
  m_server->set_tcp_nodelay(true);  // no Nagle delay between the head and the body of a reply
  m_server->Get(".*", handler);
  m_server->Post(".*", handler);
  const int bound = port == 0 ? m_server->bind_to_any_port("127.0.0.1")
                              : (m_server->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound < 0) {
    m_server.reset();
    return -1;
  }
  m_thread = std::thread([this] { m_server->listen_after_bind(); });
  return bound;
}

void TestController::go_away(std::chrono::milliseconds outage) {
  // Closes the listening socket at once; the server's thread ends once the requests under way
  // have their replies.
  m_server->stop();
  if (m_outage.joinable()) m_outage.join();  // the last outage is over: this server is its successor
  m_outage = std::thread([this, outage] {
    if (m_thread.joinable()) m_thread.join();
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto back = [this] { return m_stopping; };
    if (outage.count() == 0 ? (m_stopping_cv.wait(lock, back), true) : m_stopping_cv.wait_for(lock, outage, back))
      return;
    lock.unlock();
    // The port may linger a moment before it can be bound again.
    for (int attempt = 0; attempt < 200 && listen_on(m_port) < 0; ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
}

void TestController::start() {
  if (m_server) return;
  m_port = listen_on(m_options.port);
  if (m_port < 0) throw std::runtime_error("test controller: no free port on 127.0.0.1");

  // Wait until the accept loop runs and a connection goes through.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    if (m_server->is_running()) {
      const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(static_cast<uint16_t>(m_port));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      if (fd >= 0) ::close(fd);
      if (connected) return;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      stop();
      throw std::runtime_error("test controller: server did not come up");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void TestController::stop() {
  if (!m_server) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_stopping_cv.notify_all();
  if (m_outage.joinable()) m_outage.join();
  if (m_server) m_server->stop();
  if (m_thread.joinable()) m_thread.join();
  m_server.reset();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stopping = false;
}

std::string TestController::url() const {
  return std::string(m_options.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

int TestController::port() const { return m_port; }

int TestController::login_count() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_logins;
}

void TestController::expire_tokens() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_valid_tokens.clear();
}

json::object TestController::make_vm(const std::string& id, const std::string& name) {
  json::object vm = json::parse(k_vm_template).as_object();
  vm["id"] = id;
  vm["verbose_name"] = name;
  return vm;
}

json::object TestController::make_vdisk(const std::string& id, const std::string& name, const std::string& vm_id,
                                        double size) {
  json::object disk = json::parse(k_vdisk_template).as_object();
  disk["id"] = id;
  disk["verbose_name"] = name;
  disk["size"] = size;
  disk["source"] = "/storages/local/default/" + name + ".qcow2";
  disk["actual_source"] = disk["source"];
  if (!vm_id.empty()) disk["domain"] = json::object{{"id", vm_id}, {"verbose_name", "vm " + vm_id}};
  return disk;
}

void TestController::add_vm(json::object all_content) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_vms.push_back(std::move(all_content));
}

void TestController::add_vdisk(json::object vdisk) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (json::object* known = find_mutable(m_vdisks, text_of(vdisk, "id")))
    *known = std::move(vdisk);
  else
    m_vdisks.push_back(std::move(vdisk));
}

void TestController::add_cdrom(const std::string& id, const std::string& name, const std::string& vm_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_cdroms.push_back(json::object{{"id", id}, {"verbose_name", name}, {"domain", vm_id}});
}

void TestController::set_page_size(size_t size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_page_size = size;
}

void TestController::set_task_schedule(TaskSchedule schedule) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_task_schedule = std::move(schedule);
}

std::string TestController::add_task() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return start_task({});
}

void TestController::set_task_duration(std::chrono::milliseconds duration) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_task_duration = duration;
}

void TestController::wait_for_tasks() {
  for (;;) {
    std::unique_lock<std::mutex> lock(m_mutex);
    end_due_tasks();
    run_due_requests(lock);
    std::vector<std::function<void()>> events;
    events.swap(m_events);
    const bool running = m_late_requests > 0 || !m_deferred.empty() ||
                         std::any_of(m_tasks.begin(), m_tasks.end(),
                                     [](const auto& entry) { return entry.second.ends_at && !entry.second.ended; });
    lock.unlock();
    for (const auto& event : events) event();
    if (!running) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void TestController::run_due_requests(std::unique_lock<std::mutex>& lock) {
  const auto now = std::chrono::steady_clock::now();
  while (!m_stopping) {
    const auto due = std::find_if(m_deferred.begin(), m_deferred.end(),
                                  [&](const Deferred& deferred) { return deferred.due <= now; });
    if (due == m_deferred.end()) return;
    const Deferred deferred = std::move(*due);
    m_deferred.erase(due);
    httplib::Response unheard;
    route(lock, deferred.request, deferred.raw, unheard);
  }
}

void TestController::fail_task(const std::string& task_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_failing_tasks.insert(task_id);
}

void TestController::hang_task(const std::string& task_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_hanging_tasks.insert(task_id);
}

std::string TestController::start_task(const std::string& vdisk_id, std::function<void()> on_success) {
  const std::string id = "task-" + std::to_string(m_next_task++);
  Task task{m_task_schedule, std::move(on_success)};
  task.fails = m_failing_tasks.count(id) > 0;
  if (m_task_duration.count() > 0) task.ends_at = std::chrono::steady_clock::now() + m_task_duration;
  if (m_hanging_tasks.count(id) > 0) {
    task.schedule = {std::string("IN_PROGRESS")};
    task.ends_at.reset();
  }
  if (json::object* disk = find_mutable(m_vdisks, vdisk_id)) {
    (*disk)["locked_by"] = id;
    task.vdisk_id = vdisk_id;
  }
  m_tasks[id] = std::move(task);
  return id;
}

void TestController::end_task(const std::string& id, bool success) {
  Task& task = m_tasks.at(id);
  task.ended = true;
  if (json::object* disk = find_mutable(m_vdisks, task.vdisk_id); disk && text_of(*disk, "locked_by") == id)
    (*disk)["locked_by"] = nullptr;
  if (success && task.on_success) task.on_success();
}

void TestController::end_due_tasks() {
  const auto now = std::chrono::steady_clock::now();
  for (auto& [id, task] : m_tasks)
    if (task.ends_at && !task.ended && *task.ends_at <= now) end_task(id, !task.fails);
}

bool TestController::refuse_locked(const std::string& vdisk_id, httplib::Response& response) {
  const json::object* disk = find(m_vdisks, vdisk_id);
  if (!disk || text_of(*disk, "locked_by").empty()) return false;
  reply_json(response, 400, errors_body("vdisk is locked by the task " + text_of(*disk, "locked_by") + "."));
  return true;
}

std::string TestController::add_task(TaskSchedule schedule, std::function<void()> on_success) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::string id = "task-" + std::to_string(m_next_task++);
  m_tasks[id] = Task{std::move(schedule), std::move(on_success)};
  return id;
}

int TestController::task_polls(const std::string& task_id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_tasks.find(task_id);
  return it == m_tasks.end() ? 0 : it->second.polls;
}

void TestController::set_reply(const std::string& method, const std::string& path, int status, std::string body,
                               std::string content_type) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_canned[{method, path}] = CannedReply{status, std::move(body), std::move(content_type)};
}

void TestController::add_fault(const std::string& method, const std::string& path, Fault fault) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults.push_back(FaultRule{method, path, fault});
}

void TestController::clear_faults() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_faults.clear();
}

std::vector<RecordedRequest> TestController::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

std::vector<RecordedRequest> TestController::requests_to(const std::string& method, const std::string& path) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<RecordedRequest> matching;
  for (const RecordedRequest& request : m_requests)
    if (request.method == method && request.path == path) matching.push_back(request);
  return matching;
}

void TestController::clear_requests() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_requests.clear();
}

void TestController::handle(const httplib::Request& raw, httplib::Response& response) {
  RecordedRequest request;
  request.method = raw.method;
  request.path = raw.path;
  request.target = raw.target;
  for (const auto& [name, value] : raw.headers) request.headers.emplace_back(name, value);
  request.body = raw.body;

  std::unique_lock<std::mutex> lock(m_mutex);
  m_requests.push_back(request);
  end_due_tasks();
  run_due_requests(lock);
  std::chrono::milliseconds late{0};
  std::chrono::milliseconds early{0};
  size_t padding = 0;
  std::optional<std::chrono::milliseconds> outage;
  std::optional<Fault> gateway;
  if (play_fault(request, response, late, early, padding, outage, gateway)) {
    if ((response.status == 502 || response.status == 504) && early.count() > 0)  // a gateway_504
      m_deferred.push_back(Deferred{request, raw, std::chrono::steady_clock::now() + early});
    return;
  }
  if (outage) go_away(*outage);
  if (early.count() > 0) {
    ++m_late_requests;
    m_stopping_cv.wait_for(lock, early, [this] { return m_stopping; });
    --m_late_requests;
    if (m_stopping) return reply_json(response, 503, errors_body("The controller is going down."));
    end_due_tasks();
  }

  const bool is_login = request.method == "POST" && request.path == "/auth/";
  if (!is_login) {
    const std::string authorization = request.header("Authorization");
    const bool valid = authorization.rfind("jwt ", 0) == 0 && m_valid_tokens.count(authorization.substr(4)) > 0;
    if (!valid) {
      reply_json(response, 401, errors_body("Signature has expired."));
      return;
    }
  }
  if (const auto canned = m_canned.find({request.method, request.path}); canned != m_canned.end()) {
    response.status = canned->second.status;
    response.set_content(canned->second.body, canned->second.content_type.c_str());
    return;
  }
  if (is_login)
    login(request, response);
  else
    route(lock, request, raw, response);

  // Listeners may call back into the controller, so they run without the lock; the reply
  // leaves only after they have run.
  std::vector<std::function<void()>> events;
  events.swap(m_events);
  lock.unlock();
  for (const auto& event : events) event();
  if (late.count() > 0) {
    lock.lock();
    m_stopping_cv.wait_for(lock, late, [this] { return m_stopping; });
  }
  if (padding > 0) pad_reply(response, padding);
  if (gateway) gateway_reply(response, *gateway);
}

bool TestController::play_fault(const RecordedRequest& request, httplib::Response& response,
                                std::chrono::milliseconds& late, std::chrono::milliseconds& early, size_t& padding,
                                std::optional<std::chrono::milliseconds>& outage, std::optional<Fault>& gateway) {
  auto rule = std::find_if(m_faults.begin(), m_faults.end(), [&](const FaultRule& candidate) {
    const std::string_view path = candidate.path;
    return (candidate.method == "*" || candidate.method == request.method) &&
           (path == "*" || path == request.path ||
            (path.size() > 1 && path.front() == '*' && std::string_view(request.path).ends_with(path.substr(1))));
  });
  if (rule == m_faults.end()) return false;
  if (rule->fault.after > 0) {
    --rule->fault.after;
    return false;
  }
  const Fault fault = rule->fault;
  if (rule->fault.times > 0 && --rule->fault.times == 0) m_faults.erase(rule);

  switch (fault.kind) {
    case Fault::Kind::errors_reply: reply_json(response, 400, errors_body("Bad request.")); return true;
    case Fault::Kind::error_200: reply_json(response, 200, errors_body("Something went wrong.")); return true;
    case Fault::Kind::html_500:
      response.status = 500;
      response.set_content("<html><body><h1>500 Internal Server Error</h1></body></html>\n", "text/html");
      return true;
    case Fault::Kind::empty_body:
      response.status = 200;
      response.set_content("", "application/json");
      return true;
    case Fault::Kind::expired_token: reply_json(response, 401, errors_body("Signature has expired.")); return true;
    case Fault::Kind::not_found: reply_json(response, 404, errors_body("Not found.")); return true;
    case Fault::Kind::slow:
      late = fault.delay;
      return false;
    case Fault::Kind::late:
      early = fault.delay;
      return false;
    case Fault::Kind::redirect: response.set_redirect(fault.location, fault.redirect_status); return true;
    case Fault::Kind::bloated:
      padding = fault.padding;
      return false;
    case Fault::Kind::gateway_504:
      response.status = fault.status == 0 ? 504 : fault.status;
      response.set_content(response.status == 504 ? "<html><body><h1>504 Gateway Time-out</h1></body></html>\n"
                                                   : "<html><body><h1>502 Bad Gateway</h1></body></html>\n",
                           "text/html");
      early = fault.delay;
      return true;
    case Fault::Kind::gone:
      outage = fault.delay;
      return false;
    case Fault::Kind::gateway: gateway_reply(response, fault); return true;
    case Fault::Kind::passed_on:
      gateway = fault;
      return false;
  }
  return false;
}

void TestController::login(const RecordedRequest& request, httplib::Response& response) {
  boost::system::error_code ec;
  const json::value body = json::parse(request.body, ec);
  if (ec || !body.is_object()) {
    reply_json(response, 400, errors_body("JSON parse error."));
    return;
  }
  if (text_of(body.get_object(), "username") != m_options.username ||
      text_of(body.get_object(), "password") != m_options.password) {
    reply_json(response, 400, errors_body("Unable to log in with provided credentials."));
    return;
  }
  ++m_logins;
  const std::string token = "token-" + std::to_string(m_logins);
  m_valid_tokens.insert(token);
  reply_json(response, 200, json::object{{"token", token}, {"expires_on", "2099-01-01T00:00:00Z"}});
}

const json::object* TestController::find(const std::vector<json::object>& items, const std::string& id) const {
  for (const json::object& item : items)
    if (text_of(item, "id") == id) return &item;
  return nullptr;
}

void TestController::route(std::unique_lock<std::mutex>& lock, const RecordedRequest& request,
                           const httplib::Request& raw, httplib::Response& response) {
  if (request.method == "POST") return route_change(lock, request, raw, response);
  std::vector<std::string> id;
  if (request.method == "GET") {
    if (match("/api/domains/", request.path, id)) {
      std::vector<json::object> rows;
      for (const json::object& vm : m_vms) {
        json::object row;
        for (const char* key : {"id", "verbose_name", "status", "user_power_state"})
          if (const json::value* value = vm.if_contains(key)) row[key] = *value;
        rows.push_back(std::move(row));
      }
      list_reply(raw, request.path, rows, response);
      return;
    }
    if (match("/api/domains/{}/all-content/", request.path, id)) {
      if (const json::object* vm = find(m_vms, id[0])) return reply_json(response, 200, *vm);
    } else if (match("/api/domains/{}/snapshots-info/", request.path, id)) {
      if (find(m_vms, id[0])) {
        json::array available;
        for (const json::object& disk : m_vdisks) {
          const json::value* domain = disk.if_contains("domain");
          const bool attached = std::any_of(m_attachments.begin(), m_attachments.end(), [&](const Attachment& a) {
            return a.vm_id == id[0] && a.vdisk_id == text_of(disk, "id");
          });
          if (attached || (domain && domain->is_object() && text_of(domain->get_object(), "id") == id[0]))
            available.push_back(json::object{{"id", text_of(disk, "id")}, {"verbose_name", text_of(disk, "verbose_name")}});
        }
        return reply_json(response, 200, json::object{{"available_vdisks", available}, {"snapshots", json::array{}}});
      }
    } else if (match("/api/vdisks/", request.path, id)) {
      return list_reply(raw, request.path, m_vdisks, response);
    } else if (match("/api/vdisks/{}/", request.path, id)) {
      if (const json::object* disk = find(m_vdisks, id[0])) return reply_json(response, 200, *disk);
    } else if (match("/api/cdroms/", request.path, id)) {
      return list_reply(raw, request.path, m_cdroms, response);
    } else if (match("/api/tasks/{}/", request.path, id)) {
      return task_reply(id[0], response);
    }
  }
  reply_json(response, 404, errors_body("Not found."));
}

void TestController::list_reply(const httplib::Request& raw, const std::string& path,
                                const std::vector<json::object>& rows, httplib::Response& response) const {
  const size_t limit = size_param(raw, "limit", m_page_size);
  const size_t offset = std::min(size_param(raw, "offset", 0), rows.size());
  const size_t end = limit == 0 ? rows.size() : std::min(rows.size(), offset + limit);
  json::array results;
  for (size_t i = offset; i < end; ++i) results.push_back(rows[i]);
  json::object body;
  body["count"] = rows.size();
  if (end < rows.size())
    body["next"] = url() + path + "?limit=" + std::to_string(limit) + "&offset=" + std::to_string(end);
  else
    body["next"] = nullptr;
  body["previous"] = nullptr;
  body["results"] = std::move(results);
  reply_json(response, 200, body);
}

void TestController::task_reply(const std::string& id, httplib::Response& response) {
  const auto it = m_tasks.find(id);
  if (it == m_tasks.end()) return reply_json(response, 404, errors_body("Not found."));
  Task& task = it->second;
  const TaskSchedule& schedule = task.schedule;
  const size_t step = std::min(static_cast<size_t>(task.polls), schedule.empty() ? 0 : schedule.size() - 1);
  ++task.polls;
  std::optional<std::string> status = schedule.empty() ? std::optional<std::string>("SUCCESS") : schedule[step];
  if (task.ends_at) status = task.ended ? "SUCCESS" : "IN_PROGRESS";
  if (task.fails && status == "SUCCESS") status = "FAILED";
  json::object body{{"id", id}, {"name", "test task"}};
  if (status) body["status"] = *status;
  if (status && status != "IN_PROGRESS" && !task.ended) end_task(id, status == "SUCCESS");
  reply_json(response, 200, body);
}

}  // namespace kv_test
