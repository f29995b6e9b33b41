#include "tables/table_data.h"
#include "base/text_helpers.h"
#include "tables/notification.h"
#include "tables/table_internal.h"
#include "base/lock_table.h"
#include "base/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Process-wide registries; zero-filled Vectors are valid empty ones.
Vector g_defnRegistry;
Vector g_tableRegistry;

// Generator name -> SeqGenPair. Made on first use.
HashTable g_seqTable;
bool g_seqTableReady = false;
const int32_t kSeqTableBuckets = 50;
const int32_t kSeqBatchSize = 300;

SeqGenStore g_seqStore;
bool g_haveSeqStore = false;

struct SeqGenPair {
    int32_t nextId;
    int32_t batchEnd;
};

// A new text from a printf-style format; none when memory runs out.
char* formatText(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    char* p = n >= 0 ? static_cast<char*>(malloc(static_cast<size_t>(n) + 1)) : nullptr;
    if (p != nullptr)
        vsnprintf(p, static_cast<size_t>(n) + 1, format, again);
    va_end(again);
    return p;
}

// A generator name inside a quoted SQL literal: quotes doubled.
char* sqlQuoted(const char* s) {
    size_t extra = 0;
    for (const char* p = s; *p != '\0'; ++p)
        extra += *p == '\'' ? 1 : 0;
    auto* out = static_cast<char*>(malloc(strlen(s) + extra + 1));
    if (out == nullptr)
        return nullptr;
    char* o = out;
    for (const char* p = s; *p != '\0'; ++p) {
        *o++ = *p;
        if (*p == '\'')
            *o++ = '\'';
    }
    *o = '\0';
    return out;
}

bool ensureSeqTable() {
    if (!g_seqTableReady)
        g_seqTableReady = InitHashTable(&g_seqTable, kSeqTableBuckets) == 1;
    return g_seqTableReady;
}

void freeColumnDefn(ColumnDefn* c) {
    if (c == nullptr)
        return;
    free(c->name);
    if (c->defaultValue != nullptr) {
        FreeColumnValue(c->defaultValue->value, c->defaultValue->length, c->type);
        free(c->defaultValue);
    }
    free(c->generatorName);
    free(c->description);
    if (c->allowedValues != nullptr) {
        for (char** v = c->allowedValues->values; v != nullptr && *v != nullptr; ++v)
            free(*v);
        free(c->allowedValues->values);
        free(c->allowedValues->from);
        free(c->allowedValues->to);
        free(c->allowedValues);
    }
    free(c);
}

void freeColumns(Vector* columns) {
    for (VectorNode* n = columns->head; n != nullptr; n = n->next)
        freeColumnDefn(static_cast<ColumnDefn*>(n->data));
    ClearVector(columns);
}

void freeTableDefn(TableDefn* d) {
    if (d == nullptr)
        return;
    free(d->name);
    free(d->description);
    freeColumns(&d->columns);
    if (d->constraints != nullptr) {
        for (int32_t i = 0; i < d->constraints->primaryKeyCount; ++i)
            free(d->constraints->primaryKeys[i]);
        free(d->constraints->primaryKeys);
        if (d->constraints->foreignKeys != nullptr) {
            for (VectorNode* n = d->constraints->foreignKeys->head; n != nullptr; n = n->next) {
                auto* fk = static_cast<ForeignKeyDefn*>(n->data);
                free(fk->localColumn);
                free(fk->refColumn);
                free(fk->refTable);
                free(fk);
            }
            ClearVector(d->constraints->foreignKeys);
            free(d->constraints->foreignKeys);
        }
        free(d->constraints);
    }
    free(d);
}

bool validSchema(const TableSchema* schema) {
    if (schema == nullptr || schema->name == nullptr || schema->name[0] == '\0' ||
        schema->columnCount < 0 || (schema->columnCount > 0 && schema->columns == nullptr) ||
        schema->primaryKeyCount < 0 ||
        (schema->primaryKeyCount > 0 && schema->primaryKeys == nullptr) ||
        schema->foreignKeyCount < 0 ||
        (schema->foreignKeyCount > 0 && schema->foreignKeys == nullptr))
        return false;
    for (int32_t i = 0; i < schema->columnCount; ++i) {
        const char* name = schema->columns[i].name;
        if (name == nullptr || name[0] == '\0')
            return false;
        // Columns are found by name without regard to case: two alike would shadow.
        for (int32_t j = 0; j < i; ++j) {
            if (CompareStringsNoCase(name, schema->columns[j].name) == 0)
                return false;
        }
    }
    for (int32_t i = 0; i < schema->primaryKeyCount; ++i) {
        if (schema->primaryKeys[i] == nullptr)
            return false;
    }
    for (int32_t i = 0; i < schema->foreignKeyCount; ++i) {
        const ForeignKeySchema& fk = schema->foreignKeys[i];
        if (fk.localColumn == nullptr || fk.refColumn == nullptr || fk.refTable == nullptr)
            return false;
    }
    return true;
}

