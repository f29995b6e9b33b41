#include "tables_test_util.h"
#include "tables/xml_binding.h"

#include <gtest/gtest.h>

#include <string>

using tabtest::Define;
using tabtest::Int32;
using tabtest::Int64;
using tabtest::Load;
using tabtest::RowAt;
using tabtest::RowCount;
using tabtest::ScopedLog;
using tabtest::Text;

namespace {

const char kCannotCreate[] =
    "Cannot create and add a new row while constructing tabledata from XML file.\n";
const char kCannotBuffer[] = "Cannot construct table data from XML buffer.\n";
const char kParseError[] = "error: could not parse file file.xml\n";

void DefineAgentparams() {
    ASSERT_EQ(Define("Agentparams",
                     {{"PARAM_NAME", "ORR_SQL_VARCHAR"}, {"param_Value", "ORR_SQL_VARCHAR"}}),
              1);
}

// Owners and their items: Item.OWNER refers to Owner.OID.
void DefineOwnersAndItems() {
    ASSERT_EQ(
        Define("Owner", {{"OID", "INTEGER", nullptr, "OWNER_GEN"}, {"LABEL", "TEXT"}}, {"OID"}), 1);
    ASSERT_EQ(Define("Item", {{"ID", "INTEGER", nullptr, "ITEM_GEN"}, {"OWNER", "INTEGER"}}, {"ID"},
                     {{"OWNER", "OID", "Owner"}}),
              1);
    ASSERT_EQ(CreateSeqGenEntry("OWNER_GEN", 100, 399), 1);
    ASSERT_EQ(CreateSeqGenEntry("ITEM_GEN", 1, 300), 1);
}

} // namespace

TEST(TablesXmlLoader, WithoutDefinitionsOnlyContainersLoad) {
    ScopedLog log;
    EXPECT_EQ(Load("<root><Agentparams PARAM_NAME=\"RESOURCE_ID\"/></root>"), 0);
    int create = log.find("ERROR", kCannotCreate);
    ASSERT_GE(create, 0);
    EXPECT_EQ(log.find("ERROR", kCannotBuffer, create + 1), create + 1)
        << "the two lines, in order";
    EXPECT_EQ(Load("<root><AgentparamsList></AgentparamsList></root>"), 1);
    EXPECT_EQ(Load("<root>text only</root>"), 1);
    EXPECT_EQ(GetTableDataByName("Agentparams"), nullptr);
}

TEST(TablesXmlLoader, RowsComeFromAttributesThroughContainers) {
    DefineAgentparams();
    ASSERT_EQ(Load(R"(<?xml version="1.0"?>
<Resource>
  <AgentparamsList>
    <Agentparams PARAM_NAME="RESOURCE_ID" PARAM_VALUE="42" Unknown="x"/>
    <Agentparams param_name="OTHER">text is no column</Agentparams>
  </AgentparamsList>
</Resource>)"),
              1);
    ASSERT_EQ(RowCount("Agentparams"), 2);
    EXPECT_EQ(Text(RowAt("Agentparams", 0), 0), "RESOURCE_ID");
    EXPECT_EQ(Text(RowAt("Agentparams", 0), 1), "42");
    EXPECT_EQ(Text(RowAt("Agentparams", 1), 0), "OTHER");
    EXPECT_EQ(RowAt("Agentparams", 1)->values[1], nullptr);
    // Loading again adds the rows again.
    ASSERT_EQ(Load("<r><Agentparams PARAM_NAME=\"a&amp;b&#65;\"/></r>"), 1);
    EXPECT_EQ(Text(RowAt("Agentparams", 2), 0), "a&bA") << "entity references substituted";
}

TEST(TablesXmlLoader, AnUndefinedElementEndsItsSiblingList) {
    ScopedLog log;
    DefineAgentparams();
    ASSERT_EQ(Define("ItemList", {{"N", "INTEGER"}}), 1);
    // Below the top level a failure ends that list only; the load goes on.
    EXPECT_EQ(Load(R"(<r><ItemList N="1"><Agentparams PARAM_NAME="in"/><Undefined/>
<Agentparams PARAM_NAME="skipped"/></ItemList><Agentparams PARAM_NAME="after"/></r>)"),
              1);
    EXPECT_EQ(RowCount("ItemList"), 1) << "a defined table named ...List is a row";
    ASSERT_EQ(RowCount("Agentparams"), 2);
    EXPECT_EQ(Text(RowAt("Agentparams", 1), 0), "after");
    // At the top level it fails the load; rows before it stay.
    EXPECT_EQ(
        Load(
            R"(<r><Agentparams PARAM_NAME="kept"/><Undefined/><Agentparams PARAM_NAME="no"/></r>)"),
        0);
    EXPECT_EQ(RowCount("Agentparams"), 3);
    EXPECT_EQ(Text(RowAt("Agentparams", 2), 0), "kept");
    EXPECT_TRUE(log.has("ERROR", kCannotBuffer));
}

