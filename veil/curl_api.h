#pragma once

// The client of the VeiL controller's REST interface. One object serves one module operation:
// it keeps the connection settings and the login token and runs every request on a fresh
// libcurl handle.
//
// Results of the int operations: 0 success; 1 a local step failed; 2 the request itself failed
// (or a listing failed); 6 a reply about an existing entity or task is unusable; 7 a reply to a
// creation request is unusable. A transport failure of libcurl is thrown as std::runtime_error
// with libcurl's text.

#include "veil/domain_conf.h"
#include "veil/vdisk.h"
#include "veil/veil_conf.h"
#include "veil/veil_vm_info.h"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

enum RequestType { GET = 0, POST = 1 };

class curlAPI {
 public:
  // Status requests of one wait for a task, one a second: about five minutes.
  static constexpr int k_max_task_polls = 300;
  // Far above any real reply (a long list page is a few MiB): a reply beyond it ends the request
  // with a transport error, and the client never holds more than about twice this much of it.
  static constexpr size_t k_max_reply_bytes = size_t{64} << 20;
  // Redirects followed within one request, all to the controller's host (redirect_origin_allowed).
  static constexpr long k_max_redirects = 10;

  // What became of the last change request (create, remove, attach, detach...), as far as its
  // reply tells.
  enum class ChangeReply {
    not_sent,  // nothing went out (no free name, the CA check, a refused connection, a name that
               // does not resolve, a failed TLS set-up)
    refused,   // an "errors" member (the controller's own error form, whatever the status) or an
               // HTTP status from 400 to 499: nothing was changed
    answered,  // any other reply of the controller's own (a 500, one that does not read): the request
               // has landed, and what it changed shows on the platform now
    lost,      // no reply at all (a time-out, a transport error after the connection, a stop), or a
               // gateway's 502, 503 or 504: it may still land later
  };

  // While it lives, a stop neither abandons this client's requests nor is carried out at their
  // end: their replies (or what a look-up finds) are needed by the stop's own clean-up. Once a
  // stop is under way each request still waits at most the stop grace (veil/stop_points.h).
  class StopHold {
   public:
    explicit StopHold(curlAPI& api) : m_api(api) { ++m_api.m_transfer.stop_held; }
    StopHold(const StopHold&) = delete;
    StopHold& operator=(const StopHold&) = delete;
    ~StopHold() { --m_api.m_transfer.stop_held; }

   private:
    curlAPI& m_api;
  };

  explicit curlAPI(::conf settings);
  curlAPI(const curlAPI&) = delete;
  curlAPI& operator=(const curlAPI&) = delete;
  ~curlAPI();

  // Transport and login (curl_transport.cpp, curl_login.cpp).
  [[nodiscard]] int process_curl_api_request(const std::string& url, const RequestType& type, std::string& reply,
                                             const std::string& body, unsigned int* timeout);
  [[nodiscard]] int login();
  [[nodiscard]] static int parse_result_string(const std::string& text, boost::json::value& result);
  [[nodiscard]] static int generate_uuid_v4(std::string& uuid);
  static size_t write_data(void* data, size_t size, size_t count, void* user);
  // Appends to response_stream; 0, which libcurl takes as an error, once the reply would pass
  // k_max_reply_bytes.
  size_t write_function(void* data, size_t size, size_t count);

  // Asynchronous tasks (curl_tasks.cpp).
  [[nodiscard]] int get_task_id(const std::string& reply, std::string& task_id);
  [[nodiscard]] int get_entity_and_task_id(const std::string& reply, std::string& entity_id, std::string& task_id);
  [[nodiscard]] int get_task_status(const std::string& task_id, std::string& status);
  [[nodiscard]] int wait_for_task_completion(const std::string& task_id);
  // As wait_for_task_completion, with at most `polls_left` status requests, counted down as they
  // are made; once a stop is under way the wait also ends at the stop's deadline.
  [[nodiscard]] int wait_for_task(const std::string& task_id, int& polls_left);

  // Inventory and free names (curl_inventory.cpp).
  // Reads a list and every further page its "next" links name, within a bound on the number of
  // pages; read_page handles one page and returns 0 or its failure code. A reply that is one
  // record (no "next") is read as a list of one page.
  [[nodiscard]] int read_all_pages(std::string_view sig, const std::string& path,
                                   const std::function<int(const boost::json::object&)>& read_page);
  [[nodiscard]] int get_domain_list(std::vector<veil_vm_info>& domains);
  [[nodiscard]] static bool domain_id_exists(const std::vector<veil_vm_info>& domains, const std::string& id);
  [[nodiscard]] int get_available_vdisks(domain_conf& domain);
  [[nodiscard]] int get_free_instance_name(const std::string& kind, std::string& name);
  [[nodiscard]] static bool instance_name_exists(const std::vector<std::string>& names, const std::string& name);

  // VM configuration (domain_conf_reader.cpp). read_domain_config reads one reply text.
  [[nodiscard]] int get_domain_config(const std::string& id, domain_conf& domain);
  [[nodiscard]] static int read_domain_config(const std::string& reply, domain_conf& domain);
  [[nodiscard]] static int get_controllers_info(const boost::json::value& value, std::vector<std::string>& models);
  [[nodiscard]] static int get_interface_gos_attrs(const boost::json::value& value, vm_interface_qos_attrs& attrs);

  // Virtual disk (vdisk_reader.cpp). read_vdisk_info reads one reply text.
  [[nodiscard]] int get_vdisk_info(const std::string& id, vdisk& disk);
  [[nodiscard]] static int read_vdisk_info(const std::string& reply, vdisk& disk);

