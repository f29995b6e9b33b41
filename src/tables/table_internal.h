// Entry points shared between the table library's own source files.
#pragma once

#include "tables/table_data.h"

// AddNewRow for a caller that has already found the table.
int AddNewRowToTable(TableData* table, const char* tableName, RowObject* row);

// A new row (state 2) whose value and length arrays, zero-filled, live in the
// row's own block, cut from the table's row blocks when a table is given: the
// rows of a load then lie one after the other, and a scan reads memory in
// order whatever the heap holds. FreeRowObject knows it; the blocks go with
// the table.
RowObject* CreatePackedRowObject(TableData* table, int32_t columnCount);