// Fills `columns` from the schema; false when memory runs out (what was added
// stays in the vector for the caller to free).
bool buildColumns(Vector* columns, const TableSchema* schema) {
    for (int32_t i = 0; i < schema->columnCount; ++i) {
        const ColumnSchema& cs = schema->columns[i];
        auto* c = static_cast<ColumnDefn*>(calloc(1, sizeof(ColumnDefn)));
        if (c == nullptr)
            return false;
        c->name = TwTextDup(cs.name);
        c->type = GetColumnTypeFromName(cs.typeName, cs.maxSize);
        c->unique = cs.unique;
        c->generatorName = TwTextDup(cs.generatorName);
        c->description = TwTextDup(cs.description);
        c->maxSize = cs.maxSize;
        c->nullable = cs.nullable;
        bool ok = c->name != nullptr && (cs.generatorName == nullptr || c->generatorName) &&
                  (cs.description == nullptr || c->description != nullptr);
        if (ok && cs.defaultText != nullptr) {
            int32_t len = StringLength(cs.defaultText);
            void* v = ConvertStringToColumnValue(cs.defaultText, &len, c->type);
            // A default that does not convert (an unknown boolean text, a type
            // that holds nothing) leaves the column without default.
            if (v != nullptr) {
                c->defaultValue = static_cast<ColumnValue*>(malloc(sizeof(ColumnValue)));
                if (c->defaultValue != nullptr) {
                    c->defaultValue->value = v;
                    c->defaultValue->length = len;
                } else {
                    FreeColumnValue(v, len, c->type);
                    ok = false;
                }
            }
        }
        if (!ok || !AppendToVector(columns, c)) {
            freeColumnDefn(c);
            return false;
        }
    }
    return true;
}

void freeRowValues(RowObject* row, Vector* columns, int32_t columnCount) {
    if (row->values == nullptr)
        return;
    VectorNode* col = columns != nullptr ? columns->head : nullptr;
    for (int32_t i = 0; i < columnCount; ++i) {
        ColumnType type =
            col != nullptr ? static_cast<ColumnDefn*>(col->data)->type : ORR_SQL_NOT_SUPPORTED_TYPE;
        FreeColumnValue(row->values[i], row->lengths != nullptr ? row->lengths[i] : 0, type);
        if (col != nullptr)
            col = col->next;
    }
}

int addRow(TableData* table, const char* tableName, RowObject* row);

void* newIdValue(int32_t id) {
    // Identifiers are 4-byte integers, kept in the padded integer layout.
    auto* p = static_cast<unsigned char*>(calloc(1, 9));
    if (p != nullptr) {
        auto u = static_cast<uint32_t>(id);
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<unsigned char>(u >> (8 * i));
    }
    return p;
}

} // namespace

// ---------------------------------------------------------------------------
// Lookups

Vector* GetTableColumns(TableData* table) {
    if (table == nullptr)
        return nullptr;
    if (table->kind == ORR_TABLE_KIND)
        return table->tableDefn != nullptr ? &table->tableDefn->columns : nullptr;
    if (table->kind == ORR_VIEW_KIND)
        return table->viewDefn != nullptr ? &table->viewDefn->columns : nullptr;
    return nullptr;
}

TableDefn* FindTableDefn(const char* tableName) {
    if (tableName == nullptr) {
        LogError("Table Name is NULL.\n");
        return nullptr;
    }
    if (g_defnRegistry.count == 0)
        return nullptr;
    for (VectorNode* n = ElementAt(&g_defnRegistry, 0); n != nullptr; n = n->next) {
        auto* d = static_cast<TableDefn*>(n->data);
        if (CompareStringsNoCase(d->name, tableName) == 0)
            return d;
    }
    return nullptr;
}

