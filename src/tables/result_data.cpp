#include "tables/result_data.h"
#include "tables/criteria.h"
#include "base/lock_table.h"
#include "base/log.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The selection lock's key in the object lock table.
BYTE g_selectionLock;

Vector* resultColumns(ResultData* r) {
    if (r->kind == ORR_TABLE_KIND)
        return r->tableDefn != nullptr ? &r->tableDefn->columns : nullptr;
    if (r->kind == ORR_VIEW_KIND)
        return r->viewDefn != nullptr ? &r->viewDefn->columns : nullptr;
    return nullptr;
}

// A bound tree in post-order (left, right, node), so that evaluating it on a
// row is a loop with a stack of results rather than a recursion.
struct Program {
    CriteriaNode** nodes;
    int32_t count;
    bool* results;
};

void freeProgram(Program* p) {
    free(p->nodes);
    free(p->results);
}

// Binds every node to its column and converts each literal once for that
// column's type; false when memory runs out.
bool bindTree(CriteriaNode* tree, TableDefn* defn, Program* out) {
    out->nodes = nullptr;
    out->count = 0;
    out->results = nullptr;
    int32_t capacity = 16;
    auto** pending = static_cast<CriteriaNode**>(malloc(sizeof(CriteriaNode*) * 16));
    auto** order = static_cast<CriteriaNode**>(malloc(sizeof(CriteriaNode*) * 16));
    int32_t pendingCount = 0;
    int32_t orderCapacity = 16;
    bool ok = pending != nullptr && order != nullptr;
    if (ok)
        pending[pendingCount++] = tree;
    while (ok && pendingCount > 0) {
        CriteriaNode* n = pending[--pendingCount];
        if (out->count == orderCapacity) {
            orderCapacity *= 2;
            auto** grown = static_cast<CriteriaNode**>(
                realloc(order, sizeof(CriteriaNode*) * static_cast<size_t>(orderCapacity)));
            ok = grown != nullptr;
            if (!ok)
                break;
            order = grown;
        }
        order[out->count++] = n;
        if (pendingCount + 2 > capacity) {
            capacity *= 2;
            auto** grown = static_cast<CriteriaNode**>(
                realloc(pending, sizeof(CriteriaNode*) * static_cast<size_t>(capacity)));
            ok = grown != nullptr;
            if (!ok)
                break;
            pending = grown;
        }
        if (n->left != nullptr)
            pending[pendingCount++] = n->left;
        if (n->right != nullptr)
            pending[pendingCount++] = n->right;
    }
    free(pending);
    if (!ok) {
        free(order);
        out->count = 0;
        return false;
    }
    // Reversed, the order is left subtree, right subtree, node.
    for (int32_t i = 0, j = out->count - 1; i < j; ++i, --j) {
        CriteriaNode* t = order[i];
        order[i] = order[j];
        order[j] = t;
    }
    out->nodes = order;
    out->results = static_cast<bool*>(malloc(sizeof(bool) * static_cast<size_t>(out->count)));
    if (out->results == nullptr) {
        freeProgram(out);
        return false;
    }
    for (int32_t i = 0; i < out->count; ++i) {
        CriteriaNode* n = order[i];
        if (n->columnName == nullptr)
            continue;
        int32_t position = 0;
        for (VectorNode* c = defn->columns.head; c != nullptr; c = c->next, ++position) {
            auto* col = static_cast<ColumnDefn*>(c->data);
            if (CompareStringsNoCase(col->name, n->columnName) == 0) {
                n->columnPosition = position;
                n->columnType = col->type;
                break;
            }
        }
        if (n->columnType != ORR_SQL_NOT_SUPPORTED_TYPE) {
            n->literalLength = StringLength(n->literal);
            n->literalValue =
                ConvertStringToColumnValue(n->literal, &n->literalLength, n->columnType);
        }
    }
    return true;
}

// Asks for the row values the program compares, ahead of the comparison.
void prefetchValues(const Program& p, const RowObject* row) {
#if defined(__GNUC__)
    for (int32_t i = 0; i < p.count; ++i) {
        const CriteriaNode* n = p.nodes[i];
        if (n->op != ORR_OP_AND && n->op != ORR_OP_OR &&
            n->columnType != ORR_SQL_NOT_SUPPORTED_TYPE)
            __builtin_prefetch(row->values[n->columnPosition]);
    }
#else
    (void)p;
    (void)row;
#endif
}

bool evaluate(const Program& p, const RowObject* row) {
    int32_t depth = 0;
    for (int32_t i = 0; i < p.count; ++i) {
        const CriteriaNode* n = p.nodes[i];
        bool holds;
        if (n->op == ORR_OP_AND || n->op == ORR_OP_OR) {
            bool right = depth > 0 ? p.results[--depth] : true;
            bool left = depth > 0 ? p.results[--depth] : true;
            holds = n->op == ORR_OP_AND ? (left && right) : (left || right);
        } else if (n->columnType == ORR_SQL_NOT_SUPPORTED_TYPE) {
            holds = false;
        } else {
            // Texts compare up to their terminating zero; only numbers need
            // the recorded length, so a text criteria reads no length array.
            bool text = n->columnType == ORR_SQL_CHAR || n->columnType == ORR_SQL_VARCHAR ||
                        n->columnType == ORR_SQL_TEXT;
            int32_t length = text ? -1 : row->lengths[n->columnPosition];
            holds = CompareColumnValueWithLengths(row->values[n->columnPosition], length,
                                                  n->literalValue, n->literalLength, n->op,
                                                  n->columnType) == 1;
        }
        p.results[depth++] = holds;
    }
    return depth > 0 ? p.results[depth - 1] : true;
}

} // namespace