  // Disks, CD-ROM drives and VM removal (curl_disks.cpp). The single requests return the task id
  // and leave the waiting to the caller; the two list operations wait for every task.
  [[nodiscard]] int create_vdisk(vdisk& disk, std::string& task_id);
  // The creation request's body for the record as it stands (its name already made free).
  [[nodiscard]] static std::string create_vdisk_body(const vdisk& disk);
  [[nodiscard]] int remove_vdisk(const std::string& vdisk_id, std::string& task_id);
  // True when the controller itself answers that the disk's record is not found (HTTP 404 in its
  // own error form, an object with an "errors" member; not a gateway's page nor its JSON): the
  // disk is gone. False for any other reply, or none.
  [[nodiscard]] bool vdisk_gone(const std::string& vdisk_id);
  // operation is "attach" or "detach"; an empty serial sends none.
  [[nodiscard]] int operate_with_disk(const std::string& vm_id, const std::string& vdisk_id,
                                      const std::string& operation, std::string& task_id, const std::string& serial);
  [[nodiscard]] int create_cdrom(const std::string& vm_id, std::string& cdrom_id, std::string& task_id);
  [[nodiscard]] int delete_domain(const std::string& vm_id, std::string& task_id);
  [[nodiscard]] int detach_vdisks(const std::vector<std::string>& vdisk_ids, const std::string& vm_id);
  void detach_and_remove_vdisks(const std::vector<std::string>& vdisk_ids, const std::string& vm_id);

  // VM creation (domain_create_body.cpp). On success the record's id is the new VM's.
  [[nodiscard]] int create_domain(const vdisk& boot_disk, domain_conf& domain, std::string& task_id);
  // The creation request's body; an empty boot disk id creates the VM without a disk.
  [[nodiscard]] static std::string create_domain_body(const vdisk& boot_disk, const domain_conf& domain,
                                                      const std::string& idempotency_key);
  // [{"model": "A"}, {"model": "B"}], or [] for no models.
  static void fill_controllers_info(const std::vector<std::string>& models, std::string& text);

  // Guest commands (curl_guest.cpp). 0 when the program ran to its end with exit code 0.
  [[nodiscard]] int run_script_inside_vm(const std::string& vm_id, const std::string& path, std::string& args,
                                         unsigned int& timeout);
  // The argument text split at every single blank, each piece a JSON string: "a  b" gives
  // "a", "", "b" and an empty text one empty argument.
  [[nodiscard]] static std::string guest_argument_list(const std::string& args);

  // Whether a redirect from a request to `request_origin` is followed to `target_origin` (both
  // "scheme://host:port", the host in lower case): to the same origin, or from http to https on
  // the same host, from port 80 to 443 or on the same port. An empty target is never followed.
  [[nodiscard]] static bool redirect_origin_allowed(const std::string& request_origin,
                                                    const std::string& target_origin);

  // The text with the password, the token and every other secret masked, for the log.
  [[nodiscard]] std::string masked(std::string_view text) const;

  [[nodiscard]] ChangeReply last_change_reply() const { return m_last_change; }
  // How long after the client gave up on a change request's reply (ChangeReply::lost) the
  // controller may still carry it out: one request time-out, or the stop grace when requests
  // have none.
  [[nodiscard]] std::chrono::milliseconds late_change_bound() const;

 private:
  using handle_ptr = std::unique_ptr<CURL, void (*)(CURL*)>;

  // libcurl's progress callback; `user` is the transfer's watch.
  static int transfer_progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  // libcurl's header callback; `user` is the client. It ends the transfer at a redirect that
  // redirect_origin_allowed does not allow, before libcurl follows it: the request carries the
  // token, or the password in the login's body, which is sent again.
  static size_t header_data(char* data, size_t size, size_t count, void* user);
  [[nodiscard]] bool redirect_allowed(std::string_view header);
  [[nodiscard]] int send_once(const std::string& url, const RequestType& type, std::string& reply,
                              const std::string& body, unsigned int* timeout);
  // The options every exchange shares, login included; 2 when the CA file check fails.
  [[nodiscard]] int set_exchange_options(std::string_view sig, const std::string& url, long timeout);
  // Runs the transfer set up on `handle` into response_stream and http_code; a transport error
  // is thrown with libcurl's text.
  void perform_transfer(CURL* handle);
  [[nodiscard]] int set_tls_options(std::string_view sig);
  void renew_handle();
  // True (after an error line under sig) when the last reply carries an HTTP error status or
  // an "errors" member: such a reply is never read as an empty success.
  [[nodiscard]] bool reply_failed(std::string_view sig, const std::string& reply) const;
  // POSTs one change request with the default time-out; 0 with the reply, or 2.
  [[nodiscard]] int post_change(const std::string& path, const std::string& body, std::string& reply);
  // The error line that follows a reply the reader did not accept; secrets in the body masked.
  void log_refused_body(std::string_view sig, const std::string& body) const;

  // What the progress callback of a transfer needs.
  struct transfer_watch {
    int stop_held = 0;                              // StopHold objects alive
    std::chrono::steady_clock::time_point started;  // the transfer's start
    bool out_of_time = false;                       // the stop's bound ended the transfer
  };

  handle_ptr curl_handle;
  std::stringstream response_stream;
  size_t m_reply_size = 0;          // bytes of the current reply in response_stream
  bool m_reply_too_large = false;   // the write callback ended the transfer at the bound
  std::string m_request_origin;     // "scheme://host:port" of the current request's URL
  std::string m_refused_redirect;   // where a refused redirect led, for the transport error
  long http_code = 0;  // HTTP status of the last completed exchange
  ::conf conf;
  std::string token;
  transfer_watch m_transfer;
  bool m_went_out = false;  // a transfer was started since post_change began
  ChangeReply m_last_change = ChangeReply::not_sent;
};