ColumnDefn* GetColumnDefnEntry(const char* tableName, const char* columnName) {
    LogTrace("@@@@ Inside GetColumnDefnEntry @@@@\n");
    if (tableName == nullptr || columnName == nullptr) {
        LogError("Cannot fetch default value;\n");
        return nullptr;
    }
    TableDefn* d = FindTableDefn(tableName);
    if (d == nullptr) {
        LogError("No definition found for table %s\n", tableName);
        return nullptr;
    }
    for (VectorNode* n = d->columns.head; n != nullptr; n = n->next) {
        auto* c = static_cast<ColumnDefn*>(n->data);
        if (strcmp(c->name, columnName) == 0)
            return c;
    }
    return nullptr;
}

ForeignKeyDefn* FindForeignKey(TableDefn* defn, const char* localColumn) {
    if (defn == nullptr || localColumn == nullptr)
        return nullptr;
    if (defn->constraints == nullptr) {
        LogError("No constraint Definition \n");
        return nullptr;
    }
    Vector* fks = defn->constraints->foreignKeys;
    if (fks == nullptr || fks->count == 0) {
        LogError("No Foreignkey Entries in Definition \n");
        return nullptr;
    }
    for (VectorNode* n = fks->head; n != nullptr; n = n->next) {
        auto* fk = static_cast<ForeignKeyDefn*>(n->data);
        if (CompareStringsNoCase(fk->localColumn, localColumn) == 0)
            return fk;
    }
    return nullptr;
}

