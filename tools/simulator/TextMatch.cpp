#include "TextMatch.h"

#include "Text.h"

namespace cssim {
namespace {

bool LikeMatches(const std::string& value, const std::string& pattern) {
    // Greedy wildcard match with one backtracking point, linear in practice.
    std::size_t v = 0;
    std::size_t p = 0;
    std::size_t starP = std::string::npos;
    std::size_t starV = 0;
    while (v < value.size()) {
        if (p < pattern.size() && (pattern[p] == '_' || pattern[p] == value[v])) {
            ++v;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '%') {
            starP = p++;
            starV = v;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            v = ++starV;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '%') ++p;
    return p == pattern.size();
}

}  // namespace

NamePattern::NamePattern(const std::string& needle)
    : lowerNeedle_(cstools::AsciiLower(needle)), wildcards_(needle.find_first_of("%_") != std::string::npos) {
    if (wildcards_) lowerNeedle_ = "%" + lowerNeedle_ + "%";
}

bool NamePattern::Matches(const std::string& lowerText) const {
    // Without wildcards the LIKE is a plain substring search, the common case and the fast one.
    if (!wildcards_) return lowerText.find(lowerNeedle_) != std::string::npos;
    return LikeMatches(lowerText, lowerNeedle_);
}

}  // namespace cssim
