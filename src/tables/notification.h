// Change listeners: callers that want to hear of rows added to named tables.
#pragma once

#include "tables/table_data.h"

#include <windows.h>

struct IMDSNotification {
    char* tableName;
    RowObject* row; // a copy: values, lengths and state of the added row
    int32_t columnCount;
    ColumnType* columnTypes; // so that date and time copies are released as records
    OrrDateTime* timeStamp;
};

// Called on the thread that added the row; the notification is released after
// the last listener, so a listener keeps nothing of it. A callback must not
// remove listeners: the dispatch is walking their list.
typedef void (*NotificationCallback)(IMDSNotification* notification, const char* listenerName);

struct NotificationListener {
    char* name;        // owned
    char** tableNames; // owned, terminated, sorted case-insensitively
    BYTE enabled;
    BYTE eventType; // 0 = every event
    NotificationCallback callback;
};

// The registry takes ownership of the name (a malloc'd text): it keeps it, or
// frees it when the name is taken already or memory runs out. It keeps its own
// copies of the table names; the caller's table-name array is sorted in place.
int AddNotificationListener(char* name, BYTE eventType, NotificationCallback callback,
                            BYTE enabled, char** tableNames);
int DisableNotificationListener(const char* name);
int RemoveNotificationListener(const char* name);
void DeInitNotification();
int IsListContains(char** names, const char* name);
void SendNotification(RowObject* row, const char* tableName);
IMDSNotification* CreateIMDSNotification(RowObject* row, const char* tableName);
void FreeIMDSNotification(IMDSNotification* notification);