ResultData* CreateResultData(int32_t rowCount, int32_t columnCount, TableData* table) {
    LogTrace("@@@ Inside CreateResultData @@@\n");
    if (table == nullptr)
        return nullptr;
    auto* r = static_cast<ResultData*>(calloc(1, sizeof(ResultData)));
    if (r == nullptr)
        return nullptr;
    r->rowCount = 0;
    r->columnCount = columnCount;
    if (table->kind == ORR_TABLE_KIND) {
        r->kind = ORR_TABLE_KIND;
        r->tableDefn = table->tableDefn;
    } else {
        r->kind = ORR_VIEW_KIND;
        r->viewDefn = table->viewDefn;
    }
    return r;
}

int AddRowToResultData(RowObject* row, ResultData* result) {
    LogTrace("@@@ Inside AddRowToResultData @@@\n");
    if (result == nullptr)
        return 0;
    auto* e = static_cast<ResultEntry*>(malloc(sizeof(ResultEntry)));
    if (e == nullptr)
        return 0;
    e->row = row;
    e->next = nullptr;
    if (result->cursor != nullptr)
        result->cursor->next = e;
    else
        result->first = e;
    result->cursor = e;
    ++result->rowCount;
    return 1;
}

RowObject* GotoNextRowObject(ResultData* result) {
    LogTrace("@@@ Inside GotoNextRowObject @@@\n");
    if (result == nullptr)
        return nullptr;
    result->cursor = result->cursor == nullptr ? result->first : result->cursor->next;
    return result->cursor != nullptr ? result->cursor->row : nullptr;
}

void* GetColumnValueByName(const char* columnName, int32_t* length, ResultData* result) {
    LogTrace("\t@@@@@ GetColumnValueByName() @@@@@\n");
    if (result == nullptr || result->cursor == nullptr || columnName == nullptr)
        return nullptr;
    Vector* columns = resultColumns(result);
    if (columns == nullptr || columns->count == 0)
        return nullptr;
    int32_t position = 0;
    for (VectorNode* c = columns->head; c != nullptr; c = c->next, ++position) {
        if (CompareStringsNoCase(static_cast<ColumnDefn*>(c->data)->name, columnName) == 0) {
            RowObject* row = result->cursor->row;
            if (length != nullptr)
                *length = row->lengths[position];
            return row->values[position];
        }
    }
    return nullptr;
}

void FreeResultData(ResultData* result) {
    LogTrace("@@@ Inside FreeResultData @@@\n");
    if (result == nullptr)
        return;
    ResultEntry* e = result->first;
    while (e != nullptr) {
        ResultEntry* next = e->next;
        free(e);
        e = next;
    }
    free(result);
}

ResultData* SelectRows(const char* tableName, const char* criteria) {
    LogTrace("@@@ Inside SelectRows @@@\n");
    TableData* table = GetTableDataByName(tableName);
    if (table == nullptr)
        return nullptr;
    if (criteria == nullptr) {
        ResultData* result = CreateResultData(0, table->columnCount, table);
        if (result == nullptr)
            return nullptr;
        for (RowObject* row = table->firstRow; row != nullptr; row = row->next) {
            if (!AddRowToResultData(row, result)) {
                FreeResultData(result);
                return nullptr;
            }
        }
        result->cursor = nullptr;
        return result;
    }

    LockObject(&g_selectionLock);
    ResultData* result = nullptr;
    CriteriaNode* tree = ParseCriteria(criteria);
    Program program{nullptr, 0, nullptr};
    bool filterable = tree != nullptr && table->kind == ORR_TABLE_KIND &&
                      table->tableDefn != nullptr && table->tableDefn->columns.count > 0;
    if (filterable && bindTree(tree, table->tableDefn, &program))
        result = CreateResultData(0, table->columnCount, table);
    if (result != nullptr) {
        // Rows are taken a batch at a time and the values the criteria read
        // are fetched for the whole batch before any is compared: a row and
        // its texts lie wherever the heap put them, and waiting for each in
        // turn made the scan as slow as the memory rather than the compare.
        const int32_t kBatch = 16;
        RowObject* batch[kBatch];
        RowObject* next = table->firstRow;
        while (next != nullptr && result != nullptr) {
            int32_t n = 0;
            for (; next != nullptr && n < kBatch; next = next->next)
                batch[n++] = next;
            for (int32_t k = 0; k < n; ++k)
                prefetchValues(program, batch[k]);
            for (int32_t k = 0; k < n; ++k) {
                if (!evaluate(program, batch[k]))
                    continue;
                if (!AddRowToResultData(batch[k], result)) {
                    LogError("not able to Add row \n");
                    FreeResultData(result);
                    result = nullptr;
                    break;
                }
            }
        }
        if (result != nullptr)
            result->cursor = nullptr;
    }
    freeProgram(&program);
    FreeCriteriaTree(tree);
    UnlockObject(&g_selectionLock);
    return result;
}
