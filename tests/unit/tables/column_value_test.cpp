#include "tables_test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

using tabtest::ScopedLog;

namespace {

struct Owned {
    void* value = nullptr;
    int32_t length = 0;
    ColumnType type = ORR_SQL_NOT_SUPPORTED_TYPE;
    Owned() = default;
    Owned(Owned&& o) noexcept : value(o.value), length(o.length), type(o.type) {
        o.value = nullptr;
    }
    Owned(const Owned&) = delete;
    ~Owned() { FreeColumnValue(value, length, type); }
};

Owned Convert(const char* text, ColumnType type, int32_t length = -1) {
    Owned o;
    o.type = type;
    o.length = length >= 0 ? length : static_cast<int32_t>(strlen(text));
    o.value = ConvertStringToColumnValue(text, &o.length, type);
    return o;
}

uint64_t Bytes(const void* v, int n) {
    uint64_t out = 0;
    memcpy(&out, v, static_cast<size_t>(n));
    return out;
}

std::string DateTimeText(const void* v) {
    char* s = OrrDateTimeToString(static_cast<const OrrDateTime*>(v));
    std::string out = s != nullptr ? s : "<none>";
    free(s);
    return out;
}

} // namespace

TEST(TablesColumnValue, ConvertHoldsIntegersInTheTypeWidth) {
    struct Case {
        const char* text;
        ColumnType type;
        int32_t width;
        uint64_t bytes;
    } cases[] = {
        {"300", ORR_SQL_TINYINT, 1, 44},
        {"255", ORR_SQL_UNSIGNED_TINYINT, 1, 255},
        {"70000", ORR_SQL_SMALLINT, 2, 70000 & 0xFFFF},
        {"-5", ORR_SQL_INT, 4, 0xFFFFFFFBu},
        {"4294967295", ORR_SQL_UNSIGNED_INT, 4, 0xFFFFFFFFu},
        {"-5", ORR_SQL_LONG_INT, 8, 0xFFFFFFFFFFFFFFFBull},
        {"12a", ORR_SQL_INT, 4, 0},
    };
    for (const auto& c : cases) {
        Owned o = Convert(c.text, c.type);
        ASSERT_NE(o.value, nullptr) << c.text;
        EXPECT_EQ(o.length, c.width) << c.text;
        EXPECT_EQ(Bytes(o.value, c.width), c.bytes) << c.text;
    }
    Owned f = Convert("1.5", ORR_SQL_REAL);
    EXPECT_EQ(f.length, 4);
    EXPECT_EQ(*static_cast<float*>(f.value), 1.5f);
    Owned d = Convert("-2.25", ORR_SQL_DOUBLE);
    EXPECT_EQ(d.length, 8);
    EXPECT_EQ(*static_cast<double*>(d.value), -2.25);
}

TEST(TablesColumnValue, ConvertCopiesTextAndRawTypes) {
    // Text types copy the whole text whatever length was passed in.
    Owned t = Convert("hello", ORR_SQL_VARCHAR, 2);
    EXPECT_STREQ(static_cast<char*>(t.value), "hello");
    EXPECT_EQ(t.length, 5);
    // Raw types copy the first `length` bytes, terminated, length unchanged.
    for (ColumnType type : {ORR_SQL_NOT_SUPPORTED_TYPE, ORR_SQL_DECIMAL, ORR_SQL_BLOB}) {
        Owned r = Convert("12345", type, 3);
        EXPECT_STREQ(static_cast<char*>(r.value), "123");
        EXPECT_EQ(r.length, 3);
    }
}

TEST(TablesColumnValue, ConvertDatesGiveFullDateTimes) {
    for (ColumnType type : {ORR_SQL_DATE, ORR_SQL_TIME, ORR_SQL_DATETIME}) {
        Owned a = Convert("2024-02-03", type);
        EXPECT_EQ(a.length, 11);
        EXPECT_EQ(DateTimeText(a.value), "2024-02-03 00:00:00");
        Owned b = Convert("10:20:30", type);
        EXPECT_EQ(DateTimeText(b.value), "0000-00-00 10:20:30");
        Owned c = Convert("2024-02-03 04:05:06", type);
        EXPECT_EQ(DateTimeText(c.value), "2024-02-03 04:05:06");
        Owned none = Convert("20240203", type);
        EXPECT_EQ(none.value, nullptr);
        EXPECT_EQ(none.length, 8) << "length stays as it was";
    }
}

