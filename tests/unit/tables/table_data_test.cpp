#include "tables_test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

using tabtest::Col;
using tabtest::Define;
using tabtest::Int32;
using tabtest::RowAt;
using tabtest::ScopedLog;
using tabtest::Text;

namespace {

RowObject* NewRow(int columns) {
    auto** values = static_cast<void**>(calloc(static_cast<size_t>(columns), sizeof(void*)));
    auto* lengths = static_cast<int32_t*>(calloc(static_cast<size_t>(columns), sizeof(int32_t)));
    return CreateNewRowObject(values, lengths);
}

} // namespace

TEST(TablesDefinition, RegisteringChecksTheSchema) {
    EXPECT_EQ(RegisterTableDefn(nullptr), 0);
    EXPECT_EQ(Define("", {{"A", "INTEGER"}}), 0);
    EXPECT_EQ(Define("T", {{"A", "INTEGER"}, {"a", "TEXT"}}), 0) << "columns alike but for case";
    EXPECT_EQ(Define("T", {{"A", "INTEGER"}}, {}, {{"A", nullptr, "U"}}), 0);
    EXPECT_EQ(Define("T", {{"A", "INTEGER"}}), 1);
    EXPECT_EQ(Define("t", {{"B", "INTEGER"}}), 0) << "a definition of that name exists";
}

TEST(TablesDefinition, ColumnsTypesDefaultsAndLookups) {
    ScopedLog log;
    ASSERT_EQ(Define("T",
                     {{"ID", "ORR_SQL_INT", "5"},
                      {"Name", "CHAR", nullptr, nullptr, 300},
                      {"Flag", "BOOLEAN", "yes"},
                      {"When", "DATE", "2024-01-02"}},
                     {"ID"}),
              1);
    TableDefn* d = FindTableDefn("t");
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->columns.count, 4);
    ColumnDefn* id = GetColumnDefnEntry("T", "ID");
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id->type, ORR_SQL_INT);
    EXPECT_EQ(id->defaultValue->length, 4);
    EXPECT_EQ(GetColumnDefnEntry("T", "Name")->type, ORR_SQL_TEXT);
    EXPECT_EQ(GetColumnDefnEntry("T", "Flag")->defaultValue, nullptr) << "yes is no boolean";
    EXPECT_EQ(GetColumnDefnEntry("T", "When")->defaultValue->length, 11);
    EXPECT_EQ(GetColumnDefnEntry("T", "id"), nullptr) << "this lookup matches names exactly";
    EXPECT_TRUE(log.has("TRACE", "@@@@ Inside GetColumnDefnEntry @@@@\n"));
    EXPECT_EQ(GetColumnDefnEntry(nullptr, "ID"), nullptr);
    EXPECT_TRUE(log.has("ERROR", "Cannot fetch default value;\n"));
    EXPECT_EQ(GetColumnDefnEntry("Nope", "ID"), nullptr);
    EXPECT_TRUE(log.has("ERROR", "No definition found for table Nope\n"));
    EXPECT_EQ(FindTableDefn(nullptr), nullptr);
    EXPECT_TRUE(log.has("ERROR", "Table Name is NULL.\n"));
}

TEST(TablesDefinition, ForeignKeyLookups) {
    ScopedLog log;
    Define("Plain", {{"A", "INTEGER"}});
    Define("PkOnly", {{"A", "INTEGER"}}, {"A"});
    Define("Child", {{"A", "INTEGER"}, {"P", "INTEGER"}}, {}, {{"P", "A", "Plain"}});
    EXPECT_EQ(FindForeignKey(FindTableDefn("Plain"), "A"), nullptr);
    EXPECT_TRUE(log.has("ERROR", "No constraint Definition \n"));
    EXPECT_EQ(FindForeignKey(FindTableDefn("PkOnly"), "A"), nullptr);
    EXPECT_TRUE(log.has("ERROR", "No Foreignkey Entries in Definition \n"));
    ForeignKeyDefn* fk = FindForeignKey(FindTableDefn("Child"), "p");
    ASSERT_NE(fk, nullptr);
    EXPECT_STREQ(fk->refTable, "Plain");
    EXPECT_EQ(FindForeignKey(FindTableDefn("Child"), "A"), nullptr);
}

TEST(TablesRows, TablesAreCreatedOnceFromADefinition) {
    ScopedLog log;
    EXPECT_EQ(CreateTable("Undefined"), 0);
    Define("T", {{"A", "INTEGER"}, {"B", "TEXT"}});
    EXPECT_EQ(CreateTable("t"), 1);
    EXPECT_EQ(CreateTable("T"), 0);
    TableData* t = GetTableDataByName("T");
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->name, "t") << "the table keeps the name it was created with";
    EXPECT_EQ(t->columnCount, 2);
    EXPECT_EQ(t->kind, ORR_TABLE_KIND);
    EXPECT_TRUE(log.has("TRACE", "@@@ Inside CreateTable @@@\n"));
    EXPECT_EQ(GetTableDataByName(nullptr), nullptr);
}

