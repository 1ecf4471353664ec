#include "Output.h"

#include "Table.h"
#include "Text.h"
#include "TextEscape.h"

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

// "-12.5", "+3", "-1.5e-05": what a spreadsheet reads as a number, never as a formula.
bool IsPlainNumber(const std::string& text) {
    std::size_t at = 0;
    const auto digits = [&text, &at] {
        const std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at > start;
    };
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (!digits()) return false;
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (!digits()) return false;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        if (!digits()) return false;
    }
    return at == text.size();
}

std::string CsvCell(const std::string& text, bool raw) {
    if (raw) return text;
    // What spreadsheets run as a formula (or a DDE call) when a cell begins with it.
    const bool formula = !text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos;
    return (formula && !IsPlainNumber(text) ? "'" : "") + Printable(text);
}

}  // namespace

std::string CellText(const Json& value) {
    if (value.is_null()) return "";
    if (value.is_string()) return value.get<std::string>();
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string CsvLine(const std::vector<std::string>& cells, bool raw) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (i > 0) line += ',';
        const std::string cell = CsvCell(cells[i], raw);
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

std::string ColumnCsv(const std::vector<Json>& items, const std::vector<std::string>& columns, bool raw) {
    std::string out = CsvLine(columns, raw);
    for (const Json& item : items) {
        std::vector<std::string> cells;
        for (const std::string& column : columns) cells.push_back(CellText(MemberOf(item, column)));
        out += CsvLine(cells, raw);
    }
    return out;
}

std::string KeyValueText(const std::vector<Json>& items, const std::vector<std::string>& columns) {
    std::string out;
    for (const Json& item : items) {
        if (!out.empty()) out += "\n";
        const Json shown = columns.empty() ? item : Project(item, columns);
        if (!shown.is_object()) {
            out += TextEscape::Printable(CellText(shown)) + "\n";
            continue;
        }
        for (const auto& [key, value] : shown.items())
            out += TextEscape::Printable(key) + " = " + TextEscape::Printable(CellText(value)) + "\n";
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
    // The writer escapes C0 controls itself; DEL, C1 and bidi controls it writes as they are.
    const std::string text = value.dump(pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace);
    return TextEscape::JsonWithoutControls(text) + "\n";
}

}  // namespace cscli