TEST(TablesColumnValue, ConvertBooleansAndRefusals) {
    Owned t = Convert("true", ORR_SQL_BOOLEAN);
    EXPECT_EQ(t.length, 1);
    EXPECT_EQ(*static_cast<unsigned char*>(t.value), 1);
    Owned f = Convert("FaLsE", ORR_SQL_BOOLEAN);
    EXPECT_EQ(*static_cast<unsigned char*>(f.value), 0);
    EXPECT_EQ(Convert("yes", ORR_SQL_BOOLEAN).value, nullptr);
    Owned unknown = Convert("7", static_cast<ColumnType>(23));
    EXPECT_EQ(unknown.value, nullptr);
    EXPECT_EQ(unknown.length, 1);
    int32_t len = 3;
    EXPECT_EQ(ConvertStringToColumnValue(nullptr, &len, ORR_SQL_INT), nullptr);
}

TEST(TablesColumnValue, AllocateAndCopyConvertsAttributeTexts) {
    struct Case {
        ColumnType type;
        const char* text;
        int32_t length;
    } stored[] = {
        {ORR_SQL_TINYINT, "300", 8},
        {ORR_SQL_UNSIGNED_LONG_INT, "-2", 8},
        {ORR_SQL_FLOAT, "0.5", 4},
        {ORR_SQL_DOUBLE, "0.25", 8},
        {ORR_SQL_CHAR, "abc", 3},
        {ORR_SQL_TEXT, "", 0},
        {ORR_SQL_DATE, "2024-5-6", 4},
        {ORR_SQL_TIME, "7:8:9", 3},
        {ORR_SQL_DATETIME, "2024-01-02 03:04:05", 11},
        {ORR_SQL_BOOLEAN, "x", 1},
    };
    for (const auto& c : stored) {
        Owned o;
        o.type = c.type;
        ASSERT_EQ(AllocateAndCopyColumnValue(&o.value, &o.length, c.type, c.text), 1);
        ASSERT_NE(o.value, nullptr) << c.text;
        EXPECT_EQ(o.length, c.length) << c.text;
    }
    Owned tiny;
    tiny.type = ORR_SQL_TINYINT;
    AllocateAndCopyColumnValue(&tiny.value, &tiny.length, ORR_SQL_TINYINT, "300");
    EXPECT_EQ(Bytes(tiny.value, 8), 300u) << "8 bytes, not narrowed";
    Owned date;
    date.type = ORR_SQL_DATE;
    AllocateAndCopyColumnValue(&date.value, &date.length, ORR_SQL_DATE, "2024-05");
    char* s = OrrDateToString(static_cast<OrrDate*>(date.value));
    EXPECT_STREQ(s, "2024-05-00");
    free(s);
}

TEST(TablesColumnValue, AllocateAndCopyBooleansAreTrueUnlessFalse) {
    const char* truthy[] = {"yes", "TRUE", "", "0"};
    for (const char* text : truthy) {
        Owned o;
        AllocateAndCopyColumnValue(&o.value, &o.length, ORR_SQL_BOOLEAN, text);
        EXPECT_EQ(*static_cast<unsigned char*>(o.value), 1) << text;
    }
    for (const char* text : {"FALSE", "false"}) {
        Owned o;
        AllocateAndCopyColumnValue(&o.value, &o.length, ORR_SQL_BOOLEAN, text);
        EXPECT_EQ(*static_cast<unsigned char*>(o.value), 0) << text;
    }
}

TEST(TablesColumnValue, AllocateAndCopyStoresNothingForSomeTypes) {
    ScopedLog log;
    int sentinel = 0;
    for (int type : {0, 11, 12, 13, 20, 21, 23, 200}) {
        void* value = &sentinel;
        int32_t length = 77;
        EXPECT_EQ(AllocateAndCopyColumnValue(&value, &length, static_cast<ColumnType>(type), "5"),
                  1);
        EXPECT_EQ(value, &sentinel) << type;
        EXPECT_EQ(length, 77) << type;
    }
    void* value = nullptr;
    int32_t length = 0;
    EXPECT_EQ(AllocateAndCopyColumnValue(&value, &length, ORR_SQL_INT, nullptr), 0);
    EXPECT_TRUE(log.has("TRACE", "value parameter in AllocateAndCopyColumnValue is NULL \n"));
}

