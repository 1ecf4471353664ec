#include "Grammar.h"

#include "Text.h"

namespace cscli {

namespace {

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The nouns of the built-in lists and of the commands the library itself sends, as the server spells them.
const char* const kNouns[] = {"Projects", "Zones",           "Pods",           "Clusters",
                              "Hosts",    "VirtualMachines", "VirtualMachine", "AsyncJobResult"};
const std::size_t kListNouns = 6;

}  // namespace

bool IsVerb(const std::string& word) {
    if (word.empty()) return false;
    for (const char c : word)
        if (!IsLetter(c)) return false;
    return true;
}

bool IsNoun(const std::string& word) {
    if (word.empty() || !IsLetter(word[0])) return false;
    for (const char c : word)
        if (!IsLetter(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

std::string BuiltInCommandName(const std::string& verb, const std::string& noun) {
    const std::string lower = cstools::AsciiLower(noun);
    for (const char* known : kNouns)
        if (lower == cstools::AsciiLower(known)) return cstools::AsciiLower(verb) + known;
    return cstools::AsciiLower(verb) + cstools::AsciiUpper(noun.substr(0, 1)) + noun.substr(1);
}

std::vector<std::string> BuiltInListNouns() {
    std::vector<std::string> nouns;
    for (std::size_t i = 0; i < kListNouns; ++i) nouns.push_back(cstools::AsciiLower(kNouns[i]));
    return nouns;
}

}  // namespace cscli
