#pragma once

// Internal to the REST client: every libcurl option goes through one checked setter, and header
// lists are owned by a scope object.

#include <curl/curl.h>

#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>

namespace kv_veil {

template <class T>
void set_curl_option(CURL* handle, CURLoption option, T value) {
  const CURLcode code = curl_easy_setopt(handle, option, value);
  if (code != CURLE_OK) throw std::runtime_error(curl_easy_strerror(code));
}

struct header_list_deleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using header_list = std::unique_ptr<curl_slist, header_list_deleter>;

inline header_list make_header_list(std::initializer_list<std::string> lines) {
  header_list list;
  for (const std::string& line : lines) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) throw std::bad_alloc();
    (void)list.release();
    list.reset(grown);
  }
  return list;
}

}  // namespace kv_veil
