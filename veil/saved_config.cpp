#include "veil/saved_config.h"

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>

#include <istream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace kv_veil {
namespace {

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
  boost::archive::text_iarchive archive(stream, 0);
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

}  // namespace kv_veil
