#include "tables_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// The tree as text: comparisons as column|op|literal, logical nodes as
// and(...)/or(...); also checks the parent links.
std::string Shape(const CriteriaNode* n) {
    if (n == nullptr)
        return "<none>";
    if (n->op == ORR_OP_AND || n->op == ORR_OP_OR) {
        EXPECT_EQ(n->left->parent, n);
        EXPECT_EQ(n->right->parent, n);
        EXPECT_EQ(n->columnName, nullptr);
        return std::string(n->op == ORR_OP_AND ? "and(" : "or(") + Shape(n->left) + "," +
               Shape(n->right) + ")";
    }
    EXPECT_EQ(n->left, nullptr);
    EXPECT_EQ(n->right, nullptr);
    return std::string(n->columnName) + "|" + std::to_string(n->op) + "|" + n->literal;
}

std::string Parse(const std::string& text, const char** error = nullptr) {
    const char* why = nullptr;
    CriteriaNode* tree = ParseCriteriaWithError(text.c_str(), &why);
    std::string shape = Shape(tree);
    if (tree != nullptr) {
        EXPECT_EQ(tree->parent, nullptr);
    }
    FreeCriteriaTree(tree);
    if (error != nullptr)
        *error = why;
    return shape;
}

std::string Chain(int comparisons) {
    std::string text = "c=1";
    for (int i = 1; i < comparisons; ++i)
        text += " and c=1";
    return text;
}

} // namespace

TEST(TablesCriteria, TheResourceCriteria) {
    CriteriaNode* n = ParseCriteria("PARAM_NAME='RESOURCE_ID'");
    ASSERT_NE(n, nullptr);
    EXPECT_STREQ(n->columnName, "PARAM_NAME");
    EXPECT_STREQ(n->literal, "'RESOURCE_ID'");
    EXPECT_EQ(n->op, ORR_OP_EQUAL);
    EXPECT_EQ(n->columnPosition, 0);
    EXPECT_EQ(n->columnType, ORR_SQL_NOT_SUPPORTED_TYPE);
    FreeCriteriaTree(n);
}

TEST(TablesCriteria, TokensAndComparisons) {
    EXPECT_EQ(Parse("a<1"), "a|1|1");
    EXPECT_EQ(Parse("a>1"), "a|2|1");
    EXPECT_EQ(Parse("a<=1"), "a|3|1");
    EXPECT_EQ(Parse("a>=1.5"), "a|4|1.5");
    EXPECT_EQ(Parse("a=1"), "a|5|1");
    EXPECT_EQ(Parse("a!=1"), "a|6|1");
    EXPECT_EQ(Parse("5 < AGE"), "AGE|1|5") << "operands swap, the operator does not";
    EXPECT_EQ(Parse(" \tx_1\t= 'a b' "), "x_1|5|'a b'");
    EXPECT_EQ(Parse("andx = 'x-y'"), "andx|5|'x-y'");
    EXPECT_EQ(Parse("AND = ''"), "AND|5|''") << "AND is an identifier";
    EXPECT_EQ(Parse("x = 'a1_b c_ 1a_'"), "x|5|'a1_b c_ 1a_'");
    EXPECT_EQ(Parse("x = '!\"#$%&()*+,-./:<=>?@[\\]^`{|}~'"),
              "x|5|'!\"#$%&()*+,-./:<=>?@[\\]^`{|}~'");
    std::string longLiteral = "'" + std::string(100000, 'w') + "'";
    EXPECT_EQ(Parse("x=" + longLiteral), "x|5|" + longLiteral);
}

TEST(TablesCriteria, InvalidTexts) {
    const char* error = nullptr;
    for (const char* text : {"x='_a'", "x='1_a'", "x='a;b'", "x='a\tb'", "x='caf\xC3\xA9'",
                             "x='open", "x=1;", "x >= -1", "x >= .5", "x=1.", "x=1\r"}) {
        EXPECT_EQ(Parse(text, &error), "<none>") << text;
        EXPECT_STREQ(error, "invalid syntax") << text;
    }
    for (const char* text : {"", "\n", "x=1\n", "x=1 AND y=2", "x=1 Or y=2", "x = y", "1 = 2",
                             "x <> 1", "x == 1", "(x=1", "x=1)", "x=1 and", "and x=1", "()"}) {
        EXPECT_EQ(Parse(text, &error), "<none>") << text;
        EXPECT_STREQ(error, "syntax error") << text;
    }
}

TEST(TablesCriteria, AndAndOrGroupToTheRight) {
    EXPECT_EQ(Parse("a=1 and b=2 or c=3"), "and(a|5|1,or(b|5|2,c|5|3))");
    EXPECT_EQ(Parse("a=1 or b=2 and c=3"), "or(a|5|1,and(b|5|2,c|5|3))");
    EXPECT_EQ(Parse("a=1 and b=2 and c=3"), "and(a|5|1,and(b|5|2,c|5|3))");
    EXPECT_EQ(Parse("(a=1 or b=2) and c=3"), "and(or(a|5|1,b|5|2),c|5|3)");
    EXPECT_EQ(Parse("((a=1))"), "a|5|1") << "parentheses make no node";
}

TEST(TablesCriteria, SeveralLinesGiveTheLastLine) {
    EXPECT_EQ(Parse("a=1\nb=2 or c=3"), "or(b|5|2,c|5|3)");
    EXPECT_EQ(Parse("a=1\nb="), "<none>");
    EXPECT_EQ(Parse("a=\nb=2"), "<none>");
}

TEST(TablesCriteria, StackLimits) {
    const char* error = nullptr;
    // Peak stack: start state, input, two entries per pending "and", three
    // for the last comparison: 2n + 3 entries of at most 10000.
    EXPECT_NE(Parse(Chain(4998), &error), "<none>");
    EXPECT_EQ(Parse(Chain(4999), &error), "<none>");
    EXPECT_STREQ(error, "yacc stack overflow");
    // Each open parenthesis holds one entry: 2 + k + 3.
    auto nested = [](int k) { return std::string(k, '(') + "x=1" + std::string(k, ')'); };
    EXPECT_EQ(Parse(nested(9995)), "x|5|1");
    EXPECT_EQ(Parse(nested(9996), &error), "<none>");
    EXPECT_STREQ(error, "yacc stack overflow");
}

TEST(TablesCriteria, ParsesRunOnSeveralThreadsAtOnce) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            std::string col = "c" + std::to_string(t);
            std::string text = "(" + col + "='v' or x=1) and " + col + " != 2";
            for (int i = 0; i < 500; ++i) {
                CriteriaNode* n = ParseCriteria(text.c_str());
                if (n == nullptr || n->left->left->columnName != col ||
                    std::string(n->right->literal) != "2")
                    ++wrong;
                FreeCriteriaTree(n);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}
