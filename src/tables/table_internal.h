// Entry points shared between the table library's own source files.
#pragma once

#include "tables/table_data.h"

// AddNewRow for a caller that has already found the table.
int AddNewRowToTable(TableData* table, const char* tableName, RowObject* row);

// A new row (state 2) whose value and length arrays, zero-filled, live in the
// row's own block; FreeRowObject knows it.
RowObject* CreatePackedRowObject(int32_t columnCount);
