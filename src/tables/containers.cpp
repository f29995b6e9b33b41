#include "tables/containers.h"
#include "base/lock_table.h"
#include "base/log.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Holds the vector's key in the object lock table for one operation.
class VectorLock {
  public:
    explicit VectorLock(Vector* v) : v_(v) { LockObject(v_); }
    ~VectorLock() { UnlockObject(v_); }
    VectorLock(const VectorLock&) = delete;
    VectorLock& operator=(const VectorLock&) = delete;

  private:
    Vector* v_;
};

int deleteAtLocked(Vector* vector, int32_t position) {
    if (position < 0 || position >= vector->count || vector->head == nullptr)
        return 0;
    VectorNode* gone;
    if (position == 0) {
        gone = vector->head;
        vector->head = gone->next;
        if (vector->head == nullptr)
            vector->tail = nullptr;
    } else {
        VectorNode* prev = vector->head;
        for (int32_t i = 1; i < position && prev->next != nullptr; ++i)
            prev = prev->next;
        gone = prev->next;
        if (gone == nullptr)
            return 0;
        prev->next = gone->next;
        if (vector->tail == gone)
            vector->tail = prev;
    }
    free(gone);
    --vector->count;
    return 1;
}

// h = (h * 26 + byte) mod count for each byte. Reducing only when the next
// step could overflow gives the same bucket with far fewer divisions.
uint32_t bucketOf(const char* key, int32_t count) {
    const auto n = static_cast<uint64_t>(count);
    const uint64_t limit = (UINT64_MAX - 255u) / 26u;
    uint64_t h = 0;
    for (const auto* b = reinterpret_cast<const unsigned char*>(key); *b != 0; ++b) {
        if (h > limit)
            h %= n;
        h = h * 26u + *b;
    }
    return static_cast<uint32_t>(h % n);
}

char* copyKey(const char* key) {
    size_t n = strlen(key) + 1;
    auto* p = static_cast<char*>(malloc(n));
    if (p != nullptr)
        memcpy(p, key, n);
    return p;
}

} // namespace

// ---------------------------------------------------------------------------
// Vector

Vector* InitVector(Vector* vector) {
    LogTrace("\n\t@@@@@ Inside InitVector() @@@@@ \n");
    if (vector == nullptr)
        return nullptr;
    VectorLock lock(vector);
    vector->head = nullptr;
    vector->tail = nullptr;
    vector->count = 0;
    return vector;
}

int AddElement(Vector* vector, VectorNode* node) {
    LogTrace("\n\t@@@@@ Inside AddElement() @@@@@ \n");
    if (vector == nullptr || node == nullptr)
        return 0;
    VectorLock lock(vector);
    node->next = nullptr;
    if (vector->head == nullptr) {
        vector->head = node;
        vector->tail = node;
    } else {
        vector->tail->next = node;
        vector->tail = node;
    }
    ++vector->count;
    return 1;
}

int AppendToVector(Vector* vector, void* data) {
    if (vector == nullptr)
        return 0;
    auto* node = static_cast<VectorNode*>(malloc(sizeof(VectorNode)));
    if (node == nullptr) {
        LogTrace("\n\t@@@@@ Inside AddElement() @@@@@ \n");
        return 0;
    }
    node->data = data;
    node->next = nullptr;
    return AddElement(vector, node);
}

int DeleteElementAt(Vector* vector, int32_t position) {
    LogTrace("\n\t@@@@@ Inside DeleteElementAt() @@@@@ \n");
    if (vector == nullptr)
        return 0;
    VectorLock lock(vector);
    return deleteAtLocked(vector, position);
}

VectorNode* ElementAt(Vector* vector, int32_t position) {
    LogTrace("\n\t@@@@@ Inside ElementAt() @@@@@ \n");
    if (vector == nullptr)
        return nullptr;
    VectorLock lock(vector);
    if (position < 0 || position >= vector->count)
        return nullptr;
    VectorNode* node = vector->head;
    for (int32_t i = 0; i < position && node != nullptr; ++i)
        node = node->next;
    return node;
}

VectorNode* GetNthElement(Vector* vector, int32_t position, VectorNode* start) {
    LogTrace("\n\t@@@@@ Inside GetNthElement() @@@@@ \n");
    if (vector == nullptr || position < 0 || position >= vector->count || vector->head == nullptr)
        return nullptr;
    VectorNode* node = start;
    for (int32_t i = 0; i < position && node != nullptr; ++i)
        node = node->next;
    return node;
}