TEST(TablesColumnValue, CompareIntegersAsThirtyTwoBits) {
    Owned rowMinus1;
    rowMinus1.type = ORR_SQL_INT;
    AllocateAndCopyColumnValue(&rowMinus1.value, &rowMinus1.length, ORR_SQL_INT, "-1");
    Owned one = Convert("1", ORR_SQL_INT);
    EXPECT_EQ(CompareColumnValue(rowMinus1.value, one.value, ORR_OP_LESS, ORR_SQL_INT), 1);
    Owned uone = Convert("1", ORR_SQL_UNSIGNED_INT);
    EXPECT_EQ(CompareColumnValue(rowMinus1.value, uone.value, ORR_OP_GREATER, ORR_SQL_UNSIGNED_INT),
              1);
    // A row value from a document keeps 300; the tiny-integer literal 300 is 44.
    Owned row300;
    AllocateAndCopyColumnValue(&row300.value, &row300.length, ORR_SQL_TINYINT, "300");
    Owned lit300 = Convert("300", ORR_SQL_TINYINT);
    Owned lit44 = Convert("44", ORR_SQL_TINYINT);
    EXPECT_EQ(CompareColumnValue(row300.value, lit300.value, ORR_OP_EQUAL, ORR_SQL_TINYINT), 0);
    EXPECT_EQ(CompareColumnValue(lit44.value, lit300.value, ORR_OP_EQUAL, ORR_SQL_TINYINT), 1);
    // The six operators on 5 against 3, and operator numbers outside them.
    const int expected[] = {0, 0, 1, 0, 1, 0, 1, 0};
    Owned five = Convert("5", ORR_SQL_INT);
    Owned three = Convert("3", ORR_SQL_INT);
    for (int op = 0; op < 8; ++op)
        EXPECT_EQ(CompareColumnValue(five.value, three.value, static_cast<BYTE>(op), ORR_SQL_INT),
                  expected[op])
            << op;
}

TEST(TablesColumnValue, CompareReadsNoMoreThanTheRecordedLength) {
    // A one-byte row value made by hand: reading four bytes would leave it.
    auto* row = static_cast<unsigned char*>(malloc(1));
    row[0] = 5;
    Owned lit = Convert("5", ORR_SQL_TINYINT);
    EXPECT_EQ(
        CompareColumnValueWithLengths(row, 1, lit.value, lit.length, ORR_OP_EQUAL, ORR_SQL_TINYINT),
        1);
    free(row);
}

TEST(TablesColumnValue, CompareTextsWithoutTheLiteralQuotes) {
    Owned lit = Convert("'RESOURCE_ID'", ORR_SQL_VARCHAR);
    EXPECT_EQ(CompareColumnValue("RESOURCE_ID", lit.value, ORR_OP_EQUAL, ORR_SQL_VARCHAR), 1);
    EXPECT_EQ(CompareColumnValue("resource_id", lit.value, ORR_OP_EQUAL, ORR_SQL_VARCHAR), 0);
    EXPECT_EQ(CompareColumnValue("RESOURCE_IDX", lit.value, ORR_OP_GREATER, ORR_SQL_TEXT), 1);
    // Unquoted, the first and last characters still go: 123 compares as 2.
    Owned bare = Convert("123", ORR_SQL_CHAR);
    EXPECT_EQ(CompareColumnValue("2", bare.value, ORR_OP_EQUAL, ORR_SQL_CHAR), 1);
    // An absent row text orders before every literal, numbers likewise.
    const int absentHolds[] = {0, 1, 0, 1, 0, 0, 1};
    Owned num = Convert("0", ORR_SQL_SMALLINT);
    for (int op = 1; op <= 6; ++op) {
        EXPECT_EQ(CompareColumnValue(nullptr, lit.value, static_cast<BYTE>(op), ORR_SQL_TEXT),
                  absentHolds[op]);
        EXPECT_EQ(CompareColumnValue(nullptr, num.value, static_cast<BYTE>(op), ORR_SQL_SMALLINT),
                  absentHolds[op]);
    }
}

