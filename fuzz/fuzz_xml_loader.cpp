// XML documents loaded against definitions that use every loader rule:
// generated identifiers, defaults, primary and foreign keys (cycles
// included), reference texts and every column-type group.
#include "tables/tabrix.h"

#include <stddef.h>
#include <stdint.h>

namespace {

void Define(const char* name, const ColumnSchema* cols, int32_t count, const char* const* pks,
            int32_t pkCount, const ForeignKeySchema* fks, int32_t fkCount) {
    TableSchema schema{name, nullptr, cols, count, pks, pkCount, fks, fkCount};
    RegisterTableDefn(&schema);
}

ColumnSchema Col(const char* name, const char* type, const char* def = nullptr,
                 const char* gen = nullptr) {
    return ColumnSchema{name, type, def, 0, gen, nullptr, 0, 1};
}

void ResetSequences() {
    CreateSeqGenEntry("OWNER_GEN", 100, 100000);
    CreateSeqGenEntry("ITEM_GEN", 1, 5);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* ownerPk[] = {"OID"};
    ColumnSchema owner[] = {Col("OID", "INTEGER", nullptr, "OWNER_GEN"),
                            Col("LABEL", "TEXT", "none"), Col("PARENT_ID", "INTEGER")};
    Define("Owner", owner, 3, ownerPk, 1, nullptr, 0);

    const char* itemPk[] = {"ID", "PARENT_ID"};
    ColumnSchema item[] = {Col("ID", "INTEGER", nullptr, "ITEM_GEN"),
                           Col("OWNER", "INTEGER"),
                           Col("PARENT_ID", "INTEGER"),
                           Col("NAME", "CHAR"),
                           Col("F", "FLOAT"),
                           Col("D", "ORR_SQL_DOUBLE"),
                           Col("R", "ORR_SQL_REAL", "1"),
                           Col("DEC", "ORR_SQL_DECIMAL"),
                           Col("DT", "DATE"),
                           Col("TM", "TIME"),
                           Col("TS", "DATETIME", "2024-01-01"),
                           Col("B", "BOOLEAN"),
                           Col("BL", "BLOB"),
                           Col("TINY", "ORR_SQL_TINYINT")};
    ForeignKeySchema itemFk[] = {{"OWNER", "OID", "Owner"}};
    Define("Item", item, 14, itemPk, 2, itemFk, 1);

    ColumnSchema node[] = {Col("NID", "INTEGER"), Col("PARENT", "INTEGER")};
    ForeignKeySchema nodeFk[] = {{"PARENT", "NID", "Node"}, {"NID", "OID", "Owner"}};
    Define("Node", node, 2, nullptr, 0, nodeFk, 2);

    ColumnSchema a[] = {Col("AID", "INTEGER"), Col("B_REF", "INTEGER")};
    ForeignKeySchema aFk[] = {{"B_REF", "BID", "B"}};
    Define("A", a, 2, nullptr, 0, aFk, 1);
    ColumnSchema b[] = {Col("BID", "INTEGER"), Col("A_REF", "INTEGER")};
    ForeignKeySchema bFk[] = {{"A_REF", "AID", "A"}};
    Define("B", b, 2, nullptr, 0, bFk, 1);

    ColumnSchema wf[] = {Col("NEXT_STATEMENT_ID", "INTEGER", "9"), Col("ID", "INTEGER")};
    ForeignKeySchema wfFk[] = {{"NEXT_STATEMENT_ID", "ID", "Workflow_Statements"}};
    Define("Workflow_Statements", wf, 2, nullptr, 0, wfFk, 1);

    ColumnSchema agent[] = {Col("PARAM_NAME", "ORR_SQL_VARCHAR"),
                            Col("param_Value", "ORR_SQL_VARCHAR")};
    Define("Agentparams", agent, 2, nullptr, 0, nullptr, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFF)
        return 0;
    ResetSequences();
    CreateTableDataFromXmlBuffer(reinterpret_cast<const char*>(data), static_cast<int32_t>(size));
    // Tables live for the process; the fuzzer's process runs for millions of inputs.
    FreeAllTableData();
    return 0;
}
