#pragma once

// A stand-in for the VeiL controller: a real HTTP(S) server on 127.0.0.1 with state (VMs,
// vdisks, CD-ROM drives, tasks, login tokens), a record of every request and fault knobs.
// It runs inside the test process on its own threads; the program under test may be this
// process (unit tests) or a child process started by an end-to-end test.
//
//   kv_test::TestController controller;
//   controller.start();                       // returns once the server accepts connections
//   controller.add_vm(kv_test::TestController::make_vm("vm-1", "web"));
//   conf settings; settings.url = controller.url(); ...
//
// Every request but POST /auth/ needs "Authorization: jwt <token>" with a token issued by a
// login; otherwise the reply is 401. Unknown paths get 404. Error replies carry an "errors"
// member, as the real controller's do.
//
// Change requests (POST with "?async=1") answer with a task. A created vdisk, CD-ROM drive or
// VM exists as soon as the request is accepted; an attach, a detach or a removal takes effect
// when its task ends. While a task on a vdisk runs, the vdisk's "locked_by" names it and every
// other change of that vdisk is refused. Bodies that are not JSON objects, names already taken,
// unknown ids and removals of attached disks are refused with 400 and "errors".

#include <boost/json/object.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kv_test {

struct RecordedRequest {
  std::string method;  // "GET" or "POST"
  std::string path;    // without the query, e.g. "/api/domains/"
  std::string target;  // as sent, with the query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // First value of a header, name compared without case; empty when absent.
  [[nodiscard]] std::string header(const std::string& name) const;
  [[nodiscard]] bool has_header(const std::string& name) const;
};

// A misbehaviour played on the requests that match a rule (see add_fault).
struct Fault {
  enum class Kind {
    errors_reply,   // 400 with {"errors": [...]}
    error_200,      // 200 with {"errors": [...]}: an error the status does not show
    html_500,       // 500 with an HTML page
    empty_body,     // 200 with nothing in the body
    slow,           // does the request's work, then waits `delay` to reply (less on stop)
    expired_token,  // 401 as for a token the controller no longer accepts
    not_found,      // 404 with {"errors": [...]}
    late,           // waits `delay` first, then does the request's work and replies: by then the
                    // client may have given up, the work is done all the same (on stop: nothing)
    redirect,       // `redirect_status` to `location`, where a client that follows it goes on
    bloated,        // does the request's work and sends its reply after `padding` blanks
    gateway_504,    // a gateway's 504 page (502 with `status` 502) at once; the controller carries the
                    // request out `delay` later (at the first request or wait_for_tasks from then
                    // on), or never for 0
    gone,           // does the request's work and replies, then refuses every connection for
                    // `delay` (0: until stop), as a controller that went down between two requests
    gateway,        // a gateway's own `status` with `body` at once: the controller never sees it
    passed_on,      // the controller carries the request out, and a gateway then answers its own
                    // `status` with `body` in place of the controller's reply
  };
  Kind kind = Kind::errors_reply;
  std::chrono::milliseconds delay{0};
  int times = -1;  // how many matching requests it applies to; -1: all of them
  int after = 0;   // how many matching requests pass untouched first
  std::string location{};  // redirect: the Location header's URL
  int redirect_status = 307;  // redirect: 301, 302, 307 or 308
  size_t padding = 0;      // bloated: blanks streamed before the body (never held in memory)
  int status = 0;          // gateway, passed_on, gateway_504 (0: 504): the HTTP status
  std::string body{};      // gateway, passed_on: the body, JSON when it starts with '{', HTML with '<',
                           // else plain text
};

// One disk attached through the API, as the attach request named it.
struct Attachment {
  std::string vdisk_id;
  std::string vm_id;
  std::string serial;  // empty when the request sent none
};

// How a program run through the guest agent answers (see set_guest_program).
struct GuestProgram {
  std::string exitcode = "0";          // JSON text of "guest-exec"."exitcode"; empty: left out
  std::string exited = "true";         // JSON text of "guest-exec"."exited"; empty: left out
  std::string errors;                  // JSON text of an "errors" member sent instead; empty: none
  std::chrono::milliseconds delay{0};  // the answer comes after this wait (at once on stop)
};

