// Row selection: the rows of a table that satisfy a criteria text, walked
// with a cursor.
#pragma once

#include "tables/table_data.h"

#include <windows.h>
#include <stdint.h>

struct ResultEntry {
    RowObject* row; // borrowed from the table
    ResultEntry* next;
};

struct ResultData {
    ResultEntry* first;
    BYTE kind; // 1 table, 2 view
    union {
        TableDefn* tableDefn;
        CustomViewDefn* viewDefn;
    };
    int32_t rowCount;
    int32_t columnCount;
    // The current entry; none before the first GotoNextRowObject. While the
    // result is being filled it marks the last entry.
    ResultEntry* cursor;
};

// A new result owned by the caller (release with FreeResultData), or none
// for a missing table, an invalid criteria, criteria on a view or on a table
// without columns.
ResultData* SelectRows(const char* tableName, const char* criteria);
ResultData* CreateResultData(int32_t rowCount, int32_t columnCount, TableData* table);
int AddRowToResultData(RowObject* row, ResultData* result);
RowObject* GotoNextRowObject(ResultData* result);
// The cursor row's own value buffer (not a copy), or none.
void* GetColumnValueByName(const char* columnName, int32_t* length, ResultData* result);
void FreeResultData(ResultData* result);
