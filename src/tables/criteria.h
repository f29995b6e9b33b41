// The criteria language of row selection: comparisons of one column with one
// literal, combined with lower-case "and" and "or" (same precedence, grouping
// to the right) and parentheses.
#pragma once

#include "tables/column_value.h"

#include <windows.h>
#include <stdint.h>

struct CriteriaNode {
    char* columnName; // comparison nodes only
    char* literal;    // as written, quotes included; comparison nodes only
    BYTE op;          // 1-6 comparison (ComparisonOperator), 7 and, 8 or
    // Bound by row selection: the position and type of the named column. The
    // position is wider than a byte so that columns past the 255th bind too.
    int32_t columnPosition;
    ColumnType columnType;
    CriteriaNode* left;
    CriteriaNode* right;
    CriteriaNode* parent;
    // Bound by row selection: the literal converted once for the column's type.
    void* literalValue;
    int32_t literalLength;
};

// Parser stack bounds: a criteria text needing more than the largest stack fails.
const int32_t kCriteriaStackInitial = 200;
const int32_t kCriteriaStackMax = 10000;

// A new tree owned by the caller, or none when the text is not a valid
// criteria. A line end is appended before parsing; a text of several lines
// gives the last line's tree. Reentrant: parses need no serialisation.
CriteriaNode* ParseCriteria(const char* criteria);
// The same, also telling why a parse failed: "syntax error", "yacc stack
// overflow" or "invalid syntax" (none on success).
CriteriaNode* ParseCriteriaWithError(const char* criteria, const char** error);
void FreeCriteriaTree(CriteriaNode* tree);
