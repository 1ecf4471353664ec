#pragma once

/// @file
/// How text that came from a server is shown, so that it is read, never run: on a terminal, in a
/// log line, in a CSV cell and in JSON output. The library and cloudstack-cli compile this one file
/// each, so both show the same text the same way. It depends on the standard library alone.

#include <cstddef>
#include <string>

namespace TextEscape {

/// @brief Whether a code point is shown as an escape: the C0 controls, DEL, the C1 controls
/// (U+0080-U+009F; a terminal reads U+009B as CSI) and the bidi controls U+202A-U+202E and
/// U+2066-U+2069, which reorder what follows them on the screen.
/// @param codePoint a Unicode code point
/// @return true when it must never reach a terminal or a log as it is
bool IsEscaped(unsigned long codePoint);

/// @brief @p text as it may stand on a terminal, in one log line or in a CSV cell: C0 controls
/// and DEL as "\x1b", C1 and bidi controls as "\u009b" or "\u202e" (lower-case hex), and each
/// stretch of bytes that is not UTF-8 as U+FFFD. Everything else, a backslash included, stays as it
/// is, so applying it twice changes nothing more.
/// @param text any bytes
/// @return valid UTF-8 without a control character
std::string Printable(const std::string& text);

/// @brief Printable, at most @p limit bytes long: a longer result is cut after the last whole
/// character or escape that fits, followed by "...".
/// @param text any bytes
/// @param limit the most bytes of the result; at least 3
/// @return valid UTF-8 without a control character, at most @p limit bytes
std::string Printable(const std::string& text, std::size_t limit);

/// @brief JSON text in which DEL, the C1 controls and the bidi controls are written as \\uXXXX
/// escapes. Such characters can stand in a JSON text only inside its strings, so the result is
/// the same JSON value; the C0 controls a JSON writer escapes already.
/// @param json JSON text in UTF-8, as nlohmann::json's dump writes it
/// @return the same JSON, without a raw control character of those kinds
std::string JsonWithoutControls(const std::string& json);

}  // namespace TextEscape