TEST(TablesColumnValue, CompareNeverHoldsForOtherTypes) {
    for (ColumnType type : {ORR_SQL_LONG_INT, ORR_SQL_UNSIGNED_LONG_INT, ORR_SQL_DOUBLE,
                            ORR_SQL_REAL, ORR_SQL_DECIMAL, ORR_SQL_DATE, ORR_SQL_DATETIME,
                            ORR_SQL_BOOLEAN, ORR_SQL_BLOB, ORR_SQL_CLOB}) {
        Owned a = Convert("1", type == ORR_SQL_BOOLEAN ? ORR_SQL_VARCHAR : type);
        for (int op = 1; op <= 6; ++op)
            EXPECT_EQ(CompareColumnValue(a.value, a.value, static_cast<BYTE>(op), type), 0);
    }
    Owned f1 = Convert("1.5", ORR_SQL_FLOAT);
    Owned f2 = Convert("2.5", ORR_SQL_FLOAT);
    EXPECT_EQ(CompareColumnValue(f1.value, f2.value, ORR_OP_LESS, ORR_SQL_FLOAT), 1);
}

TEST(TablesColumnValue, NumberParsing) {
    EXPECT_EQ(ParseInteger("12a"), 0);
    EXPECT_EQ(ParseInteger("-"), 0);
    EXPECT_EQ(ParseInteger(""), 0);
    EXPECT_EQ(ParseInteger("+7"), 7);
    EXPECT_EQ(ParseInteger("-42"), -42);
    EXPECT_EQ(ParseInteger("2147483648"), INT32_MIN) << "wraps around";
    EXPECT_EQ(ParseInteger64("-9000000000"), -9000000000LL);
    EXPECT_EQ(ParseDecimal("5."), 5.0);
    EXPECT_EQ(ParseDecimal(".5"), 0.5);
    EXPECT_EQ(ParseDecimal("-2.25"), -2.25);
    EXPECT_EQ(ParseDecimal("1e5"), 0.0);
    EXPECT_TRUE(IsNumeric("", 0));
    EXPECT_TRUE(IsNumeric("-12", 3));
    EXPECT_FALSE(IsNumeric("1-2", 3));
    EXPECT_EQ(StringToInteger("+7"), 7);
    EXPECT_EQ(StringToInteger("-42"), -42);
    EXPECT_EQ(StringToInteger("12-"), -1);
    EXPECT_EQ(StringToInteger("1x"), -1);
    EXPECT_EQ(StringToInteger(""), 0);
}

TEST(TablesColumnValue, TextUtilities) {
    ScopedLog log;
    EXPECT_EQ(StringLength(nullptr), 0);
    EXPECT_EQ(CompareStrings(nullptr, nullptr), 0);
    EXPECT_LT(CompareStrings(nullptr, "a"), 0);
    EXPECT_GT(CompareStrings("a", nullptr), 0);
    EXPECT_EQ(CompareStrings("abc", "abd"), -1);
    EXPECT_GT(CompareStrings("\xC3", "a"), 0) << "bytes compare unsigned";
    EXPECT_EQ(CompareStringsNoCase("ABC", "abc"), 0);
    EXPECT_EQ(FindSubString("abc", "bc"), 1);
    EXPECT_EQ(FindSubString("abc", "abcd"), 0);
    EXPECT_EQ(FindSubString("abc", ""), 0);
    EXPECT_EQ(FindSubString("abc", "x"), 0);
    EXPECT_TRUE(log.has("TRACE", "\n\t@@@@@ Inside FindSubString() @@@@@ \n"));
    EXPECT_EQ(CountOccurrences("a:b:c", ":"), 2);
    EXPECT_EQ(CountOccurrences(nullptr, ":"), -1);
    EXPECT_EQ(CountOccurrences("aab", "ab"), 1) << "a failed partial match hides no separator";
    EXPECT_EQ(CountOccurrences("aaaa", "aa"), 2) << "occurrences do not overlap";
    EXPECT_EQ(IndexOfSubString("abc", "c"), 2);
    EXPECT_EQ(IndexOfSubString("abc", "x"), 0);
    EXPECT_EQ(IndexOfSubString(nullptr, "x"), -1);
    struct Cut {
        char* (*fn)(const char*, const char*);
        const char* text;
        const char* sep;
        const char* expected;
    } cuts[] = {
        {SubStringBefore, "key=value", "=", "key"},
        {SubStringBefore, "key", "=", ""},
        {SubStringAfter, "key=value", "=", "value"},
        {SubStringAfter, "abcdef", "==", "cdef"},
        {SubStringAfter, "a", "===", ""},
    };
    for (const auto& c : cuts) {
        char* s = c.fn(c.text, c.sep);
        EXPECT_STREQ(s, c.expected) << c.text;
        free(s);
    }
    const char* text = "x:y::z";
    char** parts = SplitString(text, ":");
    ASSERT_NE(parts, nullptr);
    EXPECT_STREQ(parts[0], "x");
    EXPECT_STREQ(parts[1], "y");
    EXPECT_STREQ(parts[2], "");
    EXPECT_STREQ(parts[3], "z");
    EXPECT_EQ(parts[4], nullptr);
    FreeSplitString(parts, text);
    const char* plain = "plain";
    parts = SplitString(plain, ":");
    EXPECT_EQ(parts[0], plain) << "the input itself, not a copy";
    EXPECT_EQ(parts[1], nullptr);
    FreeSplitString(parts, plain);
    parts = SplitString("xaab", "ab");
    ASSERT_NE(parts, nullptr);
    EXPECT_STREQ(parts[0], "xa");
    EXPECT_STREQ(parts[1], "");
    EXPECT_EQ(parts[2], nullptr);
    FreeSplitString(parts, "xaab");
    void* bytes = nullptr;
    ASSERT_EQ(AllocateAndCopyBytes(&bytes, "ab\0c", 4), 1);
    EXPECT_EQ(memcmp(bytes, "ab\0c\0", 5), 0);
    free(bytes);
}

