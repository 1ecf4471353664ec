#include "TeskSecrets.h"

#include <algorithm>
#include <set>

#include "StrUtil.h"

namespace {

constexpr std::string_view kSecretWords[] = {"password", "secret", "key", "token", "signature", "credential"};
// Longer names are not read whole: no server names a parameter or member like that.
constexpr std::size_t kMaxNameBytes = 256;

std::string Lower(std::string_view text) {
    std::string lower(text.substr(0, kMaxNameBytes));
    for (char& c : lower) c = StrUtil::LowerAscii(c);
    return lower;
}

bool EndsWith(const std::string& text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "details[0]." of "details[0].value"; empty for a name that is no indexed entry's member.
std::string EntryOf(const std::string& lowerName, std::string_view member) {
    if (!EndsWith(lowerName, member) || lowerName.size() < member.size() + 2) return std::string();
    const std::string prefix = lowerName.substr(0, lowerName.size() - member.size());
    return prefix.size() >= 2 && prefix[prefix.size() - 2] == ']' && prefix.back() == '.' ? prefix : std::string();
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Index just past the string whose opening quote is at `at` (or the text's end).
std::size_t StringEnd(std::string_view text, std::size_t at) {
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            return i + 1;
        }
    }
    return text.size();
}

// Index just past the value that starts at `at`: a string, an object or array with all it holds,
// or a bare token.
std::size_t ValueEnd(std::string_view text, std::size_t at) {
    const char first = text[at];
    if (first == '"') return StringEnd(text, at);
    if (first == '{' || first == '[') {
        std::size_t depth = 0;
        for (std::size_t i = at; i < text.size();) {
            const char c = text[i];
            if (c == '"') {
                i = StringEnd(text, i);
                continue;
            }
            if (c == '{' || c == '[') {
                ++depth;
            } else if ((c == '}' || c == ']') && --depth == 0) {
                return i + 1;
            }
            ++i;
        }
        return text.size();
    }
    std::size_t i = at;
    while (i < text.size() && !IsBlank(text[i]) && text[i] != ',' && text[i] != '}' && text[i] != ']') ++i;
    return i;
}

// The text between the quotes of a JSON string, lower-cased, with \u escapes of ASCII read; false for
// any other escape (no member name the server writes has one).
bool ReadName(std::string_view raw, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < raw.size() && name.size() < kMaxNameBytes; ++i) {
        char c = raw[i];
        if (c == '\\' && i + 5 < raw.size() && raw[i + 1] == 'u') {
            int code = 0;
            for (std::size_t k = 2; k < 6; ++k) {
                const int digit = StrUtil::HexDigit(raw[i + k]);
                if (digit < 0) return false;
                code = code * 16 + digit;
            }
            if (code >= 0x80) return false;
            c = static_cast<char>(code);
            i += 5;
        } else if (c == '\\') {
            return false;
        }
        name += StrUtil::LowerAscii(c);
    }
    return true;
}

// One member of an object met while walking a JSON text.
struct Member {
    std::size_t object;      // where the object holding it starts
    std::string name;        // lower-cased
    std::size_t valueBegin;  // where its value starts (text.size() when it is cut off)
};

// Walks the members of every object of a (possibly cut or broken) JSON text, in order. @p visit
// returns where the walk goes on: the value's start to walk into it, or past it to skip it.
template <typename Visit>
void WalkMembers(std::string_view text, Visit&& visit) {
    std::vector<std::size_t> objects;  // starts of the open containers; npos for an array
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '{' || c == '[') {
            objects.push_back(c == '{' ? i : std::string_view::npos);
            ++i;
            continue;
        }
        if ((c == '}' || c == ']') && !objects.empty()) {
            objects.pop_back();
            ++i;
            continue;
        }
        if (c != '"') {
            ++i;
            continue;
        }
        const std::size_t end = StringEnd(text, i);
        std::size_t next = end;
        while (next < text.size() && IsBlank(text[next])) ++next;
        const bool isKey = !objects.empty() && objects.back() != std::string_view::npos && next < text.size() &&
                           text[next] == ':' && end - i >= 2 && text[end - 1] == '"';
        Member member{isKey ? objects.back() : 0, std::string(), 0};
        if (!isKey || !ReadName(text.substr(i + 1, end - i - 2), member.name)) {
            i = end;
            continue;
        }
        ++next;
        while (next < text.size() && IsBlank(text[next])) ++next;
        member.valueBegin = next;
        i = visit(i, end, member);
    }
}

}  // namespace

