#include "tables/notification.h"
#include "base/text_helpers.h"
#include "base/log.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The listener registry. Zero-filled, so it is a valid empty Vector.
Vector g_listeners;

int compareNamesNoCase(const void* a, const void* b) {
    return CompareStringsNoCase(*static_cast<char* const*>(a), *static_cast<char* const*>(b));
}

void freeNames(char** names) {
    if (names == nullptr)
        return;
    for (char** p = names; *p != nullptr; ++p)
        free(*p);
    free(names);
}

void freeListener(NotificationListener* l) {
    if (l == nullptr)
        return;
    free(l->name);
    freeNames(l->tableNames);
    free(l);
}

NotificationListener* findListener(const char* name) {
    for (VectorNode* n = ElementAt(&g_listeners, 0); n != nullptr; n = n->next) {
        auto* l = static_cast<NotificationListener*>(n->data);
        if (CompareStringsNoCase(l->name, name) == 0)
            return l;
    }
    return nullptr;
}

bool eventMatches(BYTE eventType, BYTE state) {
    if (eventType == 0)
        return true;
    return state == eventType || state == (eventType | 8) || state == (eventType | 4) ||
           state == (eventType | 1);
}

} // namespace

int AddNotificationListener(char* name, BYTE eventType, NotificationCallback callback,
                            BYTE enabled, char** tableNames) {
    LogTrace("In Add notification Listener\n");
    if (name == nullptr)
        return 0;
    if (g_listeners.count > 0 && findListener(name) != nullptr) {
        LogError("Listener with same name exists %s\n", name);
        free(name);
        return 1;
    }
    size_t count = 0;
    if (tableNames != nullptr) {
        while (tableNames[count] != nullptr)
            ++count;
        qsort(tableNames, count, sizeof(char*), compareNamesNoCase);
    }
    auto* l = static_cast<NotificationListener*>(calloc(1, sizeof(NotificationListener)));
    if (l == nullptr) {
        LogError("Buffer Allocation is failed for listener!!!\n");
        free(name);
        return 0;
    }
    l->name = name;
    l->tableNames = static_cast<char**>(calloc(count + 1, sizeof(char*)));
    bool ok = l->tableNames != nullptr;
    for (size_t i = 0; ok && i < count; ++i) {
        l->tableNames[i] = TwTextDup(tableNames[i]);
        ok = l->tableNames[i] != nullptr;
    }
    if (!ok) {
        LogError("Buffer Allocation is failed for listener!!!\n");
        freeListener(l);
        return 0;
    }
    l->enabled = enabled;
    l->eventType = eventType;
    l->callback = callback;
    if (!AppendToVector(&g_listeners, l)) {
        LogError("Buffer allocation is failed for nodePtr !!!\n");
        freeListener(l);
        return 0;
    }
    LogDebug("Listener with name %s added\n", l->name);
    return 1;
}

int DisableNotificationListener(const char* name) {
    LogTrace("In Disable notification\n");
    if (g_listeners.count == 0)
        return 0;
    NotificationListener* l = name != nullptr ? findListener(name) : nullptr;
    if (l == nullptr) {
        LogError("Listener with name %s doesn't exists\n", name != nullptr ? name : "(null)");
        return 0;
    }
    l->enabled = 0;
    LogDebug("Listener with name %s disabled\n", name);
    return 1;
}

int RemoveNotificationListener(const char* name) {
    LogTrace("In Remove notification\n");
    if (g_listeners.count == 0)
        return 0;
    NotificationListener* l = name != nullptr ? findListener(name) : nullptr;
    if (l == nullptr) {
        LogError("Listener with name %s doesn't exists\n", name != nullptr ? name : "(null)");
        return 0;
    }
    DeleteLCDVector(&g_listeners, l);
    LogDebug("Listener with name %s removed\n", name);
    freeListener(l);
    return 1;
}

void DeInitNotification() {
    LogTrace("In DeInit notification\n");
    while (g_listeners.count > 0) {
        VectorNode* first = ElementAt(&g_listeners, 0);
        if (first == nullptr)
            break;
        auto* l = static_cast<NotificationListener*>(first->data);
        DeleteElementAt(&g_listeners, 0);
        LogTrace("Listener with name %s removed\n", l->name);
        freeListener(l);
    }
}