int DeleteLCDVector(Vector* vector, void* data) {
    LogTrace("\n\t@@@@@ Inside DeleteLCDVector() @@@@@ \n");
    if (vector == nullptr)
        return 0;
    int32_t position = -1;
    {
        VectorLock lock(vector);
        int32_t i = 0;
        for (VectorNode* n = vector->head; n != nullptr; n = n->next, ++i) {
            if (n->data == data) {
                position = i;
                break;
            }
        }
    }
    if (position < 0)
        return 0;
    // As DeleteElementAt, but the node is removed only if it still holds the
    // data, so a change made by another thread in between removes nothing wrong.
    LogTrace("\n\t@@@@@ Inside DeleteElementAt() @@@@@ \n");
    VectorLock lock(vector);
    VectorNode* n = vector->head;
    for (int32_t i = 0; i < position && n != nullptr; ++i)
        n = n->next;
    if (n == nullptr || n->data != data)
        return 0;
    return deleteAtLocked(vector, position);
}

void ClearVector(Vector* vector) {
    if (vector == nullptr)
        return;
    VectorLock lock(vector);
    VectorNode* n = vector->head;
    while (n != nullptr) {
        VectorNode* next = n->next;
        free(n);
        n = next;
    }
    vector->head = nullptr;
    vector->tail = nullptr;
    vector->count = 0;
}

// ---------------------------------------------------------------------------
// HashTable

int InitHashTable(HashTable* table, int32_t bucketCount) {
    if (table == nullptr || bucketCount < 0)
        return 0;
    if (bucketCount == 0)
        bucketCount = 10;
    table->bucketCount = 0;
    table->buckets = nullptr;
    auto** buckets =
        static_cast<HashEntry**>(calloc(static_cast<size_t>(bucketCount), sizeof(HashEntry*)));
    if (buckets == nullptr)
        return 0;
    for (int32_t i = 0; i < bucketCount; ++i) {
        buckets[i] = static_cast<HashEntry*>(calloc(1, sizeof(HashEntry)));
        if (buckets[i] == nullptr) {
            for (int32_t j = 0; j < i; ++j)
                free(buckets[j]);
            free(buckets);
            return 0;
        }
    }
    table->bucketCount = bucketCount;
    table->buckets = buckets;
    return 1;
}

int HashPut(HashTable* table, const char* key, void* value) {
    if (table == nullptr || key == nullptr || table->buckets == nullptr || table->bucketCount <= 0)
        return 0;
    HashEntry* head = table->buckets[bucketOf(key, table->bucketCount)];
    if (head->key == nullptr) {
        char* k = copyKey(key);
        if (k == nullptr)
            return 0;
        head->key = k;
        head->value = value;
        return 1;
    }
    HashEntry* e = head;
    for (;;) {
        if (e->key != nullptr && strcmp(e->key, key) == 0) {
            e->value = value;
            return 1;
        }
        if (e->next == nullptr)
            break;
        e = e->next;
    }
    auto* added = static_cast<HashEntry*>(malloc(sizeof(HashEntry)));
    char* k = copyKey(key);
    if (added == nullptr || k == nullptr) {
        free(added);
        free(k);
        return 0;
    }
    added->key = k;
    added->value = value;
    added->next = nullptr;
    e->next = added;
    return 1;
}

HashEntry* HashGetEntry(HashTable* table, const char* key) {
    if (table == nullptr || key == nullptr || table->buckets == nullptr || table->bucketCount <= 0)
        return nullptr;
    for (HashEntry* e = table->buckets[bucketOf(key, table->bucketCount)]; e != nullptr;
         e = e->next) {
        if (e->key != nullptr && strcmp(e->key, key) == 0)
            return e;
    }
    return nullptr;
}

void* HashGet(HashTable* table, const char* key) {
    HashEntry* e = HashGetEntry(table, key);
    return e != nullptr ? e->value : nullptr;
}

void FreeHashTable(HashTable* table) {
    if (table == nullptr || table->buckets == nullptr)
        return;
    for (int32_t i = 0; i < table->bucketCount; ++i) {
        HashEntry* e = table->buckets[i];
        while (e != nullptr) {
            HashEntry* next = e->next;
            free(e->key);
            free(e);
            e = next;
        }
    }
    free(table->buckets);
    table->buckets = nullptr;
    table->bucketCount = 0;
}