TEST(TablesRows, AddNewRowFillsGeneratedAndDefaultValues) {
    ScopedLog log;
    Define("T", {{"ID", "INTEGER", nullptr, "T_GEN"}, {"KIND", "TEXT", "plain"}, {"N", "INTEGER"}});
    ASSERT_EQ(CreateSeqGenEntry("T_GEN", 10, 20), 1);
    CreateTable("T");
    RowObject* orphan = NewRow(3);
    EXPECT_EQ(AddNewRow("Missing", orphan), 0);
    FreeRowObject(orphan, nullptr, 3); // the row stays the caller's
    RowObject* first = NewRow(3);
    EXPECT_EQ(first->state, ORR_ROW_STATE_NEW);
    ASSERT_EQ(AddNewRow("T", first), 1);
    RowObject* second = NewRow(3);
    second->values[0] = calloc(1, 9);
    *static_cast<int32_t*>(second->values[0]) = 99;
    second->lengths[0] = 4;
    second->values[1] = strdup("own");
    second->lengths[1] = 3;
    ASSERT_EQ(AddNewRow("T", second), 1);
    EXPECT_EQ(RowAt("T", 0), first);
    EXPECT_EQ(RowAt("T", 1), second);
    EXPECT_EQ(GetTableDataByName("T")->rowCount, 2);
    EXPECT_EQ(Int32(first, 0), 10);
    EXPECT_EQ(first->lengths[0], 4);
    EXPECT_EQ(Text(first, 1), "plain");
    EXPECT_NE(first->values[1], GetColumnDefnEntry("T", "KIND")->defaultValue->value)
        << "a copy of the default";
    EXPECT_EQ(first->values[2], nullptr);
    EXPECT_EQ(Int32(second, 0), 99);
    EXPECT_EQ(Text(second, 1), "own");
    EXPECT_TRUE(log.has("TRACE", "@@@ Inside AddNewRow @@@\n"));
    EXPECT_TRUE(log.has("TRACE", "@@@ Inside CreateNewRowObject @@@\n"));
}

namespace {

struct Store {
    int selectResult = 1;
    int32_t batchEnd = 600;
    int updateResult = 1;
    std::vector<std::string> queries;
};

int SelectEnd(void* context, const char* query, const char*, int32_t* end) {
    auto* s = static_cast<Store*>(context);
    s->queries.push_back(query);
    *end = s->batchEnd;
    return s->selectResult;
}

int Execute(void* context, const char* query) {
    auto* s = static_cast<Store*>(context);
    s->queries.push_back(query);
    return s->updateResult;
}

ColumnDefn* GeneratedColumn() {
    Define("T", {{"ID", "INTEGER", nullptr, "G"}, {"N", "INTEGER"}});
    return GetColumnDefnEntry("T", "ID");
}

} // namespace

TEST(TablesSequence, IdentifiersComeFromTheBatch) {
    ScopedLog log;
    ColumnDefn* col = GeneratedColumn();
    EXPECT_EQ(GenerateID("T", col), -1);
    EXPECT_TRUE(log.has("TRACE", "Cannot generate ID for key G.\n"));
    EXPECT_EQ(GenerateID("T", GetColumnDefnEntry("T", "N")), -1) << "no generator, no entry";
    CreateSeqGenEntry("G", 1, 2);
    EXPECT_EQ(GenerateID("T", col), 1);
    EXPECT_EQ(GenerateID("T", col), 2);
    EXPECT_TRUE(log.has("TRACE", "AutoGenerated Value 2 \n"));
    EXPECT_TRUE(log.has("TRACE", "AutoId Key G\n"));
    // The batch is spent and no store answers for SeqGenState.
    EXPECT_EQ(GenerateID("T", col), -1);
    EXPECT_TRUE(log.has("TRACE", "Query select * from SeqGenState where SEQNAME = 'G';\n"));
    EXPECT_TRUE(log.has("ERROR", "Table doesn't Exists for UpdateSeqGen\n"));
}

TEST(TablesSequence, ASpentBatchIsRefilledThroughTheStore) {
    ScopedLog log;
    ColumnDefn* col = GeneratedColumn();
    Store store;
    SeqGenStore s{SelectEnd, Execute, &store};
    SetSeqGenStore(&s);
    CreateSeqGenEntry("G", 5, 4); // spent
    EXPECT_EQ(GenerateID("T", col), 601);
    EXPECT_EQ(store.queries.back(),
              "update SeqGenState set CURRENTBATCHEND = 900 where SEQNAME = 'G';");
    EXPECT_TRUE(log.has(
        "TRACE",
        "Update Query update SeqGenState set CURRENTBATCHEND = 900 where SEQNAME = 'G';\n"));
    // A key without a row is inserted and starts at 1.
    store.selectResult = 0;
    CreateSeqGenEntry("G", 2, 1);
    EXPECT_EQ(GenerateID("T", col), 1);
    EXPECT_EQ(store.queries.back(), "insert into SeqGenState values ('G',300);");
    EXPECT_EQ(GenerateID("T", col), 2);
    // A failed update gives -1 and leaves the pair spent.
    store.selectResult = 1;
    store.updateResult = 0;
    CreateSeqGenEntry("G", 2, 1);
    EXPECT_EQ(GenerateID("T", col), -1);
    EXPECT_TRUE(log.has("ERROR", "ExecuteUpdate Failed for update\n"));
    SetSeqGenStore(nullptr);
}

TEST(TablesSequence, TheLargestIdentifierEndsTheSequence) {
    ColumnDefn* col = GeneratedColumn();
    Store store;
    store.batchEnd = INT32_MAX;
    SeqGenStore s{SelectEnd, Execute, &store};
    SetSeqGenStore(&s);
    CreateSeqGenEntry("G", INT32_MAX, INT32_MAX);
    EXPECT_EQ(GenerateID("T", col), INT32_MAX);
    EXPECT_EQ(GenerateID("T", col), -1) << "no wrap-around to negative identifiers";
    SetSeqGenStore(nullptr);
}

TEST(TablesRows, FreeAllTableDataKeepsDefinitions) {
    Define("T", {{"A", "TEXT"}});
    CreateTable("T");
    RowObject* row = NewRow(1);
    row->values[0] = strdup("x");
    AddNewRow("T", row);
    FreeAllTableData();
    EXPECT_EQ(GetTableDataByName("T"), nullptr);
    EXPECT_NE(FindTableDefn("T"), nullptr);
    EXPECT_EQ(CreateTable("T"), 1);
}
