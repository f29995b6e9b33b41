// Table definitions, in-memory tables and rows, the process-wide registries,
// identifier sequences and the XML table loader.
#pragma once

#include "tables/column_value.h"
#include "tables/containers.h"

#include <windows.h>
#include <stdint.h>

// Not used by the loader; kept so that a definition carries what it declares.
struct AllowedValues {
    char** values; // terminated list, or none
    char* from;
    char* to;
};

struct ColumnDefn {
    char* name;
    ColumnType type;
    ColumnValue* defaultValue; // none when the column has no default
    BYTE unique;
    char* generatorName; // key of the column's identifier sequence, or none
    char* description;
    int32_t maxSize;
    BYTE nullable;
    AllowedValues* allowedValues;
};

struct ForeignKeyDefn {
    char* localColumn;
    char* refColumn;
    char* refTable;
};

struct ConstraintDefn {
    char** primaryKeys;
    int32_t primaryKeyCount;
    Vector* foreignKeys; // of ForeignKeyDefn; none or empty without foreign keys
};

// A registered definition never changes, so the library walks its column and
// foreign-key vectors from their heads without taking their keys.
struct TableDefn {
    char* name;
    char* description;
    Vector columns; // of ColumnDefn, in definition order
    ConstraintDefn* constraints;
};

// A view's definition as the query layer builds it: only its columns are used here.
struct CustomViewDefn {
    char* name;
    Vector columns; // of ColumnDefn
};

const BYTE ORR_TABLE_KIND = 1;
const BYTE ORR_VIEW_KIND = 2;
const BYTE ORR_ROW_STATE_NEW = 2;

struct RowObject {
    void** values;    // column-count value pointers, owned
    int32_t* lengths; // column-count lengths
    BYTE state;
    RowObject* next;
    // The arrays live in the row's own block (1), which is cut from the
    // table's row blocks (2): rows the loader makes.
    BYTE packed;
};

struct TableData {
    char* name;
    BYTE kind;
    union {
        TableDefn* tableDefn;     // kind 1
        CustomViewDefn* viewDefn; // kind 2
    };
    int32_t columnCount;
    int32_t rowCount;
    RowObject* firstRow;
    RowObject* lastRow; // so that appending does not walk the chain
    void* rowBlocks;    // what the loader's rows are cut from, freed with the table
};

// The column definitions of a table of either kind, or none.
Vector* GetTableColumns(TableData* table);

TableDefn* FindTableDefn(const char* tableName);
ColumnDefn* GetColumnDefnEntry(const char* tableName, const char* columnName);
ForeignKeyDefn* FindForeignKey(TableDefn* defn, const char* localColumn);
TableData* GetTableDataByName(const char* tableName);
int CreateTable(const char* tableName);
// Takes ownership of both arrays (malloc'd, one entry per column).
RowObject* CreateNewRowObject(void** values, int32_t* lengths);
// The table owns the row when this returns 1; otherwise it stays the caller's.
int AddNewRow(const char* tableName, RowObject* row);
// Frees a row that no table owns, with its values.
void FreeRowObject(RowObject* row, Vector* columns, int32_t columnCount);
int32_t GenerateID(const char* tableName, ColumnDefn* column);
int UpdateSeqGen(const char* tableName, const char* generatorName);

// ---- registering definitions and sequences ----
//
// The data-dictionary layer that normally registers definitions is not part
// of this library; these calls stand in for it (tests, benchmarks, callers
// that load documents). The tool itself registers nothing.

struct ColumnSchema {
    const char* name;
    const char* typeName;    // "ORR_SQL_VARCHAR", "INTEGER", "CHAR", ... (any case; others give 0)
    const char* defaultText; // converted with ConvertStringToColumnValue; none for no default
    BYTE unique;
    const char* generatorName; // none when the column is not generated
    const char* description;
    int32_t maxSize; // CHAR or VARCHAR of 256 or more is held as TEXT
    BYTE nullable;
};

struct ForeignKeySchema {
    const char* localColumn;
    const char* refColumn;
    const char* refTable;
};

struct TableSchema {
    const char* name;
    const char* description;
    const ColumnSchema* columns;
    int32_t columnCount;
    const char* const* primaryKeys; // column names
    int32_t primaryKeyCount;
    const ForeignKeySchema* foreignKeys;
    int32_t foreignKeyCount;
};

// Builds a TableDefn from the schema (copying every text) and adds it to the
// definitions registry. 1 when registered; 0 when the schema is invalid (no
// name, a column without a name, two columns of one name, an incomplete
// foreign key) or a definition of that name exists; 99 when memory runs out.
int RegisterTableDefn(const TableSchema* schema);

// Registers a view (kind 2 table) with the schema's columns; constraints are
// ignored. Same results as RegisterTableDefn.
int RegisterCustomView(const TableSchema* schema);

// Creates or replaces the sequence-table entry of a generator: the next
// identifier and the end of the current batch. 1, 0 for no name, 99 when
// memory runs out.
int CreateSeqGenEntry(const char* generatorName, int32_t nextId, int32_t batchEnd);

// The query layer's SeqGenState table, as UpdateSeqGen needs it. Without a
// store UpdateSeqGen finds no table and fails, so a sequence ends with its batch.
struct SeqGenStore {
    // Runs the select; 1 with *batchEnd set when the key has a row, 0 when it
    // has none, -1 when the table cannot be queried.
    int (*selectBatchEnd)(void* context, const char* query, const char* key, int32_t* batchEnd);
    // Runs an update or insert; 1 on success.
    int (*executeUpdate)(void* context, const char* query);
    void* context;
};
void SetSeqGenStore(const SeqGenStore* store); // none removes it

// Removes every table with its rows (definitions and sequences stay). Only
// for tests, benchmarks and fuzzing: no result set may be alive.
void FreeAllTableData();

// ---- XML loading ----

namespace twxml {
struct Doc;
struct Node;
} // namespace twxml

int CreateTableDataFromXmlBuffer(const char* text, int32_t length);
int CreateTableDataFromXmlFile(const char* path);
// Walks the element's children; the caller owns the returned document map
// and releases it with FreeDocumentMap.
HashTable* CreateTableDataFromXmlNode(twxml::Doc* document, twxml::Node* element);
void FreeDocumentMap(HashTable* map);
