#pragma once

// Text from outside the program (a controller's reply, a saved record, a file name) that goes
// into a log line. Info lines reach standard output, where the backup client reads its protocol
// line by line: such a text must never start a line of its own, nor steer a terminal.

#include <string>
#include <string_view>

namespace kelvanor_common {

// The text with every control character written as an escape: \n, \r and \t by name, the other
// bytes below 0x20 and DEL as \xNN, and the C1 controls of UTF-8 (U+0080 to U+009F, NEL among
// them) as \uNNNN. Everything else, a backslash included, stays as it is, so an ordinary text
// comes out unchanged.
[[nodiscard]] std::string log_text(std::string_view text);

// A tool's output without its final line breaks, for the end of a log line: the message's own
// std::endl ends the line, and the breaks inside stay to be shown as escapes.
[[nodiscard]] std::string_view without_final_line_breaks(std::string_view output);

// True when log_text would change the text: it holds a control character.
[[nodiscard]] bool has_control_characters(std::string_view text);

}  // namespace kelvanor_common
