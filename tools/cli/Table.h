#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "TextEscape.h"

namespace cscli {

/// Number of code points in UTF-8 @p text: what a terminal advances for the names a cloud holds.
std::size_t DisplayWidth(const std::string& text);

/// A name holding a tab, a newline, an escape sequence or a bidi override can neither break a
/// table nor drive the terminal: every line the client prints shows server text through this
/// ("\x1b", "\u202e"), the library's own log and last error the same way.
using TextEscape::Printable;

/// A text table whose column widths follow the content; columns are two blanks apart.
class Table {
public:
    enum class Align { Left, Right };
    struct Column {
        std::string heading;
        Align align{Align::Left};
    };

    explicit Table(std::vector<Column> columns);

    /// Adds one row; an empty cell shows as "-", control characters as escapes.
    void AddRow(std::vector<std::string> cells);

    /// The heading line and every row, each ending in a newline, without trailing blanks.
    std::string Render() const;

private:
    std::vector<Column> columns_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace cscli