// One guest command as the controller received it.
struct GuestRun {
  std::string vm_id;
  std::string path;
  std::vector<std::string> args;
  std::string timeout;  // JSON text of "timeout"
};

class TestController {
 public:
  struct Options {
    bool https = false;
    std::string cert_file;  // PEM server certificate, for https
    std::string key_file;   // PEM private key, for https
    int port = 0;           // the port to bind; 0: any free one
    std::string username = "kv-api";
    std::string password = "kv-secret";
  };

  // A task's status replies in order; the last one repeats. nullopt: a reply without "status".
  using TaskSchedule = std::vector<std::optional<std::string>>;

  TestController();
  explicit TestController(Options options);
  TestController(const TestController&) = delete;
  TestController& operator=(const TestController&) = delete;
  ~TestController();

  // Binds a free port on 127.0.0.1 and returns once the server accepts connections; throws
  // std::runtime_error when it cannot come up.
  void start();
  void stop();
  [[nodiscard]] std::string url() const;  // "http://127.0.0.1:<port>" (https when so built)
  [[nodiscard]] int port() const;

  // Logins so far; tokens are "token-1", "token-2", ... in the order of successful logins.
  [[nodiscard]] int login_count() const;
  // Every token issued so far is refused with 401 from now on; a new login gets a fresh one.
  void expire_tokens();

  // Inventory. Realistic records holding every key the client reads; tests change members
  // before adding them.
  [[nodiscard]] static boost::json::object make_vm(const std::string& id, const std::string& name);
  [[nodiscard]] static boost::json::object make_vdisk(const std::string& id, const std::string& name,
                                                      const std::string& vm_id, double size);
  void add_vm(boost::json::object all_content);  // needs "id"; the domain list shows it
  void add_vdisk(boost::json::object vdisk);     // needs "id"; listed in its VM's snapshots-info; replaces
                                                 // the record of that id
  void add_cdrom(const std::string& id, const std::string& name, const std::string& vm_id);
  // List replies hold at most this many results and name the next page in "next" (default 100).
  void set_page_size(size_t size);

  // Tasks. New tasks follow the schedule (default IN_PROGRESS, then SUCCESS); a task ends at the
  // first status other than IN_PROGRESS (or none) it serves.
  void set_task_schedule(TaskSchedule schedule);
  // From now on the change tasks instead run for `duration` and then succeed, as a real
  // controller's do, polled or not.
  void set_task_duration(std::chrono::milliseconds duration);
  // Returns once every task on a duration has ended, and every request a late or gateway_504
  // fault holds has been carried out.
  void wait_for_tasks();
  // The task of that id, once started, ends with "FAILED" instead of "SUCCESS", changing nothing.
  void fail_task(const std::string& task_id);
  // The task of that id, once started, never ends: "IN_PROGRESS" for ever, its vdisk locked.
  void hang_task(const std::string& task_id);
  // A task that follows the current schedule. Returns the task id.
  std::string add_task();
  // A task with its own schedule; `on_success` runs (under the state lock) when SUCCESS is
  // first served. Returns the task id.
  std::string add_task(TaskSchedule schedule, std::function<void()> on_success = {});
  [[nodiscard]] int task_polls(const std::string& task_id) const;

  // Canned reply for one method and path (without query), served in place of the state's.
  void set_reply(const std::string& method, const std::string& path, int status, std::string body,
                 std::string content_type = "application/json");
  // Faults for one method ("*": any) and path ("*": any, "*/remove/": any that ends so); the first
  // matching rule applies.
  void add_fault(const std::string& method, const std::string& path, Fault fault);
  void clear_faults();

  // Inventory as it stands now; nullopt when the id is unknown (or removed).
  [[nodiscard]] std::optional<boost::json::object> vm(const std::string& id) const;
  [[nodiscard]] std::optional<boost::json::object> vdisk(const std::string& id) const;
  [[nodiscard]] std::vector<boost::json::object> vms() const;
  [[nodiscard]] std::vector<boost::json::object> vdisks() const;
  [[nodiscard]] std::vector<boost::json::object> cdroms() const;

