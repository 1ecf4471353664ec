#include "Output.h"

#include "Table.h"
#include "Text.h"

namespace cscli {

namespace {

// Attributes worth a column when the user chose none, in the order they then appear.
const char* const kPreferredColumns[] = {"state",     "type",    "zonename", "podname",   "clustername",
                                         "hostname",  "account", "domain",   "ipaddress", "hypervisor",
                                         "cpunumber", "memory",  "created"};
const std::size_t kMostDefaultColumns = 7;

bool Holds(const std::vector<Json>& items, const std::string& key) {
    for (const Json& item : items)
        if (item.is_object() && item.contains(key)) return true;
    return false;
}

const Json& MemberOf(const Json& item, const std::string& key) {
    static const Json kMissing;
    if (!item.is_object()) return kMissing;
    const auto it = item.find(key);
    return it == item.end() ? kMissing : *it;
}

}  // namespace

std::string CellText(const Json& value) {
    if (value.is_null()) return "";
    if (value.is_string()) return value.get<std::string>();
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string CsvLine(const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) line += ',';
        const std::string& cell = cells[i];
        if (cell.find_first_of(",\"\r\n") == std::string::npos) {
            line += cell;
            continue;
        }
        line += '"';
        for (const char c : cell) {
            if (c == '"') line += '"';
            line += c;
        }
        line += '"';
    }
    return line + "\n";
}

std::vector<std::string> DefaultColumns(const std::vector<Json>& items) {
    std::vector<std::string> columns;
    const bool named = Holds(items, "name");
    const bool identified = Holds(items, "id");
    if (named) columns.push_back("name");
    const std::size_t room = kMostDefaultColumns - (identified ? 1 : 0);
    for (const char* key : kPreferredColumns)
        if (columns.size() < room && Holds(items, key)) columns.push_back(key);
    // Items with none of the usual attributes (an answer of some other command): their own first ones.
    if (columns.empty() && !items.empty() && items.front().is_object()) {
        for (const auto& [key, value] : items.front().items()) {
            if (columns.size() >= room) break;
            if (!value.is_structured() && key != "id") columns.push_back(key);
        }
    }
    if (identified) columns.push_back("id");
    return columns;
}

std::string ColumnTable(const std::vector<Json>& items, const std::vector<std::string>& columns) {
    std::vector<Table::Column> headings;
    for (const std::string& column : columns) {
        bool numeric = Holds(items, column);
        for (const Json& item : items) {
            const Json& value = MemberOf(item, column);
            numeric = numeric && (value.is_null() || value.is_number());
        }
        headings.push_back({cstools::AsciiUpper(column), numeric ? Table::Align::Right : Table::Align::Left});
    }
    Table table(std::move(headings));
    for (const Json& item : items) {
        std::vector<std::string> cells;
        for (const std::string& column : columns) cells.push_back(CellText(MemberOf(item, column)));
        table.AddRow(std::move(cells));
    }
    return table.Render();
}

std::string ColumnCsv(const std::vector<Json>& items, const std::vector<std::string>& columns) {
    std::string out = CsvLine(columns);
    for (const Json& item : items) {
        std::vector<std::string> cells;
        for (const std::string& column : columns) cells.push_back(CellText(MemberOf(item, column)));
        out += CsvLine(cells);
    }
    return out;
}

std::string KeyValueText(const std::vector<Json>& items, const std::vector<std::string>& columns) {
    std::string out;
    for (const Json& item : items) {
        if (!out.empty()) out += "\n";
        const Json shown = columns.empty() ? item : Project(item, columns);
        if (!shown.is_object()) {
            out += cstools::Printable(CellText(shown)) + "\n";
            continue;
        }
        for (const auto& [key, value] : shown.items())
            out += cstools::Printable(key) + " = " + cstools::Printable(CellText(value)) + "\n";
    }
    return out;
}

Json Project(const Json& item, const std::vector<std::string>& columns) {
    Json projected = Json::object();
    for (const std::string& column : columns) {
        const Json& value = MemberOf(item, column);
        if (item.is_object() && item.contains(column)) projected[column] = value;
    }
    return projected;
}

std::string JsonText(const Json& value, bool pretty) {
    return value.dump(pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace cscli
