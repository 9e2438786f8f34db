#pragma once

// The saved form of the VeiL records: a Boost.Serialization text archive (flags 0, so with the
// "serialization::archive" header and the library's archive version) holding one record saved
// by value. A backup writes these files and the restore reads them back, possibly with a later
// release of the program, so the format stays the library's own.

#include "veil/domain_conf.h"
#include "veil/vdisk.h"

#include <iosfwd>
#include <string>

namespace kv_veil {

// The archive text right after the record has been stored, without the line end the archive
// adds when it closes. Throws the archive library's exception on failure.
[[nodiscard]] std::string to_archive_text(const domain_conf& record);
[[nodiscard]] std::string to_archive_text(const vdisk& record);

// Replaces every member of the record (lists and the map are emptied and refilled). Throws the
// archive library's exception for a header, version or text it does not accept.
void from_archive_text(const std::string& text, domain_conf& record);
void from_archive_text(const std::string& text, vdisk& record);

// Composes the whole text in memory first, then writes it to a file already opened for
// writing: a failure while composing leaves the file empty rather than half written.
void write_archive(std::ostream& file, const domain_conf& record);
void write_archive(std::ostream& file, const vdisk& record);

// Reads a file opened as a byte stream whole, by its size, and loads the record from it.
void read_archive(std::istream& file, domain_conf& record);
void read_archive(std::istream& file, vdisk& record);

// The name of the first member kept as JSON text whose text is not exactly one JSON value
// (kv_veil::is_json_text), or empty when all are sound, as in every file this program wrote. The
// creation requests paste these members in as they are: a forged one would add members to them.
[[nodiscard]] std::string unsound_json_member(const domain_conf& record);
[[nodiscard]] std::string unsound_json_member(const vdisk& record);

}  // namespace kv_veil
