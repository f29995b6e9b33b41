// Helpers of the table-library tests. Each test runs in its own process
// (CTest), so the library's registries start empty in every test.
#pragma once

#include "support/test_support.h"
#include "tables/tabrix.h"

#include <stdint.h>
#include <string>
#include <vector>

namespace tabtest {

struct LogEntry {
    std::string level; // INFO, ERROR, DEBUG, TRACE
    std::string message;
};

// The log opened in a temporary folder for the life of the object.
class ScopedLog {
  public:
    explicit ScopedLog(unsigned char level = 4);
    ~ScopedLog();
    ScopedLog(const ScopedLog&) = delete;
    ScopedLog& operator=(const ScopedLog&) = delete;
    // Every line's level and exact message (which may itself hold line ends).
    std::vector<LogEntry> entries() const;
    int count(const std::string& level, const std::string& message) const;
    bool has(const std::string& level, const std::string& message) const {
        return count(level, message) > 0;
    }
    // Index of the first entry with that message at or after `from`, or -1.
    int find(const std::string& level, const std::string& message, int from = 0) const;

  private:
    twtest::TempDir dir_;
};

// One column: name, type name, default text or none, generator name or none.
struct Col {
    const char* name;
    const char* type;
    const char* defaultText = nullptr;
    const char* generator = nullptr;
    int32_t maxSize = 0;
};

struct Fk {
    const char* local;
    const char* refColumn;
    const char* refTable;
};

// Registers a definition; returns RegisterTableDefn's result.
int Define(const char* table, const std::vector<Col>& cols,
           const std::vector<const char*>& primaryKeys = {}, const std::vector<Fk>& fks = {});

// Loads a document from text.
int Load(const std::string& xml);

// Row `index` of a table (0-based), or none.
RowObject* RowAt(const char* table, int index);
int RowCount(const char* table);
// A column value by position, as text / as the low 32 bits / as 64 bits.
std::string Text(const RowObject* row, int column);
int32_t Int32(const RowObject* row, int column);
int64_t Int64(const RowObject* row, int column);

} // namespace tabtest