TEST(TablesXmlLoader, EveryColumnTypeGroup) {
    ASSERT_EQ(Define("T", {{"I", "INTEGER"},
                           {"F", "FLOAT"},
                           {"D", "ORR_SQL_DOUBLE"},
                           {"R", "ORR_SQL_REAL", "1"},
                           {"DEC", "ORR_SQL_DECIMAL", "7"},
                           {"C", "ORR_SQL_CHAR"},
                           {"DT", "DATE"},
                           {"TM", "TIME"},
                           {"TS", "DATETIME"},
                           {"B", "BOOLEAN"},
                           {"BL", "BLOB"},
                           {"S", "TEXT"},
                           {"S2", "TEXT"}}),
              1);
    ASSERT_EQ(Load(R"(<r><T I="300" F="1.5" D="2.25" R="3" DEC="4.5" C="c" DT="2024-05-06"
TM="07:08:09" TS="2024-01-02 03:04:05" B="no" BL="x" S="T:K:abc" S2="T:K:x:y"/></r>)"),
              1);
    RowObject* row = RowAt("T", 0);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(Int64(row, 0), 300);
    EXPECT_EQ(row->lengths[0], 8);
    EXPECT_EQ(*static_cast<float*>(row->values[1]), 1.5f);
    EXPECT_EQ(*static_cast<double*>(row->values[2]), 2.25);
    // REAL and DECIMAL store nothing from an attribute; the row's absent
    // values then take their defaults when the row is added.
    EXPECT_EQ(*static_cast<float*>(row->values[3]), 1.0f);
    EXPECT_EQ(Text(row, 4), "7");
    EXPECT_EQ(Text(row, 5), "c");
    EXPECT_EQ(row->lengths[6], 4);
    EXPECT_EQ(static_cast<OrrDate*>(row->values[6])->day, 6);
    EXPECT_EQ(row->lengths[7], 3);
    EXPECT_EQ(static_cast<OrrTime*>(row->values[7])->second, 9);
    EXPECT_EQ(row->lengths[8], 11) << "two colons in a date-time are no reference";
    EXPECT_EQ(static_cast<OrrDateTime*>(row->values[8])->time->hour, 3);
    EXPECT_EQ(*static_cast<unsigned char*>(row->values[9]), 1);
    EXPECT_EQ(row->values[10], nullptr);
    EXPECT_EQ(Text(row, 11), "abc");
    EXPECT_EQ(Text(row, 12), "x:y");
}

TEST(TablesXmlLoader, DefaultsAndGeneratedIdentifiers) {
    DefineOwnersAndItems();
    ASSERT_EQ(Define("Tagged", {{"ID", "INTEGER", nullptr, "ITEM_GEN"}, {"KIND", "TEXT", "plain"}}),
              1);
    ASSERT_EQ(Load(R"(<r><Tagged/><Tagged ID="7" KIND="own"/></r>)"), 1);
    EXPECT_EQ(Int32(RowAt("Tagged", 0), 0), 1);
    EXPECT_EQ(Text(RowAt("Tagged", 0), 1), "plain");
    EXPECT_EQ(Int64(RowAt("Tagged", 1), 0), 7);
    EXPECT_EQ(Text(RowAt("Tagged", 1), 1), "own");
}

TEST(TablesXmlLoader, EqualReferencesShareOneIdentifier) {
    DefineOwnersAndItems();
    ASSERT_EQ(Load(R"(<r>
<Item OWNER="Owner:OID:7"/><Item OWNER="Owner:OID:8"/><Item OWNER="Owner:OID:7"/>
<Owner OID="Owner:OID:7" LABEL="seven"/></r>)"),
              1);
    // OWNER has no generator: the referenced column's generator gives the
    // identifier, and the document map gives the same one again.
    EXPECT_EQ(Int32(RowAt("Item", 0), 1), 100);
    EXPECT_EQ(Int32(RowAt("Item", 1), 1), 101);
    EXPECT_EQ(Int32(RowAt("Item", 2), 1), 100);
    EXPECT_EQ(Int32(RowAt("Owner", 0), 0), 100)
        << "the owner row gets the identifier its items hold";
    EXPECT_EQ(Int32(RowAt("Item", 0), 0), 1) << "generated by AddNewRow";
    // The map lives for one load only.
    ASSERT_EQ(Load("<r><Item OWNER=\"Owner:OID:7\"/></r>"), 1);
    EXPECT_EQ(Int32(RowAt("Item", 3), 1), 102);
}