  // Attachments (test_controller_changes.cpp). The listeners run when an attach or detach
  // takes effect, outside the controller's lock (so they may call back into it) and before
  // the SUCCESS reply leaves: the client never sees the task done before the listener ran.
  // The attach listener hears every attach, to any VM, with the serial the request named (or
  // an empty one); the detach listener hears the detach or removal of a disk attached through
  // the API, with the serial of its attach.
  using DiskListener =
      std::function<void(const std::string& vdisk_id, const std::string& vm_id, const std::string& serial)>;
  void set_attach_listener(DiskListener listener);
  void set_detach_listener(DiskListener listener);
  [[nodiscard]] std::vector<Attachment> attachments() const;
  // Attaches a disk as another client's attach would have (the attach listener hears it).
  // Through the API, an attach of a disk already attached to that VM, or to another VM (unless
  // the disk is "shareable"), is refused with "errors".
  void add_attachment(const std::string& vdisk_id, const std::string& vm_id, const std::string& serial);
  // Detaches a disk from a VM at once, as another client's detach would (the detach listener
  // hears it).
  void remove_attachment(const std::string& vdisk_id, const std::string& vm_id);
  // The image file that backs a vdisk, so a test can give a disk known content; empty: none.
  void set_vdisk_image(const std::string& vdisk_id, const std::string& path);
  [[nodiscard]] std::string vdisk_image(const std::string& vdisk_id) const;
  // When set, every vdisk created through the API gets an empty image file <directory>/<id>.img.
  void set_image_directory(const std::string& directory);

  // Guest commands. A program set here answers as told, whatever its arguments. Without an
  // entry, "/usr/bin/test" with "-f" or "-e" and a path exits 0 when the path is one of the
  // VM's guest files and 1 otherwise, and any other program fails with "errors" as a missing
  // one does.
  void set_guest_program(const std::string& path, GuestProgram program);
  void add_guest_file(const std::string& vm_id, const std::string& path);
  [[nodiscard]] std::vector<GuestRun> guest_runs() const;

  // Another client. The next vdisk creation request finds, just before it is carried out, a disk
  // of its name made by someone else: the disk the request asks for, attached to no VM, with the
  // members of `changes` in place of the request's (none: the very same disk). Names being
  // unique here, the request is then refused.
  void set_rival_vdisk(boost::json::object changes);

  // Every request received, in order of arrival.
  [[nodiscard]] std::vector<RecordedRequest> requests() const;
  [[nodiscard]] std::vector<RecordedRequest> requests_to(const std::string& method, const std::string& path) const;
  void clear_requests();

 private:
  struct Task {
    TaskSchedule schedule;
    std::function<void()> on_success;
    int polls = 0;
    bool ended = false;
    bool fails = false;
    std::optional<std::chrono::steady_clock::time_point> ends_at{};  // set: runs on a duration
    std::string vdisk_id{};                                          // the vdisk it locks, if any
  };
  struct FaultRule {
    std::string method;
    std::string path;
    Fault fault;
  };
  struct CannedReply {
    int status;
    std::string body;
    std::string content_type;
  };

  // A request a gateway_504 fault carries out later.
  struct Deferred;

