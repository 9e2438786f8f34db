#pragma once

// Internal to the record readers: the checks and field tables that the VM and vdisk readers
// share. Every check logs its own error line under the reader's signature text and answers
// whether reading may go on.

#include "common/kv_logger.h"
#include "veil/json_values.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace kv_veil {

inline constexpr std::string_view k_object_is_empty = ": json object is empty. ";

// One text member filled from the key of the same name.
template <class Record>
struct text_field {
  std::string_view key;
  std::string Record::*member;
  value_form form;
};

// Assigns the member whose key matches; false when no field has this key.
template <class Fields, class Record>
bool assign_field(const Fields& fields, std::string_view key, const boost::json::value& value, Record& record) {
  for (const auto& field : fields) {
    if (field.key == key) {
      record.*(field.member) = read_value(value, field.form);
      return true;
    }
  }
  return false;
}

// Every member of the object whose key is one of the fields.
template <class Fields, class Record>
void assign_fields(const Fields& fields, const boost::json::object& object, Record& record) {
  for (const auto& member : object) (void)assign_field(fields, member.key(), member.value(), record);
}

class reply_reader {
 public:
  explicit reply_reader(std::string_view sig) : m_sig(sig) {}

  void error(std::string_view message) const { KvLogStream(KvLogLvl::Error) << m_sig << message << std::endl; }

  // A nested object that must be there and hold something; nullptr after the error line.
  [[nodiscard]] const boost::json::object* object(const boost::json::value& value, std::string_view not_object,
                                                  std::string_view expected) const {
    if (!value.is_object()) {
      error(not_object);
      return nullptr;
    }
    if (value.get_object().empty()) {
      error(std::string(k_object_is_empty) + std::string(expected));
      return nullptr;
    }
    return &value.get_object();
  }

  // An array of scalars, each appended as quote-stripped text.
  [[nodiscard]] bool scalar_list(const boost::json::value& value, std::string_view not_array,
                                 std::vector<std::string>& list) const {
    if (!value.is_array()) {
      error(not_array);
      return false;
    }
    for (const boost::json::value& element : value.get_array()) list.push_back(quote_stripped(element));
    return true;
  }

  // An array of non-empty objects, each filled into a fresh record and appended; an element
  // that fails is not appended, the ones before it stay.
  template <class Record, class Fill>
  [[nodiscard]] bool object_list(const boost::json::value& value, std::string_view not_array,
                                 std::string_view not_object, std::string_view expected, std::vector<Record>& list,
                                 Fill fill) const {
    if (!value.is_array()) {
      error(not_array);
      return false;
    }
    for (const boost::json::value& element : value.get_array()) {
      const boost::json::object* fields = object(element, not_object, expected);
      if (!fields) return false;
      Record record;
      if (!fill(*fields, record)) return false;
      list.push_back(std::move(record));
    }
    return true;
  }

 private:
  std::string_view m_sig;
};

}  // namespace kv_veil
