#include "Table.h"

#include <algorithm>
#include <utility>

namespace cscli {

std::size_t DisplayWidth(const std::string& text) {
    std::size_t width = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;  // continuation bytes add nothing
    return width;
}

Table::Table(std::vector<Column> columns) : columns_(std::move(columns)) {
    // Headings may be a server's attribute names (api ... --output table).
    for (Column& column : columns_) column.heading = Printable(column.heading);
}

void Table::AddRow(std::vector<std::string> cells) {
    cells.resize(columns_.size());
    for (std::string& cell : cells) cell = cell.empty() ? "-" : Printable(cell);
    rows_.push_back(std::move(cells));
}

std::string Table::Render() const {
    std::vector<std::size_t> widths;
    for (const Column& column : columns_) widths.push_back(DisplayWidth(column.heading));
    for (const std::vector<std::string>& row : rows_)
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));

    std::string out;
    auto addLine = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::string padding(widths[i] - DisplayWidth(cells[i]), ' ');
            if (i > 0) line += "  ";
            if (columns_[i].align == Align::Right)
                line += padding + cells[i];
            else
                line += cells[i] + padding;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out += line + "\n";
    };

    std::vector<std::string> headings;
    for (const Column& column : columns_) headings.push_back(column.heading);
    addLine(headings);
    for (const std::vector<std::string>& row : rows_) addLine(row);
    return out;
}

}  // namespace cscli