int IsListContains(char** names, const char* name) {
    LogTrace("@@@ Inside IsListContains @@@\n");
    int32_t count = 0;
    if (names != nullptr && name != nullptr) {
        while (names[count] != nullptr)
            ++count;
    }
    int32_t low = 0;
    int32_t high = count - 1;
    while (low <= high) {
        int32_t mid = low + (high - low) / 2;
        int c = CompareStringsNoCase(names[mid], name);
        if (c == 0)
            return 1;
        if (c < 0)
            low = mid + 1;
        else
            high = mid - 1;
    }
    LogDebug("List doesn't contains key \n");
    return 0;
}

IMDSNotification* CreateIMDSNotification(RowObject* row, const char* tableName) {
    LogTrace("In CreateIMDSNotification \n");
    if (row == nullptr || tableName == nullptr)
        return nullptr;
    TableData* table = GetTableDataByName(tableName);
    if (table == nullptr)
        return nullptr;
    Vector* columns = GetTableColumns(table);
    int32_t count = table->columnCount > 0 ? table->columnCount : 0;
    auto* n = static_cast<IMDSNotification*>(calloc(1, sizeof(IMDSNotification)));
    if (n == nullptr)
        return nullptr;
    n->columnCount = count;
    n->tableName = TwTextDup(tableName);
    n->row = static_cast<RowObject*>(calloc(1, sizeof(RowObject)));
    n->columnTypes = static_cast<ColumnType*>(calloc(static_cast<size_t>(count) + 1, 1));
    bool ok = n->tableName != nullptr && n->row != nullptr && n->columnTypes != nullptr;
    if (ok) {
        n->row->values = static_cast<void**>(calloc(static_cast<size_t>(count) + 1, sizeof(void*)));
        n->row->lengths =
            static_cast<int32_t*>(calloc(static_cast<size_t>(count) + 1, sizeof(int32_t)));
        n->row->state = row->state;
        ok = n->row->values != nullptr && n->row->lengths != nullptr;
    }
    VectorNode* col = columns != nullptr ? columns->head : nullptr;
    for (int32_t i = 0; ok && i < count; ++i) {
        ColumnType type =
            col != nullptr ? static_cast<ColumnDefn*>(col->data)->type : ORR_SQL_NOT_SUPPORTED_TYPE;
        n->columnTypes[i] = type;
        n->row->lengths[i] = row->lengths[i];
        if (row->values[i] == nullptr) {
            // Large enough to read as an empty record as well as an empty text.
            n->row->values[i] = calloc(1, sizeof(OrrDateTime));
            ok = n->row->values[i] != nullptr;
        } else {
            ok = CopyColumnValue(&n->row->values[i], row->values[i], row->lengths[i], type) ==
                 ORR_SUCCESS;
        }
        if (col != nullptr)
            col = col->next;
    }
    if (ok) {
        n->timeStamp = GetCurrentOrrDateTime();
        ok = n->timeStamp != nullptr;
    }
    if (!ok) {
        FreeIMDSNotification(n);
        return nullptr;
    }
    return n;
}

void FreeIMDSNotification(IMDSNotification* n) {
    if (n == nullptr)
        return;
    if (n->row != nullptr) {
        for (int32_t i = 0; n->row->values != nullptr && i < n->columnCount; ++i) {
            ColumnType type =
                n->columnTypes != nullptr ? n->columnTypes[i] : ORR_SQL_NOT_SUPPORTED_TYPE;
            FreeColumnValue(n->row->values[i], n->row->lengths[i], type);
        }
        free(n->row->values);
        free(n->row->lengths);
        free(n->row);
    }
    free(n->columnTypes);
    free(n->tableName);
    FreeOrrDateTime(n->timeStamp);
    free(n);
}

void SendNotification(RowObject* row, const char* tableName) {
    LogTrace("In send notification\n");
    if (g_listeners.count == 0)
        return;
    IMDSNotification* notification = CreateIMDSNotification(row, tableName);
    if (notification == nullptr)
        return;
    for (VectorNode* node = ElementAt(&g_listeners, 0); node != nullptr; node = node->next) {
        auto* l = static_cast<NotificationListener*>(node->data);
        if (!l->enabled) {
            LogDebug("Listener %s  disabled\n", l->name);
        } else if (!IsListContains(l->tableNames, tableName)) {
            LogDebug("Listener not registered for %s table\n", tableName);
        } else if (!eventMatches(l->eventType, row->state)) {
            LogDebug("Listener not registered for Eventype %d\n", row->state);
        } else if (l->callback != nullptr) {
            l->callback(notification, l->name);
        }
    }
    FreeIMDSNotification(notification);
}
