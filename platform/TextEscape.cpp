#include "TextEscape.h"

#include <algorithm>

namespace TextEscape {

namespace {

const char kHex[] = "0123456789abcdef";
const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The UTF-8 sequence at text[at] (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF). @return its length with @p codePoint set; 0 when there is none, with @p bad the
// length of the longest start of one found there (at least 1), which shows as one U+FFFD.
std::size_t Decode(const std::string& text, std::size_t at, unsigned long& codePoint, std::size_t& bad) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    std::size_t follow = 0;
    unsigned long value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        follow = 1;
        value = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        follow = 2;
        value = lead & 0x0FU;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        follow = 3;
        value = lead & 0x07U;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        bad = 1;
        return 0;
    }
    std::size_t length = 1;
    for (; length <= follow && at + length < text.size(); ++length) {
        const auto next = static_cast<unsigned char>(text[at + length]);
        if (next < low || next > high) break;
        value = (value << 6U) | (next & 0x3FU);
        low = 0x80;
        high = 0xBF;
    }
    if (length > follow) {
        codePoint = value;
        return length;
    }
    bad = length;
    return 0;
}

// "\u202e": four hex digits, as JSON writes an escape too.
std::string UnicodeEscape(unsigned long codePoint) {
    std::string escape = "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) escape += kHex[(codePoint >> shift) & 0xFU];
    return escape;
}

// "\x1b" for a control of one byte, "\u009b" for one of more.
std::string EscapeOf(unsigned long codePoint) {
    if (codePoint >= 0x80) return UnicodeEscape(codePoint);
    return std::string("\\x") + kHex[codePoint >> 4U] + kHex[codePoint & 0xFU];
}

bool IsPlainAscii(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7F;
}

// Appends the shown form of @p text to @p out, a whole character or escape at a time, as long as
// out stays within @p room bytes. @return false when the rest did not fit
bool AppendPrintable(const std::string& text, std::size_t room, std::string& out) {
    std::size_t at = 0;
    while (at < text.size()) {
        // Most text needs nothing: copy it in runs.
        std::size_t end = at;
        while (end < text.size() && IsPlainAscii(static_cast<unsigned char>(text[end]))) ++end;
        if (end > at) {
            const std::size_t fits = out.size() < room ? room - out.size() : 0;
            out.append(text, at, std::min(end - at, fits));
            if (end - at > fits) return false;
            at = end;
            continue;
        }
        unsigned long codePoint = 0;
        std::size_t bad = 0;
        const std::size_t length = Decode(text, at, codePoint, bad);
        std::string piece;
        if (length == 0) {
            piece = kReplacement;
            at += bad;
        } else {
            piece = IsEscaped(codePoint) ? EscapeOf(codePoint) : text.substr(at, length);
            at += length;
        }
        if (out.size() + piece.size() > room) return false;
        out += piece;
    }
    return true;
}

}  // namespace

bool IsEscaped(unsigned long codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) ||
           (codePoint >= 0x202A && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    AppendPrintable(text, std::string::npos, out);
    return out;
}

std::string Printable(const std::string& text, std::size_t limit) {
    std::string out;
    if (AppendPrintable(text, limit, out)) return out;
    const std::string marker = "...";
    out.clear();
    if (limit < marker.size()) return marker.substr(0, limit);
    AppendPrintable(text, limit - marker.size(), out);
    return out + marker;
}

std::string JsonWithoutControls(const std::string& json) {
    std::string out;
    out.reserve(json.size());
    std::size_t at = 0;
    while (at < json.size()) {
        // JSON's own characters are ASCII; the kinds in question can stand only inside strings.
        if (static_cast<unsigned char>(json[at]) < 0x7F) {
            out += json[at++];
            continue;
        }
        unsigned long codePoint = 0;
        std::size_t bad = 0;
        const std::size_t length = Decode(json, at, codePoint, bad);
        if (length == 0) {
            out += kReplacement;
            at += bad;
            continue;
        }
        if (IsEscaped(codePoint)) {
            // "\x7f" is no JSON escape: \u and four digits for DEL too.
            out += UnicodeEscape(codePoint);
        } else {
            out.append(json, at, length);
        }
        at += length;
    }
    return out;
}

}  // namespace TextEscape
