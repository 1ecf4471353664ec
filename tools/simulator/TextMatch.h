#pragma once

#include <string>

namespace cssim {

std::string ToLowerAscii(std::string text);

/// The server's name filter: a case-insensitive LIKE '%needle%', where '%' in @p needle stands for any run of
/// characters and '_' for exactly one.
bool NameFilterMatches(const std::string& text, const std::string& needle);

/// NameFilterMatches() for one needle against many texts that are lower-cased already.
class NamePattern {
public:
    explicit NamePattern(const std::string& needle);

    /// @brief True when @p lowerText matches; @p lowerText must be lower-cased (ToLowerAscii).
    bool Matches(const std::string& lowerText) const;

private:
    std::string lowerNeedle_;
    bool wildcards_;
};

}  // namespace cssim
