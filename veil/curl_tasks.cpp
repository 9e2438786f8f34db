#include "veil/curl_api.h"

#include "common/kv_logger.h"
#include "common/log_text.h"
#include "veil/json_values.h"
#include "veil/reply_ids.h"
#include "veil/stop_points.h"

#include <boost/json/value_to.hpp>

namespace {

constexpr std::string_view k_task_empty = ": json object is empty. Expected task info";
constexpr std::string_view k_no_task_id = ": task_id for requested action is empty string";

constexpr std::string_view k_wait_sig = "int curlAPI::wait_for_task_completion(const string&)";

void log_error(std::string_view sig, std::string_view message) {
  KvLogStream(KvLogLvl::Error) << sig << message << std::endl;
}

// True, after an Error line, once a stop under way has used up its time.
bool no_stop_time_left(const std::string& task_id) {
  if (!kv_veil::stop_time_over()) return false;
  KvLogStream(KvLogLvl::Error) << k_wait_sig << ": the stop of the program leaves no time to wait for the task '"
                               << task_id << "'" << std::endl;
  return true;
}

}  // namespace

int curlAPI::get_task_id(const std::string& reply, std::string& task_id) {
  static constexpr std::string_view sig = "int curlAPI::get_task_id(const string&, std::string&)";
  try {
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 6;
    const boost::json::object& object = value.get_object();
    if (object.empty()) {
      log_error(sig, ": _task object is empty");
      return 6;
    }
    // "errors" fails the reply wherever it stands, also after a good "_task".
    for (const auto& member : object) {
      if (member.key() == "_task") {
        if (!member.value().is_object()) {
          log_error(sig, ": json value is not a 'task' object");
          return 6;
        }
        const boost::json::object& task = member.value().get_object();
        if (task.empty()) {
          log_error(sig, k_task_empty);
          return 6;
        }
        for (const auto& field : task)
          if (field.key() == "id") task_id = kv_veil::string_value(field.value());
      } else if (member.key() == "errors") {
        log_error(sig, ": a request completed with error");
        return 6;
      }
    }
    if (task_id.empty()) {
      log_error(sig, k_no_task_id);
      return 6;
    }
    if (!kv_veil::check_reply_id(sig, "task id", task_id)) {
      task_id.clear();
      return 6;
    }
    return 0;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(sig);
  }
  return 6;
}

int curlAPI::get_entity_and_task_id(const std::string& reply, std::string& entity_id, std::string& task_id) {
  static constexpr std::string_view sig =
      "int curlAPI::get_entity_and_task_id(const string&, std::string&, std::string&)";
  try {
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 7;
    const boost::json::object& object = value.get_object();
    if (object.empty()) {
      log_error(sig, ": result object is empty");
      return 7;
    }
    for (const auto& member : object) {
      if (member.key() == "entity") {
        entity_id = kv_veil::quote_stripped(member.value());
      } else if (member.key() == "_task") {
        if (!member.value().is_object()) {
          KvLogStream(KvLogLvl::Info) << sig << ": json value is not a task object" << std::endl;
          return 7;
        }
        const boost::json::object& task = member.value().get_object();
        if (task.empty()) {
          log_error(sig, k_task_empty);
          return 7;
        }
        for (const auto& field : task)
          if (field.key() == "id") task_id = kv_veil::string_value(field.value());
      } else if (member.key() == "errors") {
        log_error(sig, ": a request to create an entity completed with error");
        return 7;
      }
    }
    if (entity_id.empty()) {
      log_error(sig, ": id for created entity is empty string");
      return 7;
    }
    if (task_id.empty()) {
      log_error(sig, k_no_task_id);
      return 7;
    }
    // Neither id goes further when one of them is refused.
    if (!kv_veil::check_reply_id(sig, "entity id", entity_id) || !kv_veil::check_reply_id(sig, "task id", task_id)) {
      entity_id.clear();
      task_id.clear();
      return 7;
    }
    return 0;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(sig);
  }
  return 7;
}

int curlAPI::get_task_status(const std::string& task_id, std::string& status) {
  static constexpr std::string_view sig = "int curlAPI::get_task_status(const string&, std::string&)";
  try {
    std::string reply;
    if (process_curl_api_request(conf.url + "/api/tasks/" + task_id + "/", GET, reply, "", nullptr) != 0) return 2;
    if (reply_failed(sig, reply)) return 2;
    boost::json::value value;
    if (parse_result_string(reply, value) != 0) return 6;
    const boost::json::object& object = value.get_object();
    if (object.empty()) {
      log_error(sig, ": task object is empty");
      return 6;
    }
    // Not cleared first: a reply without "status" leaves the previous one. value_to reports a
    // status that is not a string as a JSON library error. A status is only compared with the
    // states the client knows and otherwise logged: its control characters are escaped here.
    for (const auto& member : object)
      if (member.key() == "status")
        status = kelvanor_common::log_text(boost::json::value_to<std::string>(member.value()));
    return 0;
  } catch (const std::exception&) {
    kv_veil::log_caught_exception(sig);
  }
  return 2;
}

int curlAPI::wait_for_task_completion(const std::string& task_id) {
  int polls_left = k_max_task_polls;
  return wait_for_task(task_id, polls_left);
}

int curlAPI::wait_for_task(const std::string& task_id, int& polls_left) {
  constexpr std::string_view sig = k_wait_sig;
  if (task_id.empty()) {
    log_error(sig, ": task_id is empty string");
    return 1;
  }
  KvLogStream(KvLogLvl::Info) << "Wait while the task '" << task_id << "' completes ..." << std::endl;

  std::string status;
  while (status != "SUCCESS") {
    if (polls_left <= 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": the task '" << task_id
                                   << "' has not reached the 'SUCCESS' state, break by timeout " << k_max_task_polls
                                   << std::endl;
      return 1;
    }
    // Asked before the pause as well as after it: past the stop's deadline not even one second
    // goes to a task.
    if (no_stop_time_left(task_id)) return 1;
    if (!kv_veil::pause_one_second()) {
      KvLogStream(KvLogLvl::Error) << sig << ": waiting for the task '" << task_id << "' was interrupted"
                                   << std::endl;
      return 1;
    }
    if (no_stop_time_left(task_id)) return 1;
    --polls_left;
    if (get_task_status(task_id, status) != 0) {
      KvLogStream(KvLogLvl::Error) << sig << ": unable to get status of the task: '" << task_id << "'" << std::endl;
      return 1;
    }
    if (status != "IN_PROGRESS" && status != "SUCCESS") {
      KvLogStream(KvLogLvl::Error) << sig << ": task '" << task_id << "' has unexpected status: '" << status << "'"
                                   << std::endl;
      return 1;
    }
  }
  KvLogStream(KvLogLvl::Info) << "The task '" << task_id << "' has succeeded." << std::endl;
  return 0;
}
