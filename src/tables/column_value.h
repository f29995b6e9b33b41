// Column values of the in-memory tables: type numbers, value layouts, the two
// text-to-value conversions, the typed comparison and small text utilities.
// Every new buffer, text, record or array returned here belongs to the caller.
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>

// One byte; numbers 23 and above are not types but may still be met.
enum ColumnType : BYTE {
    ORR_SQL_NOT_SUPPORTED_TYPE = 0,
    ORR_SQL_TINYINT = 1,
    ORR_SQL_UNSIGNED_TINYINT = 2,
    ORR_SQL_SMALLINT = 3,
    ORR_SQL_UNSIGNED_SMALLINT = 4,
    ORR_SQL_INT = 5,
    ORR_SQL_UNSIGNED_INT = 6,
    ORR_SQL_LONG_INT = 7,
    ORR_SQL_UNSIGNED_LONG_INT = 8,
    ORR_SQL_FLOAT = 9,
    ORR_SQL_DOUBLE = 10,
    ORR_SQL_REAL = 11,
    ORR_SQL_DECIMAL = 12,
    ORR_SQL_NUMERIC = 13,
    ORR_SQL_CHAR = 14,
    ORR_SQL_VARCHAR = 15,
    ORR_SQL_DATE = 16,
    ORR_SQL_TIME = 17,
    ORR_SQL_DATETIME = 18,
    ORR_SQL_BOOLEAN = 19,
    ORR_SQL_BLOB = 20,
    ORR_SQL_CLOB = 21,
    ORR_SQL_TEXT = 22,
};

// Always read as: row value, operator, literal. 7 and 8 are the criteria
// tree's logical nodes.
enum ComparisonOperator : BYTE {
    ORR_OP_LESS = 1,
    ORR_OP_GREATER = 2,
    ORR_OP_LESS_EQUAL = 3,
    ORR_OP_GREATER_EQUAL = 4,
    ORR_OP_EQUAL = 5,
    ORR_OP_NOT_EQUAL = 6,
    ORR_OP_AND = 7,
    ORR_OP_OR = 8,
};

// Library result codes.
const int ORR_SUCCESS = 1;
const int ORR_FAILURE = 0;
const int ORR_NO_MEMORY = 99;

// A value: an owned buffer (null when absent) with one zero byte after
// `length` bytes, or for dates and times a pointer to the record.
struct ColumnValue {
    void* value;
    int32_t length;
};

struct OrrDate {
    WORD year;
    BYTE month;
    BYTE day;
};

struct OrrTime {
    BYTE hour;
    BYTE minute;
    BYTE second;
};

// Owns both parts; either may be absent.
struct OrrDateTime {
    OrrDate* date;
    OrrTime* time;
};

// Recorded lengths of the date and time records.
const int32_t ORR_DATE_LENGTH = 4;
const int32_t ORR_TIME_LENGTH = 3;
const int32_t ORR_DATETIME_LENGTH = 11;

// ---- conversions ----
void* ConvertStringToColumnValue(const char* text, int32_t* length, ColumnType type);
int AllocateAndCopyColumnValue(void** value, int32_t* length, ColumnType type, const char* text);

// 1 when "row value <op> literal" holds, else 0. Integer values must hold at
// least 4 bytes (every value this library makes does); use
// CompareColumnValueWithLengths for values of unknown make.
int CompareColumnValue(const void* rowValue, const void* literalValue, BYTE op, ColumnType type);
// The same comparison reading no byte beyond either recorded length.
int CompareColumnValueWithLengths(const void* rowValue, int32_t rowLength, const void* literalValue,
                                  int32_t literalLength, BYTE op, ColumnType type);

// The type number of a type name (library names and aliases, any case); a
// CHAR or VARCHAR column of 256 or more characters is held as TEXT.
ColumnType GetColumnTypeFromName(const char* typeName, int32_t maxSize);

// Releases a value of the given type (date and time records with their parts).
void FreeColumnValue(void* value, int32_t length, ColumnType type);
// A deep copy of a value: date and time records are copied as records, every
// other value as `length` bytes plus the zero byte. 1, or 99 when memory runs out.
int CopyColumnValue(void** out, const void* value, int32_t length, ColumnType type);

// ---- dates and times ----
OrrDate* CreateOrrDate(int year, int month, int day);
OrrTime* CreateOrrTime(int hour, int minute, int second);
OrrDateTime* CreateOrrDateTime(int year, int month, int day, int hour, int minute, int second);
OrrDateTime* ConvertStringToOrrDateTime(const char* text);
OrrDateTime* GetCurrentOrrDateTime();
void FreeOrrDateTime(OrrDateTime* dateTime);
char* OrrDateToString(const OrrDate* date);
char* OrrTimeToString(const OrrTime* time);
char* OrrDateTimeToString(const OrrDateTime* dateTime);

// ---- text utilities ----
int32_t ParseInteger(const char* text);
int64_t ParseInteger64(const char* text);
double ParseDecimal(const char* text);
int32_t StringToInteger(const char* text);
int IsNumeric(const char* text, int32_t length);
int32_t StringLength(const char* text);
int CompareStrings(const char* a, const char* b);
int CompareStringsNoCase(const char* a, const char* b);
int FindSubString(const char* text, const char* sub);
int32_t CountOccurrences(const char* text, const char* sep);
int32_t IndexOfSubString(const char* text, const char* sep);
char* SubStringBefore(const char* text, const char* sep);
char* SubStringAfter(const char* text, const char* sep);
// Entry n (the remainder) is `text` itself when there is no separator; free
// the array with FreeSplitString, which knows that.
char** SplitString(const char* text, const char* sep);
void FreeSplitString(char** parts, const char* text);
int AllocateAndCopyBytes(void** out, const void* source, size_t n);
int AllocateAndCopyString(char** out, const char* text);
