#include "tables_test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tabtest::Define;
using tabtest::Load;
using tabtest::ScopedLog;

namespace {

// The values of one column over the whole result, in order.
std::vector<std::string> Column(ResultData* r, const char* column) {
    std::vector<std::string> out;
    while (GotoNextRowObject(r) != nullptr) {
        int32_t len = -1;
        void* v = GetColumnValueByName(column, &len, r);
        out.push_back(v != nullptr ? std::string(static_cast<char*>(v), static_cast<size_t>(len))
                                   : "<absent>");
    }
    return out;
}

std::vector<std::string> Select(const char* table, const char* criteria, const char* column) {
    ResultData* r = SelectRows(table, criteria);
    if (r == nullptr)
        return {"<none>"};
    std::vector<std::string> out = Column(r, column);
    FreeResultData(r);
    return out;
}

class TablesSelect : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Define("Agentparams",
                         {{"PARAM_NAME", "ORR_SQL_VARCHAR"}, {"param_Value", "ORR_SQL_VARCHAR"}}),
                  1);
        ASSERT_EQ(Define("People", {{"NAME", "TEXT"},
                                    {"AGE", "INTEGER"},
                                    {"SCORE", "FLOAT"},
                                    {"BIG", "ORR_SQL_LONG_INT"},
                                    {"RATIO", "ORR_SQL_DOUBLE"},
                                    {"BORN", "DATE"}}),
                  1);
        ASSERT_EQ(Load(R"(<r>
<Agentparams PARAM_NAME="RESOURCE_ID" param_Value="R-1001"/>
<Agentparams PARAM_NAME="OTHER" param_Value="x"/>
<People NAME="ann" AGE="25" SCORE="1.5" BIG="7" RATIO="0.5" BORN="2000-01-01"/>
<People NAME="bob" AGE="40" SCORE="2.5" BIG="7" RATIO="0.5" BORN="2000-01-01"/>
<People AGE="-3"/>
</r>)"),
                  1);
    }
};

} // namespace

TEST_F(TablesSelect, TheResourceIdentitySequence) {
    ScopedLog log;
    ResultData* r = SelectRows("Agentparams", "PARAM_NAME='RESOURCE_ID'");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->rowCount, 1);
    int32_t len = -1;
    EXPECT_EQ(GetColumnValueByName("param_Value", &len, r), nullptr) << "before the first row";
    RowObject* row = GotoNextRowObject(r);
    ASSERT_NE(row, nullptr);
    void* value = GetColumnValueByName("param_Value", &len, r);
    EXPECT_STREQ(static_cast<char*>(value), "R-1001");
    EXPECT_EQ(len, 6);
    EXPECT_EQ(value, row->values[1]) << "the row's own buffer";
    EXPECT_EQ(GetColumnValueByName("PARAM_VALUE", &len, r), value);
    EXPECT_EQ(GetColumnValueByName("missing", &len, r), nullptr);
    EXPECT_EQ(GotoNextRowObject(r), nullptr);
    EXPECT_EQ(GotoNextRowObject(r), row) << "after the end the cursor starts over";
    FreeResultData(r);
    for (const char* m :
         {"@@@ Inside SelectRows @@@\n", "@@@ Inside CreateResultData @@@\n",
          "@@@ Inside AddRowToResultData @@@\n", "@@@ Inside GotoNextRowObject @@@\n",
          "\t@@@@@ GetColumnValueByName() @@@@@\n", "@@@ Inside FreeResultData @@@\n"})
        EXPECT_TRUE(log.has("TRACE", m)) << m;
}

TEST_F(TablesSelect, WithoutCriteriaEveryRowInOrder) {
    EXPECT_EQ(Select("People", nullptr, "NAME"),
              (std::vector<std::string>{"ann", "bob", "<absent>"}));
    EXPECT_EQ(Select("Nope", nullptr, "NAME"), std::vector<std::string>{"<none>"});
    EXPECT_EQ(Select("Nope", "NAME='x'", "NAME"), std::vector<std::string>{"<none>"});
}

TEST_F(TablesSelect, CriteriaOnTextAndNumbers) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Select("People", "AGE > 30", "NAME"), V{"bob"});
    EXPECT_EQ(Select("People", "30 < AGE", "NAME"), (V{"ann", "<absent>"})) << "read as AGE < 30";
    EXPECT_EQ(Select("People", "age != 25 and SCORE < 3", "NAME"), (V{"bob", "<absent>"}))
        << "an absent number orders before every literal";
    EXPECT_EQ(Select("People", "NAME = 'ann' or AGE < 0", "NAME"), (V{"ann", "<absent>"}));
    EXPECT_EQ(Select("People", "NAME != 'zed'", "NAME"), (V{"ann", "bob", "<absent>"}))
        << "an absent text is unequal to every literal";
    EXPECT_EQ(Select("People", "NAME = ''", "NAME"), V{});
}

TEST_F(TablesSelect, CriteriaThatSelectNothing) {
    // No match, an unknown column, and the types that never compare: empty
    // results, not failures.
    for (const char* c :
         {"NAME='nobody'", "HEIGHT > 1", "BIG = 7", "RATIO = 0.5", "BORN = '2000-01-01'"}) {
        ResultData* r = SelectRows("People", c);
        ASSERT_NE(r, nullptr) << c;
        EXPECT_EQ(r->rowCount, 0) << c;
        EXPECT_EQ(GotoNextRowObject(r), nullptr) << c;
        FreeResultData(r);
    }
    EXPECT_EQ(SelectRows("People", "NAME="), nullptr) << "invalid criteria";
    // The selection lock was released after the failed parse.
    EXPECT_EQ(Select("People", "NAME='bob'", "NAME"), std::vector<std::string>{"bob"});
}

TEST_F(TablesSelect, ViewsAndTablesWithoutColumns) {
    ColumnSchema col{"V", "TEXT", nullptr, 0, nullptr, nullptr, 0, 1};
    TableSchema view{"MyView", nullptr, &col, 1, nullptr, 0, nullptr, 0};
    ASSERT_EQ(RegisterCustomView(&view), 1);
    ASSERT_EQ(Load("<r><MyView V=\"seen\"/></r>"), 1);
    EXPECT_EQ(Select("MyView", nullptr, "v"), std::vector<std::string>{"seen"});
    EXPECT_EQ(SelectRows("MyView", "V='seen'"), nullptr) << "views are not filtered";
    ASSERT_EQ(Define("Empty", {}), 1);
    ASSERT_EQ(Load("<r><Empty/></r>"), 1);
    EXPECT_EQ(SelectRows("Empty", "X=1"), nullptr);
    EXPECT_EQ(Select("Empty", nullptr, "X"), std::vector<std::string>{"<absent>"});
}

TEST(TablesSelectWide, ColumnsPastTheTwoHundredFiftyFifthBind) {
    std::vector<std::string> names;
    for (int i = 0; i < 300; ++i)
        names.push_back("c" + std::to_string(i));
    std::vector<tabtest::Col> cols;
    for (const auto& n : names)
        cols.push_back({n.c_str(), "TEXT"});
    ASSERT_EQ(Define("Wide", cols), 1);
    ASSERT_EQ(Load(R"(<r><Wide c0="a" c299="x"/><Wide c0="b" c299="y"/></r>)"), 1);
    EXPECT_EQ(Select("Wide", "c299 = 'y'", "c0"), std::vector<std::string>{"b"});
}