  void handle(const httplib::Request& request, httplib::Response& response);
  // Creates the server and listens on `port` (0: any free one); -1 when it cannot.
  [[nodiscard]] int listen_on(int port);
  // With the lock held: carries out the deferred requests that are due.
  void run_due_requests(std::unique_lock<std::mutex>& lock);
  // Called by the request that a gone fault matched: no connection is accepted from now on, and
  // after `outage` (0: never) the server listens again on the same port.
  void go_away(std::chrono::milliseconds outage);
  // Plays a fault; true when the reply is complete.
  // A slow reply's wait goes to `late`.
  // A late fault's wait before the work, and a gateway_504's before it is carried out, go to `early`.
  // A bloated reply's padding goes to `padding`; a gone fault's outage to `outage`; a passed_on
  // fault to `gateway`.
  bool play_fault(const RecordedRequest& request, httplib::Response& response, std::chrono::milliseconds& late,
                  std::chrono::milliseconds& early, size_t& padding, std::optional<std::chrono::milliseconds>& outage,
                  std::optional<Fault>& gateway);
  void route(std::unique_lock<std::mutex>& lock, const RecordedRequest& request, const httplib::Request& raw,
             httplib::Response& response);
  // The change requests and guest commands (test_controller_changes.cpp), with the lock held.
  void route_change(std::unique_lock<std::mutex>& lock, const RecordedRequest& request, const httplib::Request& raw,
                    httplib::Response& response);
  void create_vdisk(const boost::json::object& body, httplib::Response& response);
  void remove_vdisk(const std::string& vdisk_id, httplib::Response& response);
  void attach_vdisk(const std::string& vm_id, const boost::json::object& body, httplib::Response& response);
  void detach_vdisk(const std::string& vm_id, const boost::json::object& body, httplib::Response& response);
  void create_cdrom(const boost::json::object& body, httplib::Response& response);
  void remove_vm(const std::string& vm_id, const boost::json::object& body, httplib::Response& response);
  void create_vm(const boost::json::object& body, httplib::Response& response);
  void guest_command(std::unique_lock<std::mutex>& lock, const std::string& vm_id, const boost::json::object& body,
                     httplib::Response& response);
  // With the lock held: the detach listener is told about every attachment of the disk (to
  // the VM, when one is named) that is dropped.
  void drop_attachments(const std::string& vdisk_id, const std::string& vm_id);
  [[nodiscard]] std::string new_entity_id(unsigned int kind);
  [[nodiscard]] boost::json::object* find_mutable(std::vector<boost::json::object>& items, const std::string& id);
  void login(const RecordedRequest& request, httplib::Response& response);
  void list_reply(const httplib::Request& raw, const std::string& path, const std::vector<boost::json::object>& rows,
                  httplib::Response& response) const;
  void task_reply(const std::string& id, httplib::Response& response);
  // With the lock held: a new task for the change requests, locking the vdisk when one is named.
  std::string start_task(const std::string& vdisk_id, std::function<void()> on_success = {});
  // With the lock held: the task ends, its vdisk unlocked and, on success, its change made.
  void end_task(const std::string& id, bool success);
  void end_due_tasks();
  // With the lock held: true (after the refusal) when a task locks the vdisk.
  bool refuse_locked(const std::string& vdisk_id, httplib::Response& response);
  [[nodiscard]] const boost::json::object* find(const std::vector<boost::json::object>& items,
                                                const std::string& id) const;

  Options m_options;
  std::unique_ptr<httplib::Server> m_server;
  std::thread m_thread;
  int m_port = -1;

  mutable std::mutex m_mutex;  // guards everything below; handlers run on the server's threads
  std::condition_variable m_stopping_cv;
  bool m_stopping = false;
  std::set<std::string> m_valid_tokens;
  int m_logins = 0;
  std::vector<boost::json::object> m_vms;
  std::vector<boost::json::object> m_vdisks;
  std::vector<boost::json::object> m_cdroms;
  size_t m_page_size = 100;
  TaskSchedule m_task_schedule{std::string("IN_PROGRESS"), std::string("SUCCESS")};
  std::chrono::milliseconds m_task_duration{0};
  std::set<std::string> m_failing_tasks;
  std::map<std::string, Task> m_tasks;
  int m_next_task = 1;
  std::map<std::pair<std::string, std::string>, CannedReply> m_canned;
  std::vector<FaultRule> m_faults;
  std::vector<RecordedRequest> m_requests;

  unsigned int m_next_entity = 1;
  std::vector<Attachment> m_attachments;
  DiskListener m_attach_listener;
  DiskListener m_detach_listener;
  // Run by the request's thread once the lock is released, before its reply is sent.
  std::vector<std::function<void()>> m_events;
  std::map<std::string, std::string> m_vdisk_images;
  std::string m_image_directory;
  std::map<std::string, std::string> m_removal_keys;  // idempotency key of a VM removal -> its task
  std::map<std::string, GuestProgram> m_guest_programs;
  std::map<std::string, std::set<std::string>> m_guest_files;  // VM id -> paths
  std::vector<GuestRun> m_guest_runs;
  std::optional<boost::json::object> m_rival_vdisk;  // see set_rival_vdisk
  std::set<std::string> m_hanging_tasks;
  int m_late_requests = 0;  // requests a late fault holds before their work
  std::vector<Deferred> m_deferred;  // requests a gateway_504 fault carries out later
  std::thread m_outage;              // brings the server back after a gone fault's outage
};

}  // namespace kv_test