TEST(TablesColumnValue, DateAndTimeTexts) {
    OrrDateTime* both = CreateOrrDateTime(2024, 1, 2, 3, 4, 5);
    EXPECT_EQ(DateTimeText(both), "2024-01-02 03:04:05");
    OrrDate* date = both->date;
    both->date = nullptr;
    EXPECT_EQ(DateTimeText(both), "03:04:05");
    both->date = date;
    free(both->time);
    both->time = nullptr;
    EXPECT_EQ(DateTimeText(both), "2024-01-02");
    free(both->date);
    both->date = nullptr;
    EXPECT_EQ(DateTimeText(both), "<none>");
    FreeOrrDateTime(both);
    EXPECT_EQ(OrrDateToString(nullptr), nullptr);
    OrrDateTime* now = GetCurrentOrrDateTime();
    ASSERT_NE(now, nullptr);
    EXPECT_GE(now->date->year, 2024);
    EXPECT_TRUE(now->date->month >= 1 && now->date->month <= 12);
    FreeOrrDateTime(now);
}

TEST(TablesColumnValue, TypeNamesAndAliases) {
    EXPECT_EQ(GetColumnTypeFromName("orr_sql_tinyint", 0), ORR_SQL_TINYINT);
    EXPECT_EQ(GetColumnTypeFromName("BIGINT", 0), ORR_SQL_INT);
    EXPECT_EQ(GetColumnTypeFromName("long", 0), ORR_SQL_INT);
    EXPECT_EQ(GetColumnTypeFromName("NCHAR", 10), ORR_SQL_VARCHAR);
    EXPECT_EQ(GetColumnTypeFromName("timestamp", 0), ORR_SQL_DATETIME);
    EXPECT_EQ(GetColumnTypeFromName("ORR_SQL_CHAR", 255), ORR_SQL_CHAR);
    EXPECT_EQ(GetColumnTypeFromName("ORR_SQL_CHAR", 256), ORR_SQL_TEXT);
    EXPECT_EQ(GetColumnTypeFromName("CHAR", 300), ORR_SQL_TEXT);
    EXPECT_EQ(GetColumnTypeFromName("VARCHAR2", 0), ORR_SQL_NOT_SUPPORTED_TYPE);
    EXPECT_EQ(GetColumnTypeFromName(nullptr, 0), ORR_SQL_NOT_SUPPORTED_TYPE);
}

TEST(TablesColumnValue, CopiesOfDateTimesAreDeep) {
    Owned dt = Convert("2024-02-03 04:05:06", ORR_SQL_DATETIME);
    void* copy = nullptr;
    ASSERT_EQ(CopyColumnValue(&copy, dt.value, dt.length, ORR_SQL_DATETIME), 1);
    EXPECT_NE(static_cast<OrrDateTime*>(copy)->date, static_cast<OrrDateTime*>(dt.value)->date);
    EXPECT_EQ(DateTimeText(copy), "2024-02-03 04:05:06");
    FreeColumnValue(copy, dt.length, ORR_SQL_DATETIME);
}
