#pragma once

#include <string>

namespace cssim {

/// The server's name filter: a case-insensitive LIKE '%needle%', where '%' in the needle stands for any run of
/// characters and '_' for exactly one. Made once per needle, matched against many texts lower-cased already.
class NamePattern {
public:
    explicit NamePattern(const std::string& needle);

    /// @brief True when @p lowerText matches; @p lowerText must be lower-cased (cstools::AsciiLower).
    bool Matches(const std::string& lowerText) const;

private:
    std::string lowerNeedle_;
    bool wildcards_;
};

}  // namespace cssim
