#include "veil/bounded_parse.h"

#include <boost/container/pmr/global_resource.hpp>
#include <boost/json/parser.hpp>
#include <boost/json/storage_ptr.hpp>

#include <stdexcept>
#include <string>

namespace kv_veil {
namespace {

// Hands out memory from the heap until `limit` bytes are in use, then refuses. Freed memory
// counts no longer.
class counting_resource final : public boost::container::pmr::memory_resource {
 public:
  explicit counting_resource(size_t limit) : m_limit(limit) {}

 private:
  void* do_allocate(size_t bytes, size_t alignment) override {
    if (bytes > m_limit - m_used)
      throw std::length_error("the parsed JSON would take more than " + std::to_string(m_limit >> 20) + " MiB");
    void* memory = m_upstream->allocate(bytes, alignment);
    m_used += bytes;
    return memory;
  }
  void do_deallocate(void* memory, size_t bytes, size_t alignment) override {
    m_upstream->deallocate(memory, bytes, alignment);
    m_used -= bytes;
  }
  bool do_is_equal(const memory_resource& other) const noexcept override { return this == &other; }

  boost::container::pmr::memory_resource* m_upstream = boost::container::pmr::new_delete_resource();
  size_t m_limit;
  size_t m_used = 0;
};

}  // namespace

boost::json::value parse_bounded(std::string_view text, size_t limit, const boost::json::parse_options& options) {
  // The parser's stack, where the elements of a container wait until it closes, is counted with
  // the value: both hold the same elements at once.
  const boost::json::storage_ptr storage = boost::json::make_shared_resource<counting_resource>(limit);
  boost::json::parser parser(storage, options);
  parser.reset(storage);
  // Anything after the value is an error of write().
  parser.write(text.data(), text.size());
  return parser.release();
}

boost::json::value parse_bounded_or_null(std::string_view text) noexcept {
  try {
    return parse_bounded(text);
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace kv_veil
