#include "tables_test_util.h"
#include "base/log.h"

#include <string.h>

#include <regex>

namespace tabtest {

ScopedLog::ScopedLog(unsigned char level) {
    SetLogDefaults();
    SetLogConfig("tabrix.log", dir_.path().c_str(), level);
    OpenLogFile("w");
}

ScopedLog::~ScopedLog() {
    CloseLogFile();
    FreeLogConfig();
}

std::vector<LogEntry> ScopedLog::entries() const {
    std::string text = twtest::ReadFileText(dir_.file("tabrix.log"));
    static const std::regex header(
        R"(\[ \d+-\d\d-\d\d \d\d:\d\d:\d\d:\d\d\d \] \[ -?\d+ \] \[(INFO|ERROR|DEBUG|TRACE)\] )");
    std::vector<LogEntry> out;
    std::vector<std::pair<size_t, size_t>> spans; // header start, message start
    std::vector<std::string> levels;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), header);
         it != std::sregex_iterator(); ++it) {
        spans.emplace_back(static_cast<size_t>(it->position()),
                           static_cast<size_t>(it->position() + it->length()));
        levels.push_back((*it)[1]);
    }
    for (size_t i = 0; i < spans.size(); ++i) {
        size_t end = i + 1 < spans.size() ? spans[i + 1].first : text.size();
        std::string message = text.substr(spans[i].second, end - spans[i].second);
        // The close record follows the last line.
        size_t close = message.find("Log close time: ");
        if (close != std::string::npos && i + 1 == spans.size())
            message.resize(close);
        out.push_back({levels[i], message});
    }
    return out;
}

int ScopedLog::count(const std::string& level, const std::string& message) const {
    int n = 0;
    for (const auto& e : entries())
        n += (e.level == level && e.message == message) ? 1 : 0;
    return n;
}

int ScopedLog::find(const std::string& level, const std::string& message, int from) const {
    auto all = entries();
    for (int i = from; i < static_cast<int>(all.size()); ++i) {
        if (all[static_cast<size_t>(i)].level == level &&
            all[static_cast<size_t>(i)].message == message)
            return i;
    }
    return -1;
}

int Define(const char* table, const std::vector<Col>& cols,
           const std::vector<const char*>& primaryKeys, const std::vector<Fk>& fks) {
    std::vector<ColumnSchema> columnSchemas;
    for (const auto& c : cols)
        columnSchemas.push_back(
            ColumnSchema{c.name, c.type, c.defaultText, 0, c.generator, nullptr, c.maxSize, 1});
    std::vector<ForeignKeySchema> fkSchemas;
    for (const auto& f : fks)
        fkSchemas.push_back(ForeignKeySchema{f.local, f.refColumn, f.refTable});
    TableSchema schema{table,
                       nullptr,
                       columnSchemas.data(),
                       static_cast<int32_t>(columnSchemas.size()),
                       primaryKeys.data(),
                       static_cast<int32_t>(primaryKeys.size()),
                       fkSchemas.data(),
                       static_cast<int32_t>(fkSchemas.size())};
    return RegisterTableDefn(&schema);
}

int Load(const std::string& xml) {
    return CreateTableDataFromXmlBuffer(xml.data(), static_cast<int32_t>(xml.size()));
}

RowObject* RowAt(const char* table, int index) {
    TableData* t = GetTableDataByName(table);
    RowObject* r = t != nullptr ? t->firstRow : nullptr;
    for (int i = 0; r != nullptr && i < index; ++i)
        r = r->next;
    return r;
}

int RowCount(const char* table) {
    TableData* t = GetTableDataByName(table);
    return t != nullptr ? t->rowCount : -1;
}

std::string Text(const RowObject* row, int column) {
    const void* v = row->values[column];
    return v != nullptr ? std::string(static_cast<const char*>(v)) : std::string("<absent>");
}

int32_t Int32(const RowObject* row, int column) {
    int32_t v = 0;
    memcpy(&v, row->values[column], sizeof v);
    return v;
}

int64_t Int64(const RowObject* row, int column) {
    int64_t v = 0;
    memcpy(&v, row->values[column], sizeof v);
    return v;
}

} // namespace tabtest
