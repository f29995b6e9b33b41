#include "tables_test_util.h"
#include "base/lock_table.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

using tabtest::Col;
using tabtest::ScopedLog;

namespace {

std::string Contents(Vector* v) {
    std::string out;
    for (VectorNode* n = ElementAt(v, 0); n != nullptr; n = n->next)
        out += static_cast<const char*>(n->data);
    return out;
}

char a[] = "a", b[] = "b", c[] = "c", d[] = "d";

} // namespace

TEST(TablesVector, DeletingTheOnlyNodeEmptiesIt) {
    Vector v{}; // zero-filled is a valid empty vector
    ASSERT_EQ(AppendToVector(&v, a), 1);
    EXPECT_EQ(DeleteElementAt(&v, 0), 1);
    EXPECT_EQ(v.head, nullptr);
    EXPECT_EQ(v.tail, nullptr);
    EXPECT_EQ(v.count, 0);
    ASSERT_EQ(AppendToVector(&v, b), 1);
    EXPECT_EQ(v.head, v.tail);
    EXPECT_EQ(Contents(&v), "b");
    ClearVector(&v);
}

TEST(TablesVector, DeletingTheLastMakesThePredecessorTheTail) {
    Vector v{};
    for (char* s : {a, b, c})
        AppendToVector(&v, s);
    EXPECT_EQ(DeleteElementAt(&v, 2), 1);
    EXPECT_EQ(static_cast<char*>(v.tail->data), b);
    AppendToVector(&v, d);
    EXPECT_EQ(Contents(&v), "abd");
    EXPECT_EQ(DeleteElementAt(&v, 1), 1) << "the middle node";
    EXPECT_EQ(Contents(&v), "ad");
    EXPECT_EQ(v.count, 2);
    ClearVector(&v);
}

TEST(TablesVector, PositionsOutsideTheVector) {
    Vector v{};
    EXPECT_EQ(DeleteElementAt(&v, 0), 0);
    EXPECT_EQ(ElementAt(&v, 0), nullptr);
    AppendToVector(&v, a);
    AppendToVector(&v, b);
    EXPECT_EQ(ElementAt(&v, 2), nullptr) << "position equal to the count";
    EXPECT_EQ(ElementAt(&v, -1), nullptr);
    EXPECT_EQ(DeleteElementAt(&v, 2), 0);
    EXPECT_EQ(DeleteElementAt(&v, -1), 0);
    EXPECT_EQ(GetNthElement(&v, 1, v.head)->data, b);
    EXPECT_EQ(GetNthElement(&v, 1, v.tail), nullptr) << "the chain ends first";
    EXPECT_EQ(GetNthElement(&v, 2, v.head), nullptr);
    EXPECT_EQ(v.count, 2);
    ClearVector(&v);
}

TEST(TablesVector, DeleteByDataComparesPointers) {
    Vector v{};
    char first[] = "x", second[] = "x";
    AppendToVector(&v, first);
    AppendToVector(&v, second);
    EXPECT_EQ(DeleteLCDVector(&v, second), 1);
    EXPECT_EQ(v.head->data, first);
    EXPECT_EQ(v.tail->data, first);
    EXPECT_EQ(DeleteLCDVector(&v, second), 0);
    ClearVector(&v);
}

TEST(TablesVector, OperationsLogAndReleaseTheirKey) {
    ScopedLog log;
    Vector v;
    InitVector(&v);
    AppendToVector(&v, a);
    ElementAt(&v, 0);
    DeleteLCDVector(&v, a);
    for (const char* m :
         {"\n\t@@@@@ Inside InitVector() @@@@@ \n", "\n\t@@@@@ Inside AddElement() @@@@@ \n",
          "\n\t@@@@@ Inside ElementAt() @@@@@ \n", "\n\t@@@@@ Inside DeleteLCDVector() @@@@@ \n",
          "\n\t@@@@@ Inside DeleteElementAt() @@@@@ \n"})
        EXPECT_TRUE(log.has("TRACE", m)) << m;
    EXPECT_EQ(UnlockObject(&v), 2) << "no operation may leave the vector's key held";
}

TEST(TablesHashTable, BucketsAndChains) {
    HashTable t;
    ASSERT_EQ(InitHashTable(&t, 0), 1);
    EXPECT_EQ(t.bucketCount, 10);
    FreeHashTable(&t);
    EXPECT_EQ(InitHashTable(&t, -1), 0);
    ASSERT_EQ(InitHashTable(&t, 50), 1);
    int v1 = 1;
    ASSERT_EQ(HashPut(&t, "ab", &v1), 1);
    // ((97 mod 50) * 26 + 98) mod 50 = 20
    EXPECT_STREQ(t.buckets[20]->key, "ab");
    FreeHashTable(&t);
}

TEST(TablesHashTable, ReplacingAKeyKeepsOneEntry) {
    HashTable t;
    ASSERT_EQ(InitHashTable(&t, 1), 1); // every key in one chain
    int v1 = 1, v2 = 2, v3 = 3, v4 = 4;
    HashPut(&t, "Key", &v1);
    HashPut(&t, "key", &v2);
    HashPut(&t, "other", &v3);
    HashPut(&t, "key", &v4);
    EXPECT_EQ(HashGet(&t, "Key"), &v1) << "keys differing in case are different keys";
    EXPECT_EQ(HashGet(&t, "key"), &v4);
    EXPECT_EQ(HashGet(&t, "other"), &v3);
    EXPECT_EQ(HashGet(&t, "missing"), nullptr);
    int entries = 0;
    for (HashEntry* e = t.buckets[0]; e != nullptr; e = e->next)
        entries += 1;
    EXPECT_EQ(entries, 3);
    EXPECT_EQ(HashGetEntry(&t, "key")->value, &v4);
    FreeHashTable(&t);
    EXPECT_EQ(HashGet(&t, "key"), nullptr);
}

