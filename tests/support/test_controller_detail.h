#pragma once

// Internal to the test controller: reply and path helpers that its request handlers share.

#include <httplib.h>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace kv_test::detail {

// {"errors": [{"detail": ...}]}, the shape of the real controller's error replies.
[[nodiscard]] std::string errors_body(const std::string& detail);

void reply_json(httplib::Response& response, int status, const std::string& body);
void reply_json(httplib::Response& response, int status, const boost::json::value& body);

// "/api/domains/{}/all-content/" against a path; each {} takes one non-empty segment.
[[nodiscard]] bool match(std::string_view pattern, std::string_view path, std::vector<std::string>& captures);

// The string member of that key; empty when absent or not a string.
[[nodiscard]] std::string text_of(const boost::json::object& object, std::string_view key);

}  // namespace kv_test::detail