TEST(TablesXmlLoader, ReferencesFollowForeignKeysToAGenerator) {
    ScopedLog log;
    DefineOwnersAndItems();
    // Alias.AID has no generator but refers to Owner.OID, which has one.
    ASSERT_EQ(Define("Alias", {{"AID", "INTEGER"}}, {}, {{"AID", "OID", "Owner"}}), 1);
    ASSERT_EQ(Define("Plain", {{"N", "INTEGER", "5"}}), 1);
    ASSERT_EQ(Load(R"(<r><Item OWNER="Alias:AID:3"/><Item OWNER="Owner:OID:3"/>
<Item OWNER="Nope:X:42"/><Item OWNER="Nope:X:abc"/><Plain N="::9"/></r>)"),
              1);
    EXPECT_EQ(Int32(RowAt("Item", 0), 1), 100);
    EXPECT_EQ(Int32(RowAt("Item", 1), 1), 100) << "Owner:OID:3 was mapped on the way";
    EXPECT_EQ(Int32(RowAt("Item", 2), 1), 42) << "no generator anywhere: the third part";
    EXPECT_EQ(Int32(RowAt("Item", 3), 1), 0);
    EXPECT_TRUE(log.has("ERROR", "Unable to get Column details for AutoID generation \n"));
    EXPECT_EQ(Int32(RowAt("Plain", 0), 0), 5) << "the column keeps its default";
}

TEST(TablesXmlLoader, WorkflowEndStatementIsZero) {
    ASSERT_EQ(Define("Workflow_Statements", {{"NEXT_STATEMENT_ID", "INTEGER"}}), 1);
    ASSERT_EQ(Load(R"(<r><workflow_statements NEXT_STATEMENT_ID="S:N:0"/>
<Workflow_Statements NEXT_STATEMENT_ID="S:N:5"/></r>)"),
              1);
    EXPECT_EQ(Int32(RowAt("Workflow_Statements", 0), 0), 0);
    EXPECT_EQ(RowAt("Workflow_Statements", 0)->lengths[0], 4);
    EXPECT_EQ(Int32(RowAt("Workflow_Statements", 1), 0), 5);
}

TEST(TablesXmlLoader, WorkflowEndStatementCountsAsNotSet) {
    ASSERT_EQ(Define("Workflow_Statements", {{"NEXT_STATEMENT_ID", "INTEGER", "9"}}), 1);
    ASSERT_EQ(Load(R"(<r><Workflow_Statements NEXT_STATEMENT_ID="S:N:0"/></r>)"), 1);
    EXPECT_EQ(Int32(RowAt("Workflow_Statements", 0), 0), 9) << "the default replaces the 0";
}

TEST(TablesXmlLoader, NestedRowsInheritKeysFromAncestors) {
    DefineOwnersAndItems();
    ASSERT_EQ(Define("Mid", {{"MID_OWNER", "INTEGER"}}, {}, {{"MID_OWNER", "OID", "Owner"}}), 1);
    ASSERT_EQ(Define("Leaf", {{"L_MID", "INTEGER"}}, {}, {{"L_MID", "MID_OWNER", "Mid"}}), 1);
    ASSERT_EQ(Define("Part", {{"PARENT_ID", "INTEGER"}, {"PID", "INTEGER"}}, {"PARENT_ID", "PID"}),
              1);
    ASSERT_EQ(Load(R"(<r><Owner OID="5" PARENT_ID="3">
  <Item ID="1"/><Item ID="2" OWNER="6"/>
  <Mid><Leaf/></Mid>
  <Part PID="1"/>
</Owner></r>)"),
              1);
    EXPECT_EQ(Int64(RowAt("Item", 0), 1), 5) << "first pass: the ancestor's attribute";
    EXPECT_EQ(Int64(RowAt("Item", 1), 1), 6) << "the row's own attribute wins";
    EXPECT_EQ(Int64(RowAt("Mid", 0), 0), 5);
    EXPECT_EQ(Int64(RowAt("Leaf", 0), 0), 5) << "through Mid's own foreign key";
    EXPECT_EQ(Int64(RowAt("Part", 0), 0), 3) << "primary-key value from an ancestor";
    EXPECT_EQ(Int64(RowAt("Part", 0), 1), 1);
    EXPECT_EQ(Int32(RowAt("Owner", 0), 0), 5);
}