namespace {

struct Received {
    std::vector<std::string> listeners;
    std::vector<std::string> values;
    int state = -1;
    bool stamped = false;
};
Received g_received;

void Record(IMDSNotification* n, const char* listener) {
    g_received.listeners.push_back(listener);
    g_received.state = n->row->state;
    g_received.stamped = n->timeStamp != nullptr && n->timeStamp->date != nullptr;
    g_received.values.clear();
    for (int i = 0; i < n->columnCount; ++i)
        g_received.values.push_back(static_cast<char*>(n->row->values[i]));
}

void AddRow(const char* table, const char* name) {
    auto** values = static_cast<void**>(calloc(2, sizeof(void*)));
    auto* lengths = static_cast<int32_t*>(calloc(2, sizeof(int32_t)));
    values[0] = strdup(name);
    lengths[0] = static_cast<int32_t>(strlen(name));
    ASSERT_EQ(AddNewRow(table, CreateNewRowObject(values, lengths)), 1);
}

class TablesListener : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(tabtest::Define("Agentparams",
                                  {{"NAME", "ORR_SQL_VARCHAR"}, {"VALUE", "ORR_SQL_VARCHAR"}}),
                  1);
        ASSERT_EQ(tabtest::Define("Other", {{"NAME", "ORR_SQL_VARCHAR"}}), 1);
        ASSERT_EQ(CreateTable("Agentparams"), 1);
        ASSERT_EQ(CreateTable("Other"), 1);
        g_received = Received{};
    }
    void TearDown() override { DeInitNotification(); }
    ScopedLog log_;
};

} // namespace

TEST_F(TablesListener, NamesAreSortedAndFoundWithoutRegardToCase) {
    char n1[] = "other", n2[] = "AGENTPARAMS", n3[] = "b";
    char* names[] = {n1, n2, n3, nullptr};
    ASSERT_EQ(AddNotificationListener(strdup("L"), 0, Record, 1, names), 1);
    EXPECT_STREQ(names[0], "AGENTPARAMS");
    EXPECT_STREQ(names[1], "b");
    EXPECT_STREQ(names[2], "other");
    EXPECT_EQ(IsListContains(names, "agentParams"), 1);
    EXPECT_EQ(IsListContains(names, "oth"), 0) << "a prefix is not a name";
    char* empty[] = {nullptr};
    EXPECT_EQ(IsListContains(empty, "a"), 0);
    EXPECT_TRUE(log_.has("DEBUG", "List doesn't contains key \n"));
    // The registry keeps its own copy: the caller's array may go away.
    n2[0] = 'X';
    AddRow("Agentparams", "row1");
    EXPECT_EQ(g_received.listeners, std::vector<std::string>{"L"});
    EXPECT_EQ(g_received.values, (std::vector<std::string>{"row1", ""}))
        << "an absent value arrives as an empty buffer";
    EXPECT_EQ(g_received.state, ORR_ROW_STATE_NEW);
    EXPECT_TRUE(g_received.stamped);
}

TEST_F(TablesListener, EventTypesTablesAndDisabledListenersFilter) {
    char t1[] = "Agentparams";
    char* names[] = {t1, nullptr};
    AddNotificationListener(strdup("every"), 0, Record, 1, names);
    AddNotificationListener(strdup("added"), 2, Record, 1, names);
    AddNotificationListener(strdup("one"), 1, Record, 1, names);
    AddNotificationListener(strdup("four"), 4, Record, 1, names);
    AddNotificationListener(strdup("off"), 2, Record, 0, names);
    // The registry owns every name it is given: kept, or freed when taken
    // already (the leak check of the sanitizer build holds both).
    EXPECT_EQ(AddNotificationListener(strdup("EVERY"), 2, Record, 1, names), 1);
    EXPECT_TRUE(log_.has("ERROR", "Listener with same name exists EVERY\n"));
    AddRow("Agentparams", "r");
    EXPECT_EQ(g_received.listeners, (std::vector<std::string>{"every", "added"}));
    EXPECT_EQ(log_.count("DEBUG", "Listener not registered for Eventype 2\n"), 2);
    EXPECT_TRUE(log_.has("DEBUG", "Listener off  disabled\n"));
    g_received = Received{};
    AddRow("Other", "r");
    EXPECT_TRUE(g_received.listeners.empty());
    EXPECT_TRUE(log_.has("DEBUG", "Listener not registered for Other table\n"));
    EXPECT_EQ(DisableNotificationListener("ADDED"), 1);
    EXPECT_EQ(RemoveNotificationListener("Every"), 1);
    EXPECT_TRUE(log_.has("DEBUG", "Listener with name Every removed\n"));
    AddRow("Agentparams", "r");
    EXPECT_TRUE(g_received.listeners.empty());
    EXPECT_EQ(RemoveNotificationListener("nobody"), 0);
    EXPECT_TRUE(log_.has("ERROR", "Listener with name nobody doesn't exists\n"));
    DeInitNotification();
    EXPECT_TRUE(log_.has("TRACE", "Listener with name one removed\n"));
    EXPECT_EQ(DisableNotificationListener("one"), 0);
}

TEST_F(TablesListener, WithoutListenersNoNotificationIsMade) {
    AddRow("Agentparams", "r");
    EXPECT_TRUE(log_.has("TRACE", "In send notification\n"));
    EXPECT_FALSE(log_.has("TRACE", "In CreateIMDSNotification \n"));
}
