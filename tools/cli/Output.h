#pragma once

#include <string>
#include <vector>

#include "RecordFields.h"

namespace cscli {

/// A value as one cell: texts as they are, numbers and booleans as JSON writes them, objects
/// and arrays as compact JSON, a missing value or null as "".
std::string CellText(const Json& value);

/// One CSV line (RFC 4180): a cell holding a comma, a double quote, CR or LF is put in double
/// quotes, with its double quotes doubled. Ends in "\n". Unless @p raw (--csv-raw), a cell that
/// begins with '=', '+', '-', '@', a tab or a carriage return and is not a plain number (an
/// optional sign, digits, optionally a point and digits, optionally an exponent: "-12.5", "+3",
/// "-1.5e-05") gets a leading "'", so that a spreadsheet cannot run it as a formula, and control
/// characters in a cell show as escapes.
std::string CsvLine(const std::vector<std::string>& cells, bool raw);

/// The columns to show when the user chose none: name, then a few common attributes that
/// the items hold, then id.
std::vector<std::string> DefaultColumns(const std::vector<Json>& items);

/// A table with one column per attribute, headed by its name in capitals.
std::string ColumnTable(const std::vector<Json>& items, const std::vector<std::string>& columns);

/// A header line of attribute names and one CSV line per item. @p raw: cells as they are (--csv-raw).
std::string ColumnCsv(const std::vector<Json>& items, const std::vector<std::string>& columns, bool raw);

/// One "name = value" line per attribute of each item (only those in @p columns when it names any), a blank
/// line between items. Names and values show control characters as '?'.
std::string KeyValueText(const std::vector<Json>& items, const std::vector<std::string>& columns);

/// Only the attributes named in @p columns, in that order (those an item lacks are left out).
Json Project(const Json& item, const std::vector<std::string>& columns);

/// JSON text ending in "\n": indented when @p pretty, else on one line. Invalid UTF-8 in the
/// server's texts is replaced rather than allowed to stop the output, and every control and bidi
/// character in them is written as a \uXXXX escape (or JSON's \n, \t, ...): the same JSON, which
/// a terminal shows without running anything.
std::string JsonText(const Json& value, bool pretty);

}  // namespace cscli