bool TeskSecrets::IsSecretName(std::string_view name) {
    const std::string lower = Lower(name);
    return std::any_of(std::begin(kSecretWords), std::end(kSecretWords),
                       [&lower](std::string_view word) { return lower.find(word) != std::string::npos; });
}

std::vector<bool> TeskSecrets::SecretValues(const std::vector<TeskQueryParam>& params) {
    std::vector<bool> secret(params.size(), false);
    std::set<std::string> secretEntries;  // "details[0]." whose key or name is secret
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string lower = Lower(params[i].first);
        secret[i] = IsSecretName(lower);
        for (const std::string_view sibling : {std::string_view("key"), std::string_view("name")}) {
            const std::string entry = EntryOf(lower, sibling);
            if (!entry.empty() && IsSecretName(params[i].second)) secretEntries.insert(entry);
        }
    }
    if (secretEntries.empty()) return secret;
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string entry = EntryOf(Lower(params[i].first), "value");
        if (!entry.empty() && secretEntries.count(entry) > 0) secret[i] = true;
    }
    return secret;
}

std::string TeskSecrets::JsonForLog(const std::string& body, std::size_t limit) {
    std::size_t shown = std::min(body.size(), limit);
    while (shown > 0 && shown < body.size() && (static_cast<unsigned char>(body[shown]) & 0xC0) == 0x80) --shown;
    const std::string_view text(body.data(), shown);

    // First the objects whose "key" or "name" member names a secret: their "value" member is one.
    std::set<std::size_t> secretEntries;
    WalkMembers(text, [&](std::size_t, std::size_t keyEnd, const Member& member) {
        if ((member.name == "key" || member.name == "name") && member.valueBegin < text.size() &&
            text[member.valueBegin] == '"') {
            const std::size_t end = StringEnd(text, member.valueBegin);
            if (end - member.valueBegin >= 2 &&
                IsSecretName(text.substr(member.valueBegin + 1, end - member.valueBegin - 2))) {
                secretEntries.insert(member.object);
            }
        }
        return keyEnd;
    });

    std::string out;
    out.reserve(shown + 64);
    std::size_t copied = 0;
    WalkMembers(text, [&](std::size_t, std::size_t keyEnd, const Member& member) {
        const bool secret = IsSecretName(member.name) || (member.name == "value" && secretEntries.count(member.object));
        if (!secret || member.valueBegin >= text.size()) return keyEnd;
        out.append(text, copied, member.valueBegin - copied);
        out += "\"***\"";
        copied = ValueEnd(text, member.valueBegin);
        return copied;
    });
    out.append(text, copied, std::string_view::npos);
    if (shown < body.size()) out += StrUtil::Format(" ... [%zu bytes left out]", body.size() - shown);
    return out;
}

std::string TeskSecrets::MaskText(const std::string& text) {
    static constexpr char kValueEnd[] = "& \t\r\n\"',;)>]";
    std::string out;
    std::size_t copied = 0;
    for (std::size_t equals = text.find('='); equals != std::string::npos; equals = text.find('=', equals + 1)) {
        std::size_t begin = equals;
        while (begin > copied) {
            const char c = text[begin - 1];
            const bool nameChar = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                  c == '_' || c == '-' || c == '.' || c == '[' || c == ']';
            if (!nameChar) break;
            --begin;
        }
        if (begin == equals || !IsSecretName(std::string_view(text).substr(begin, equals - begin))) continue;
        std::size_t end = text.find_first_of(kValueEnd, equals + 1);
        if (end == std::string::npos) end = text.size();
        if (end == equals + 1) continue;
        out.append(text, copied, equals + 1 - copied);
        out += kMask;
        copied = end;
        equals = end - 1;
    }
    if (copied == 0) return text;
    out.append(text, copied, std::string::npos);
    return out;
}