TableData* GetTableDataByName(const char* tableName) {
    LogTrace("@@@ Inside GetTableDataByName @@@\n");
    if (tableName == nullptr || g_tableRegistry.count == 0)
        return nullptr;
    for (VectorNode* n = ElementAt(&g_tableRegistry, 0); n != nullptr; n = n->next) {
        auto* t = static_cast<TableData*>(n->data);
        if (CompareStringsNoCase(t->name, tableName) == 0)
            return t;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Tables and rows

int CreateTable(const char* tableName) {
    LogTrace("@@@ Inside CreateTable @@@\n");
    TableDefn* defn = FindTableDefn(tableName);
    if (defn == nullptr || GetTableDataByName(tableName) != nullptr)
        return 0;
    auto* t = static_cast<TableData*>(calloc(1, sizeof(TableData)));
    if (t == nullptr)
        return 0;
    t->name = TwTextDup(tableName);
    if (t->name == nullptr) {
        free(t);
        return 0;
    }
    t->kind = ORR_TABLE_KIND;
    t->tableDefn = defn;
    t->columnCount = defn->columns.count;
    if (!AppendToVector(&g_tableRegistry, t)) {
        free(t->name);
        free(t);
        return 0;
    }
    return 1;
}

RowObject* CreateNewRowObject(void** values, int32_t* lengths) {
    LogTrace("@@@ Inside CreateNewRowObject @@@\n");
    auto* row = static_cast<RowObject*>(malloc(sizeof(RowObject)));
    if (row == nullptr)
        return nullptr;
    row->values = values;
    row->lengths = lengths;
    row->state = ORR_ROW_STATE_NEW;
    row->next = nullptr;
    row->packed = 0;
    return row;
}

namespace {

// A block that rows are cut from, one after the other; the chain's head is
// the block being filled.
struct RowBlock {
    RowBlock* next;
    size_t used;
    size_t size;
};
const size_t kRowBlockBytes = 64 * 1024;

unsigned char* cutFromRowBlocks(TableData* table, size_t bytes) {
    auto* head = static_cast<RowBlock*>(table->rowBlocks);
    if (head == nullptr || head->size - head->used < bytes) {
        auto* fresh = static_cast<RowBlock*>(malloc(sizeof(RowBlock) + kRowBlockBytes));
        if (fresh == nullptr)
            return nullptr;
        fresh->next = head;
        fresh->used = 0;
        fresh->size = kRowBlockBytes;
        table->rowBlocks = fresh;
        head = fresh;
    }
    unsigned char* p = reinterpret_cast<unsigned char*>(head + 1) + head->used;
    head->used += bytes;
    memset(p, 0, bytes);
    return p;
}

void freeRowBlocks(TableData* table) {
    auto* b = static_cast<RowBlock*>(table->rowBlocks);
    while (b != nullptr) {
        RowBlock* next = b->next;
        free(b);
        b = next;
    }
    table->rowBlocks = nullptr;
}

} // namespace

RowObject* CreatePackedRowObject(TableData* table, int32_t columnCount) {
    LogTrace("@@@ Inside CreateNewRowObject @@@\n");
    size_t n = columnCount > 0 ? static_cast<size_t>(columnCount) : 0;
    // Pointers first, then the lengths: both stay aligned, and so does the
    // next row cut after this one.
    size_t bytes = sizeof(RowObject) + n * sizeof(void*) + (n + 1) * sizeof(int32_t);
    bytes = (bytes + alignof(RowObject) - 1) / alignof(RowObject) * alignof(RowObject);
    const bool cut = table != nullptr && bytes <= kRowBlockBytes / 8;
    auto* block =
        cut ? cutFromRowBlocks(table, bytes) : static_cast<unsigned char*>(calloc(1, bytes));
    if (block == nullptr)
        return nullptr;
    auto* row = reinterpret_cast<RowObject*>(block);
    row->values = reinterpret_cast<void**>(block + sizeof(RowObject));
    row->lengths = reinterpret_cast<int32_t*>(block + sizeof(RowObject) + n * sizeof(void*));
    row->state = ORR_ROW_STATE_NEW;
    row->next = nullptr;
    row->packed = cut ? 2 : 1;
    return row;
}

void FreeRowObject(RowObject* row, Vector* columns, int32_t columnCount) {
    if (row == nullptr)
        return;
    freeRowValues(row, columns, columnCount);
    if (!row->packed) {
        free(row->values);
        free(row->lengths);
    }
    // A row cut from its table's blocks goes with them.
    if (row->packed != 2)
        free(row);
}

int AddNewRow(const char* tableName, RowObject* row) {
    LogTrace("@@@ Inside AddNewRow @@@\n");
    return addRow(GetTableDataByName(tableName), tableName, row);
}

int AddNewRowToTable(TableData* table, const char* tableName, RowObject* row) {
    LogTrace("@@@ Inside AddNewRow @@@\n");
    return addRow(table, tableName, row);
}

namespace {

int addRow(TableData* table, const char* tableName, RowObject* row) {
    if (table == nullptr || row == nullptr)
        return 0;
    Vector* columns = GetTableColumns(table);
    if (columns == nullptr)
        return 0;
    if (table->columnCount > 0 && (row->values == nullptr || row->lengths == nullptr))
        return 0;
    int32_t i = 0;
    for (VectorNode* n = columns->head; n != nullptr && i < table->columnCount; n = n->next, ++i) {
        auto* col = static_cast<ColumnDefn*>(n->data);
        if (row->values[i] == nullptr && col->generatorName != nullptr) {
            void* id = newIdValue(GenerateID(tableName, col));
            if (id == nullptr)
                return 0;
            row->values[i] = id;
            row->lengths[i] = 4;
        }
        if (row->values[i] == nullptr && col->defaultValue != nullptr &&
            col->defaultValue->value != nullptr) {
            void* copy = nullptr;
            if (CopyColumnValue(&copy, col->defaultValue->value, col->defaultValue->length,
                                col->type) != ORR_SUCCESS)
                return 0;
            row->values[i] = copy;
            row->lengths[i] = col->defaultValue->length;
        }
    }
    row->next = nullptr;
    if (table->lastRow != nullptr)
        table->lastRow->next = row;
    else
        table->firstRow = row;
    table->lastRow = row;
    ++table->rowCount;
    SendNotification(row, tableName);
    return 1;
}

} // namespace

// ---------------------------------------------------------------------------
// Identifier sequences

int32_t GenerateID(const char* tableName, ColumnDefn* column) {
    const char* key = column != nullptr ? column->generatorName : nullptr;
    // A refill normally suffices; the bound keeps a store that hands out no
    // usable batch from looping for ever.
    for (int attempt = 0; attempt < 3; ++attempt) {
        LogTrace("Inside GenerateID \n");
        LogTrace("AutoId Key %s\n", key != nullptr ? key : "(null)");
        HashEntry* entry =
            (key != nullptr && g_seqTableReady) ? HashGetEntry(&g_seqTable, key) : nullptr;
        if (entry == nullptr) {
            LogTrace("Cannot generate ID for key %s.\n", key != nullptr ? key : "(null)");
            return -1;
        }
        LockObject(entry);
        auto* pair = static_cast<SeqGenPair*>(entry->value);
        if (pair == nullptr) {
            LogError("No Value for AutoId key %s \n", key);
            UnlockObject(entry);
            return -1;
        }
        if (pair->batchEnd < pair->nextId) {
            int ok = UpdateSeqGen(tableName, key);
            UnlockObject(entry);
            if (!ok)
                return -1;
            continue;
        }
        int32_t id = pair->nextId;
        if (id == INT32_MAX)
            pair->batchEnd = id - 1; // the sequence is spent; the next call asks for a batch
        else
            pair->nextId = id + 1;
        LogTrace("AutoGenerated Value %d \n", id);
        UnlockObject(entry);
        return id;
    }
    return -1;
}

int UpdateSeqGen(const char* tableName, const char* generatorName) {
    LogTrace("Inside UpdateSeqGen \n");
    if (generatorName == nullptr)
        return 0;
    char* quoted = sqlQuoted(generatorName);
    if (quoted == nullptr) {
        LogError("Memory allocation Failed\n");
        return 0;
    }
    char* query = formatText("select * from SeqGenState where SEQNAME = '%s';", quoted);
    if (query == nullptr) {
        free(quoted);
        LogError("Memory allocation Failed\n");
        return 0;
    }
    LogTrace("Query %s\n", query);
    int32_t end = 0;
    int found = g_haveSeqStore && g_seqStore.selectBatchEnd != nullptr
                    ? g_seqStore.selectBatchEnd(g_seqStore.context, query, generatorName, &end)
                    : -1;
    free(query);
    if (found < 0) {
        free(quoted);
        LogError("Table doesn't Exists for UpdateSeqGen\n");
        return 0;
    }
    SeqGenPair next{1, kSeqBatchSize};
    bool stored = false;
    if (found > 0) {
        if (end > INT32_MAX - kSeqBatchSize) {
            // The batch would run past the largest identifier.
            free(quoted);
            LogError("ExecuteUpdate Failed for update\n");
            return 0;
        }
        char* update =
            formatText("update SeqGenState set CURRENTBATCHEND = %d where SEQNAME = '%s';",
                       end + kSeqBatchSize, quoted);
        if (update != nullptr) {
            LogTrace("Update Query %s\n", update);
            stored = g_seqStore.executeUpdate != nullptr &&
                     g_seqStore.executeUpdate(g_seqStore.context, update) == 1;
            free(update);
        }
        if (!stored)
            LogError("ExecuteUpdate Failed for update\n");
        next = SeqGenPair{end + 1, end + kSeqBatchSize};
    } else {
        char* insert = formatText("insert into SeqGenState values ('%s',300);", quoted);
        if (insert != nullptr) {
            LogTrace("Insert Query %s\n", insert);
            stored = g_seqStore.executeUpdate != nullptr &&
                     g_seqStore.executeUpdate(g_seqStore.context, insert) == 1;
            free(insert);
        }
        if (!stored)
            LogError("ExecuteUpdate Failed for insert\n");
    }
    free(quoted);
    if (!stored)
        return 0;
    // The pair is updated in place: GenerateID holds the entry's key while it waits.
    HashEntry* entry = ensureSeqTable() ? HashGetEntry(&g_seqTable, generatorName) : nullptr;
    if (entry != nullptr && entry->value != nullptr) {
        *static_cast<SeqGenPair*>(entry->value) = next;
        return 1;
    }
    auto* pair = static_cast<SeqGenPair*>(malloc(sizeof(SeqGenPair)));
    if (pair == nullptr || !g_seqTableReady || !HashPut(&g_seqTable, generatorName, pair)) {
        free(pair);
        LogError("Memory allocation Failed\n");
        return 0;
    }
    *pair = next;
    return 1;
}

// ---------------------------------------------------------------------------
// Registration

int RegisterTableDefn(const TableSchema* schema) {
    if (!validSchema(schema) || FindTableDefn(schema->name) != nullptr)
        return 0;
    auto* d = static_cast<TableDefn*>(calloc(1, sizeof(TableDefn)));
    if (d == nullptr)
        return ORR_NO_MEMORY;
    bool ok = (d->name = TwTextDup(schema->name)) != nullptr &&
              (schema->description == nullptr ||
               (d->description = TwTextDup(schema->description)) != nullptr) &&
              buildColumns(&d->columns, schema);
    if (ok && (schema->primaryKeyCount > 0 || schema->foreignKeyCount > 0)) {
        d->constraints = static_cast<ConstraintDefn*>(calloc(1, sizeof(ConstraintDefn)));
        ok = d->constraints != nullptr;
        if (ok && schema->primaryKeyCount > 0) {
            d->constraints->primaryKeys = static_cast<char**>(
                calloc(static_cast<size_t>(schema->primaryKeyCount), sizeof(char*)));
            ok = d->constraints->primaryKeys != nullptr;
            for (int32_t i = 0; ok && i < schema->primaryKeyCount; ++i) {
                d->constraints->primaryKeys[i] = TwTextDup(schema->primaryKeys[i]);
                ok = d->constraints->primaryKeys[i] != nullptr;
                d->constraints->primaryKeyCount = i + 1;
            }
        }
        if (ok && schema->foreignKeyCount > 0) {
            d->constraints->foreignKeys = static_cast<Vector*>(calloc(1, sizeof(Vector)));
            ok = d->constraints->foreignKeys != nullptr;
            for (int32_t i = 0; ok && i < schema->foreignKeyCount; ++i) {
                auto* fk = static_cast<ForeignKeyDefn*>(calloc(1, sizeof(ForeignKeyDefn)));
                ok = fk != nullptr;
                if (ok) {
                    fk->localColumn = TwTextDup(schema->foreignKeys[i].localColumn);
                    fk->refColumn = TwTextDup(schema->foreignKeys[i].refColumn);
                    fk->refTable = TwTextDup(schema->foreignKeys[i].refTable);
                    ok = fk->localColumn != nullptr && fk->refColumn != nullptr &&
                         fk->refTable != nullptr && AppendToVector(d->constraints->foreignKeys, fk);
                    if (!ok) {
                        free(fk->localColumn);
                        free(fk->refColumn);
                        free(fk->refTable);
                        free(fk);
                    }
                }
            }
        }
    }
    if (!ok || !AppendToVector(&g_defnRegistry, d)) {
        freeTableDefn(d);
        return ORR_NO_MEMORY;
    }
    return ORR_SUCCESS;
}

int RegisterCustomView(const TableSchema* schema) {
    if (!validSchema(schema) || GetTableDataByName(schema->name) != nullptr)
        return 0;
    auto* v = static_cast<CustomViewDefn*>(calloc(1, sizeof(CustomViewDefn)));
    auto* t = static_cast<TableData*>(calloc(1, sizeof(TableData)));
    bool ok = v != nullptr && t != nullptr && (v->name = TwTextDup(schema->name)) != nullptr &&
              (t->name = TwTextDup(schema->name)) != nullptr && buildColumns(&v->columns, schema);
    if (ok) {
        t->kind = ORR_VIEW_KIND;
        t->viewDefn = v;
        t->columnCount = v->columns.count;
        ok = AppendToVector(&g_tableRegistry, t) == 1;
    }
    if (!ok) {
        if (v != nullptr) {
            free(v->name);
            freeColumns(&v->columns);
            free(v);
        }
        if (t != nullptr)
            free(t->name);
        free(t);
        return ORR_NO_MEMORY;
    }
    return ORR_SUCCESS;
}

int CreateSeqGenEntry(const char* generatorName, int32_t nextId, int32_t batchEnd) {
    if (generatorName == nullptr)
        return 0;
    if (!ensureSeqTable())
        return ORR_NO_MEMORY;
    HashEntry* entry = HashGetEntry(&g_seqTable, generatorName);
    if (entry != nullptr && entry->value != nullptr) {
        LockObject(entry);
        *static_cast<SeqGenPair*>(entry->value) = SeqGenPair{nextId, batchEnd};
        UnlockObject(entry);
        return ORR_SUCCESS;
    }
    auto* pair = static_cast<SeqGenPair*>(malloc(sizeof(SeqGenPair)));
    if (pair == nullptr)
        return ORR_NO_MEMORY;
    *pair = SeqGenPair{nextId, batchEnd};
    if (!HashPut(&g_seqTable, generatorName, pair)) {
        free(pair);
        return ORR_NO_MEMORY;
    }
    return ORR_SUCCESS;
}

void SetSeqGenStore(const SeqGenStore* store) {
    if (store == nullptr) {
        g_haveSeqStore = false;
        g_seqStore = SeqGenStore{};
        return;
    }
    g_seqStore = *store;
    g_haveSeqStore = true;
}

void FreeAllTableData() {
    for (VectorNode* n = g_tableRegistry.head; n != nullptr; n = n->next) {
        auto* t = static_cast<TableData*>(n->data);
        Vector* columns = GetTableColumns(t);
        RowObject* row = t->firstRow;
        while (row != nullptr) {
            RowObject* next = row->next;
            FreeRowObject(row, columns, t->columnCount);
            row = next;
        }
        freeRowBlocks(t);
        if (t->kind == ORR_VIEW_KIND && t->viewDefn != nullptr) {
            free(t->viewDefn->name);
            freeColumns(&t->viewDefn->columns);
            free(t->viewDefn);
        }
        free(t->name);
        free(t);
    }
    ClearVector(&g_tableRegistry);
}