TEST(TablesXmlLoader, SecondPassSearchesOneChainBelow) {
    DefineOwnersAndItems();
    // The chain starts at the node after the first child: with the line break
    // before it, that is the Owner element.
    ASSERT_EQ(Load("<r><Item ID=\"1\">\n  <Owner OID=\"9\"/>\n</Item></r>"), 1);
    EXPECT_EQ(Int64(RowAt("Item", 0), 1), 9);
    ASSERT_EQ(Load("<r><Item ID=\"2\"><Owner OID=\"8\"/></Item></r>"), 1);
    EXPECT_EQ(RowAt("Item", 1)->values[1], nullptr) << "the first child itself is not searched";
}

TEST(TablesXmlLoader, CyclicForeignKeysEndTheSearch) {
    ASSERT_EQ(Define("Node", {{"NID", "INTEGER"}, {"PARENT", "INTEGER"}}, {},
                     {{"PARENT", "NID", "Node"}}),
              1);
    ASSERT_EQ(Define("A", {{"AID", "INTEGER"}, {"B_REF", "INTEGER"}}, {}, {{"B_REF", "BID", "B"}}),
              1);
    ASSERT_EQ(Define("B", {{"BID", "INTEGER"}, {"A_REF", "INTEGER"}}, {}, {{"A_REF", "AID", "A"}}),
              1);
    ASSERT_EQ(Load("<r><Node><Node><Node/></Node></Node><A><B><A><B/></A></B></A></r>"), 1);
    EXPECT_EQ(RowCount("Node"), 3);
    EXPECT_EQ(RowAt("Node", 2)->values[1], nullptr);
    EXPECT_EQ(RowCount("A") + RowCount("B"), 4);
}

TEST(TablesXmlLoader, FilesAndNodes) {
    ScopedLog log;
    DefineAgentparams();
    twtest::TempDir dir;
    twtest::WriteFileText(dir.file("doc.xml"), "<r><Agentparams PARAM_NAME=\"f\"/></r>");
    EXPECT_EQ(CreateTableDataFromXmlFile(dir.file("doc.xml").c_str()), 1);
    EXPECT_EQ(RowCount("Agentparams"), 1);
    EXPECT_EQ(CreateTableDataFromXmlFile(dir.file("missing.xml").c_str()), 0);
    EXPECT_TRUE(log.has("ERROR", kParseError));
    std::string xml = "<r><Agentparams PARAM_NAME=\"n\"/><Undefined/></r>";
    twxml::Doc* doc = twxml::ReadMemory(xml.data(), static_cast<int>(xml.size()), "x", nullptr, 0);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(CreateTableDataFromXmlNode(doc, twxml::DocGetRootElement(doc)), nullptr);
    EXPECT_TRUE(log.has("ERROR", "Cannot construct table data from buffer node.\n"));
    EXPECT_EQ(RowCount("Agentparams"), 2);
    twxml::FreeDoc(doc);
}

TEST(TablesXmlLoader, ANodeLoadHandsTheDocumentMapToTheCaller) {
    DefineOwnersAndItems();
    std::string xml = "<r><Item OWNER=\"Owner:OID:7\"/></r>";
    twxml::Doc* doc = twxml::ReadMemory(xml.data(), static_cast<int>(xml.size()), "x", nullptr, 0);
    HashTable* map = CreateTableDataFromXmlNode(doc, twxml::DocGetRootElement(doc));
    ASSERT_NE(map, nullptr);
    auto* id = static_cast<int32_t*>(HashGet(map, "Owner:OID:7"));
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(*id, 100);
    EXPECT_EQ(*static_cast<int32_t*>(HashGet(map, "Item:OWNER:7")), 100);
    FreeDocumentMap(map);
    twxml::FreeDoc(doc);
}

TEST(TablesXmlLoader, UnparsableTextIsReportedOnce) {
    ScopedLog log;
    EXPECT_EQ(Load("<r><unclosed></r>"), 0);
    EXPECT_EQ(log.count("ERROR", kParseError), 1);
    EXPECT_FALSE(log.has("ERROR", kCannotBuffer));
    EXPECT_EQ(CreateTableDataFromXmlBuffer(nullptr, 0), 0);
}
