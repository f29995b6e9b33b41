// The table library's own containers: a locked, singly linked Vector of
// pointers and a HashTable of text keys with chained buckets. Neither owns
// the data it points to.
#pragma once

#include <windows.h>
#include <stdint.h>

struct VectorNode {
    void* data;
    VectorNode* next;
};

// A zero-filled Vector is a valid empty one. Its address is its key in the
// object lock table.
struct Vector {
    VectorNode* head;
    int32_t count;
    VectorNode* tail;
};

Vector* InitVector(Vector* vector);
// Links a caller-made node (allocated with malloc) at the tail; the vector
// owns it from then on.
int AddElement(Vector* vector, VectorNode* node);
int AppendToVector(Vector* vector, void* data);
int DeleteElementAt(Vector* vector, int32_t position);
VectorNode* ElementAt(Vector* vector, int32_t position);
// Takes no lock.
VectorNode* GetNthElement(Vector* vector, int32_t position, VectorNode* start);
// Removes the first node whose data pointer is `data`.
int DeleteLCDVector(Vector* vector, void* data);
// Frees every node (not the data) and leaves the vector empty.
void ClearVector(Vector* vector);

struct HashEntry {
    char* key; // owned copy; none in an empty bucket head
    void* value;
    HashEntry* next;
};

struct HashTable {
    int32_t bucketCount;
    HashEntry** buckets; // one preallocated head entry per bucket
};

int InitHashTable(HashTable* table, int32_t bucketCount);
int HashPut(HashTable* table, const char* key, void* value);
void* HashGet(HashTable* table, const char* key);
HashEntry* HashGetEntry(HashTable* table, const char* key);
void FreeHashTable(HashTable* table);
