#include "veil/saved_config.h"

#include "veil/json_values.h"

#include <boost/archive/impl/basic_text_iarchive.ipp>
#include <boost/archive/impl/text_iarchive_impl.ipp>
#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/serialization/collection_size_type.hpp>

#include <cstdint>
#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kv_veil {
namespace {

// Strict UTF-8: no overlong form, no surrogate, nothing beyond U+10FFFF.
bool is_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The sequence's length, the lead byte's bits of the code point, the least code point the
    // length may carry.
    const size_t length = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0) return false;
    uint32_t code = lead & (0x7F >> length);
    const uint32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// The library's text archive reader, except that a text length or an element count larger than
// what is left of the file is refused at once: the library would first size the text or the
// list to whatever a damaged or forged file declares, gigabytes of memory before it fails.
class bounded_text_iarchive : public boost::archive::text_iarchive_impl<bounded_text_iarchive> {
  using base = boost::archive::text_iarchive_impl<bounded_text_iarchive>;

 public:
  bounded_text_iarchive(std::istream& stream, std::streamoff size) : base(stream, 0), m_size(size) { init(); }

 private:
  friend class boost::archive::detail::interface_iarchive<bounded_text_iarchive>;
  friend class boost::archive::load_access;

  template <class T>
  void load(T& value) {
    base::load(value);
  }
  void load(boost::serialization::collection_size_type& count) {
    count = boost::serialization::collection_size_type(length("list of", "elements"));
  }
  void load(std::string& text) {
    const size_t size = length("text of", "bytes");
    is.get();  // the blank between the length and the characters
    text.resize(size);
    if (size > 0) is.read(text.data(), static_cast<std::streamsize>(size));
    // Checked once loaded: the byte dropped above may be the lead byte of a sequence whose
    // continuation then starts the text, in a file that is UTF-8 as a whole. Every text of a
    // record comes from a JSON reply and so is UTF-8, and a body built from another is no JSON.
    if (!is_utf8(text)) throw std::runtime_error("the saved configuration holds a text that is not UTF-8");
  }

  // Every element and every character takes at least one byte of the file.
  size_t length(const char* what, const char* unit) {
    size_t value = 0;
    base::load(value);
    const std::streamoff position = is.tellg();
    const auto left = static_cast<unsigned long long>(m_size - (position < 0 ? 0 : position));
    if (value > left)
      throw std::runtime_error("the saved configuration declares a " + std::string(what) + " " +
                               std::to_string(value) + " " + unit + " where only " + std::to_string(left) +
                               " bytes are left");
    return value;
  }

  std::streamoff m_size;
};

template <class Record>
std::string archive_text(const Record& record) {
  std::ostringstream stream;
  boost::archive::text_oarchive archive(stream, 0);
  archive << record;
  // Taken before the archive object closes: its closing line end is not part of the file.
  return stream.str();
}

template <class Record>
void load_text(const std::string& text, Record& record) {
  std::istringstream stream(text);
  bounded_text_iarchive archive(stream, static_cast<std::streamoff>(text.size()));
  archive >> record;
}

template <class Record>
void write_file(std::ostream& file, const Record& record) {
  const std::string text = archive_text(record);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.flush();
  if (!file) throw std::runtime_error("unable to write the configuration file");
}

template <class Record>
std::string first_unsound_member(const Record& record) {
  std::string found;
  record.for_each_json_text([&found](const std::string& name, const std::string& text) {
    if (found.empty() && !is_json_text(text)) found = name;
  });
  return found;
}

template <class Record>
void read_file(std::istream& file, Record& record) {
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  file.seekg(0, std::ios::beg);
  if (!file || size < 0) throw std::runtime_error("unable to read the configuration file");
  std::vector<char> bytes(static_cast<size_t>(size));
  file.read(bytes.data(), size);
  if (!file) throw std::runtime_error("unable to read the configuration file");
  load_text(std::string(bytes.begin(), bytes.end()), record);
}

}  // namespace

std::string to_archive_text(const domain_conf& record) { return archive_text(record); }
std::string to_archive_text(const vdisk& record) { return archive_text(record); }

void from_archive_text(const std::string& text, domain_conf& record) { load_text(text, record); }
void from_archive_text(const std::string& text, vdisk& record) { load_text(text, record); }

void write_archive(std::ostream& file, const domain_conf& record) { write_file(file, record); }
void write_archive(std::ostream& file, const vdisk& record) { write_file(file, record); }

void read_archive(std::istream& file, domain_conf& record) { read_file(file, record); }
void read_archive(std::istream& file, vdisk& record) { read_file(file, record); }

std::string unsound_json_member(const domain_conf& record) { return first_unsound_member(record); }
std::string unsound_json_member(const vdisk& record) { return first_unsound_member(record); }

}  // namespace kv_veil

template class boost::archive::basic_text_iarchive<kv_veil::bounded_text_iarchive>;
template class boost::archive::text_iarchive_impl<kv_veil::bounded_text_iarchive>;
