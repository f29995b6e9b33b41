// Column values: type names, the conversions from text, dates and times,
// copies and the typed comparison. The text utilities of column_value.h are
// in text_utilities.cpp.
#include "tables/column_value.h"
#include "tables/column_value_parts.h"
#include "base/log.h"

#include <float.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

using tabrix::isDigit;
using tabrix::newBytesValue;

namespace {

// Every integer value buffer is this large, zero-filled beyond the value's
// width, so that reading its low 32 bits never leaves the buffer.
const size_t kIntegerBufferSize = 8 + 1;

int typeWidth(ColumnType type) {
    switch (type) {
    case ORR_SQL_TINYINT:
    case ORR_SQL_UNSIGNED_TINYINT:
        return 1;
    case ORR_SQL_SMALLINT:
    case ORR_SQL_UNSIGNED_SMALLINT:
        return 2;
    case ORR_SQL_INT:
    case ORR_SQL_UNSIGNED_INT:
        return 4;
    default:
        return 8;
    }
}

bool isSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Little-endian bytes, whatever the host.
void storeLittleEndian(unsigned char* out, uint64_t v, int width) {
    for (int i = 0; i < width; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t loadLow32(const void* p, int32_t length) {
    const auto* b = static_cast<const unsigned char*>(p);
    int n = (length < 0 || length > 4) ? 4 : length;
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= static_cast<uint32_t>(b[i]) << (8 * i);
    return v;
}

void* newIntegerValue(uint64_t v, int width) {
    auto* p = static_cast<unsigned char*>(calloc(1, kIntegerBufferSize));
    if (p != nullptr)
        storeLittleEndian(p, v, width);
    return p;
}

float toSingle(double d) {
    // Out-of-range values become infinities rather than undefined conversions.
    if (d > FLT_MAX)
        return HUGE_VALF;
    if (d < -FLT_MAX)
        return -HUGE_VALF;
    return static_cast<float>(d);
}

// A small scanf for the date and time patterns: 'd' reads a decimal number
// (leading white space skipped, optional sign, wrap-around instead of
// undefined overflow), ' ' skips any white space, any other character must
// match itself. Returns how many numbers were read.
int scanNumbers(const char* text, const char* pattern, int* out, int maxOut) {
    int count = 0;
    const char* s = text;
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (*p == 'd') {
            if (count >= maxOut)
                break;
            while (isSpace(*s))
                ++s;
            bool negative = false;
            if (*s == '+' || *s == '-') {
                negative = *s == '-';
                ++s;
            }
            if (!isDigit(*s))
                break;
            uint32_t v = 0;
            while (isDigit(*s))
                v = v * 10u + static_cast<uint32_t>(*s++ - '0');
            if (negative)
                v = 0u - v;
            out[count++] = static_cast<int>(v);
        } else if (*p == ' ') {
            while (isSpace(*s))
                ++s;
        } else {
            if (*s != *p)
                break;
            ++s;
        }
    }
    return count;
}

int applyOperator(int sign, BYTE op) {
    switch (op) {
    case ORR_OP_LESS:
        return sign < 0;
    case ORR_OP_GREATER:
        return sign > 0;
    case ORR_OP_LESS_EQUAL:
        return sign <= 0;
    case ORR_OP_GREATER_EQUAL:
        return sign >= 0;
    case ORR_OP_EQUAL:
        return sign == 0;
    case ORR_OP_NOT_EQUAL:
        return sign != 0;
    default:
        return 0;
    }
}

template <class T> int threeWay(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Compares a row text with the literal without its first and last
// characters, the way CompareStrings would compare it with that copy.
int compareWithQuotedLiteral(const char* row, const char* literal, int32_t literalLength) {
    if (row == nullptr)
        return -1;
    size_t litLen = literalLength >= 0 ? static_cast<size_t>(literalLength) : strlen(literal);
    const char* inner = litLen >= 2 ? literal + 1 : literal;
    size_t innerLen = litLen >= 2 ? litLen - 2 : 0;
    for (size_t i = 0;; ++i) {
        auto r = static_cast<unsigned char>(row[i]);
        auto l = i < innerLen ? static_cast<unsigned char>(inner[i]) : 0u;
        if (r != l || r == 0)
            return static_cast<int>(r) - static_cast<int>(l);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Dates and times

OrrDate* CreateOrrDate(int year, int month, int day) {
    auto* d = static_cast<OrrDate*>(malloc(sizeof(OrrDate)));
    if (d == nullptr) {
        LogError("OrrDate creation failed\n");
        return nullptr;
    }
    d->year = static_cast<WORD>(year);
    d->month = static_cast<BYTE>(month);
    d->day = static_cast<BYTE>(day);
    return d;
}

OrrTime* CreateOrrTime(int hour, int minute, int second) {
    auto* t = static_cast<OrrTime*>(malloc(sizeof(OrrTime)));
    if (t == nullptr) {
        LogError("OrrTime creation failed\n");
        return nullptr;
    }
    t->hour = static_cast<BYTE>(hour);
    t->minute = static_cast<BYTE>(minute);
    t->second = static_cast<BYTE>(second);
    return t;
}

OrrDateTime* CreateOrrDateTime(int year, int month, int day, int hour, int minute, int second) {
    auto* dt = static_cast<OrrDateTime*>(malloc(sizeof(OrrDateTime)));
    OrrDate* d = CreateOrrDate(year, month, day);
    OrrTime* t = CreateOrrTime(hour, minute, second);
    if (dt == nullptr || d == nullptr || t == nullptr) {
        free(dt);
        free(d);
        free(t);
        LogError("OrrDateTime creation failed\n");
        return nullptr;
    }
    dt->date = d;
    dt->time = t;
    return dt;
}

void FreeOrrDateTime(OrrDateTime* dateTime) {
    if (dateTime == nullptr)
        return;
    free(dateTime->date);
    free(dateTime->time);
    free(dateTime);
}

OrrDateTime* ConvertStringToOrrDateTime(const char* text) {
    LogTrace("Inside ConvertStringToOrrDateTime \n");
    if (text == nullptr) {
        LogError("datetimeStr NULL \n");
        return nullptr;
    }
    bool hasMinus = strchr(text, '-') != nullptr;
    bool hasColon = strchr(text, ':') != nullptr;
    int n[6] = {0, 0, 0, 0, 0, 0};
    if (hasMinus && hasColon) {
        scanNumbers(text, "d-d-d d:d:d", n, 6);
    } else if (hasMinus) {
        scanNumbers(text, "d-d-d", n, 3);
    } else if (hasColon) {
        scanNumbers(text, "d:d:d", n + 3, 3);
    } else {
        return nullptr;
    }
    return CreateOrrDateTime(n[0], n[1], n[2], n[3], n[4], n[5]);
}

OrrDateTime* GetCurrentOrrDateTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    auto* dt = static_cast<OrrDateTime*>(malloc(sizeof(OrrDateTime)));
    if (dt == nullptr) {
        LogError("MEMORY ALLOCATION FAILURE FOR dateTimePtr\n");
        return nullptr;
    }
    dt->date = CreateOrrDate(now.wYear, now.wMonth, now.wDay);
    if (dt->date == nullptr) {
        LogError("CreateOrrDate Failed\n");
        free(dt);
        return nullptr;
    }
    dt->time = CreateOrrTime(now.wHour, now.wMinute, now.wSecond);
    if (dt->time == nullptr) {
        LogError("CreateOrrTime Failed\n");
        free(dt->date);
        free(dt);
        return nullptr;
    }
    return dt;
}

namespace {
char* formatted(const char* format, int a, int b, int c, int d = 0, int e = 0, int f = 0) {
    char buffer[64];
    int n = snprintf(buffer, sizeof buffer, format, a, b, c, d, e, f);
    if (n < 0)
        return nullptr;
    return static_cast<char*>(newBytesValue(buffer, strlen(buffer)));
}
} // namespace

char* OrrDateToString(const OrrDate* date) {
    if (date == nullptr)
        return nullptr;
    return formatted("%04d-%02d-%02d", date->year, date->month, date->day);
}

char* OrrTimeToString(const OrrTime* time) {
    if (time == nullptr)
        return nullptr;
    return formatted("%02d:%02d:%02d", time->hour, time->minute, time->second);
}

char* OrrDateTimeToString(const OrrDateTime* dateTime) {
    if (dateTime == nullptr)
        return nullptr;
    const OrrDate* d = dateTime->date;
    const OrrTime* t = dateTime->time;
    if (d != nullptr && t != nullptr)
        return formatted("%04d-%02d-%02d %02d:%02d:%02d", d->year, d->month, d->day, t->hour,
                         t->minute, t->second);
    if (t != nullptr)
        return OrrTimeToString(t);
    if (d != nullptr)
        return OrrDateToString(d);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Conversions

ColumnType GetColumnTypeFromName(const char* typeName, int32_t maxSize) {
    static const struct {
        const char* name;
        ColumnType type;
    } kNames[] = {
        {"ORR_SQL_NOT_SUPPORTED_TYPE", ORR_SQL_NOT_SUPPORTED_TYPE},
        {"ORR_SQL_TINYINT", ORR_SQL_TINYINT},
        {"ORR_SQL_UNSIGNED_TINYINT", ORR_SQL_UNSIGNED_TINYINT},
        {"ORR_SQL_SMALLINT", ORR_SQL_SMALLINT},
        {"ORR_SQL_UNSIGNED_SMALLINT", ORR_SQL_UNSIGNED_SMALLINT},
        {"ORR_SQL_INT", ORR_SQL_INT},
        {"BIGINT", ORR_SQL_INT},
        {"INTEGER", ORR_SQL_INT},
        {"LONG", ORR_SQL_INT},
        {"ORR_SQL_UNSIGNED_INT", ORR_SQL_UNSIGNED_INT},
        {"ORR_SQL_LONG_INT", ORR_SQL_LONG_INT},
        {"ORR_SQL_UNSIGNED_LONG_INT", ORR_SQL_UNSIGNED_LONG_INT},
        {"ORR_SQL_FLOAT", ORR_SQL_FLOAT},
        {"FLOAT", ORR_SQL_FLOAT},
        {"ORR_SQL_DOUBLE", ORR_SQL_DOUBLE},
        {"ORR_SQL_REAL", ORR_SQL_REAL},
        {"ORR_SQL_DECIMAL", ORR_SQL_DECIMAL},
        {"ORR_SQL_NUMERIC", ORR_SQL_NUMERIC},
        {"ORR_SQL_CHAR", ORR_SQL_CHAR},
        {"ORR_SQL_VARCHAR", ORR_SQL_VARCHAR},
        {"CHAR", ORR_SQL_VARCHAR},
        {"NCHAR", ORR_SQL_VARCHAR},
        {"ORR_SQL_DATE", ORR_SQL_DATE},
        {"DATE", ORR_SQL_DATE},
        {"ORR_SQL_TIME", ORR_SQL_TIME},
        {"TIME", ORR_SQL_TIME},
        {"ORR_SQL_DATETIME", ORR_SQL_DATETIME},
        {"DATETIME", ORR_SQL_DATETIME},
        {"TIMESTAMP", ORR_SQL_DATETIME},
        {"ORR_SQL_BOOLEAN", ORR_SQL_BOOLEAN},
        {"BOOLEAN", ORR_SQL_BOOLEAN},
        {"ORR_SQL_BLOB", ORR_SQL_BLOB},
        {"BLOB", ORR_SQL_BLOB},
        {"ORR_SQL_CLOB", ORR_SQL_CLOB},
        {"CLOB", ORR_SQL_CLOB},
        {"ORR_SQL_TEXT", ORR_SQL_TEXT},
        {"TEXT", ORR_SQL_TEXT},
    };
    if (typeName == nullptr)
        return ORR_SQL_NOT_SUPPORTED_TYPE;
    for (const auto& entry : kNames) {
        if (CompareStringsNoCase(typeName, entry.name) != 0)
            continue;
        if ((entry.type == ORR_SQL_CHAR || entry.type == ORR_SQL_VARCHAR) && maxSize >= 256)
            return ORR_SQL_TEXT;
        return entry.type;
    }
    return ORR_SQL_NOT_SUPPORTED_TYPE;
}

void* ConvertStringToColumnValue(const char* text, int32_t* length, ColumnType type) {
    if (text == nullptr || length == nullptr)
        return nullptr;
    switch (type) {
    case ORR_SQL_NOT_SUPPORTED_TYPE:
    case ORR_SQL_DECIMAL:
    case ORR_SQL_NUMERIC:
    case ORR_SQL_BLOB:
    case ORR_SQL_CLOB:
        if (*length < 0)
            return nullptr;
        return newBytesValue(text, static_cast<size_t>(*length));
    case ORR_SQL_TINYINT:
    case ORR_SQL_UNSIGNED_TINYINT:
    case ORR_SQL_SMALLINT:
    case ORR_SQL_UNSIGNED_SMALLINT:
    case ORR_SQL_INT:
    case ORR_SQL_UNSIGNED_INT: {
        int width = typeWidth(type);
        void* v = newIntegerValue(static_cast<uint32_t>(ParseInteger(text)), width);
        if (v != nullptr)
            *length = width;
        return v;
    }
    case ORR_SQL_LONG_INT:
    case ORR_SQL_UNSIGNED_LONG_INT: {
        void* v = newIntegerValue(static_cast<uint64_t>(ParseInteger64(text)), 8);
        if (v != nullptr)
            *length = 8;
        return v;
    }
    case ORR_SQL_FLOAT:
    case ORR_SQL_REAL: {
        float f = toSingle(ParseDecimal(text));
        void* v = newBytesValue(&f, sizeof f);
        if (v != nullptr)
            *length = 4;
        return v;
    }
    case ORR_SQL_DOUBLE: {
        double d = ParseDecimal(text);
        void* v = newBytesValue(&d, sizeof d);
        if (v != nullptr)
            *length = 8;
        return v;
    }
    case ORR_SQL_CHAR:
    case ORR_SQL_VARCHAR:
    case ORR_SQL_TEXT: {
        size_t n = strlen(text);
        void* v = newBytesValue(text, n);
        if (v != nullptr)
            *length = static_cast<int32_t>(n > INT32_MAX ? INT32_MAX : n);
        return v;
    }
    case ORR_SQL_DATE:
    case ORR_SQL_TIME:
    case ORR_SQL_DATETIME: {
        OrrDateTime* dt = ConvertStringToOrrDateTime(text);
        if (dt != nullptr)
            *length = ORR_DATETIME_LENGTH;
        return dt;
    }
    case ORR_SQL_BOOLEAN: {
        unsigned char b;
        if (CompareStringsNoCase(text, "TRUE") == 0)
            b = 1;
        else if (CompareStringsNoCase(text, "FALSE") == 0)
            b = 0;
        else
            return nullptr;
        void* v = newBytesValue(&b, 1);
        if (v != nullptr)
            *length = 1;
        return v;
    }
    default:
        return nullptr;
    }
}

int AllocateAndCopyColumnValue(void** value, int32_t* length, ColumnType type, const char* text) {
    if (text == nullptr) {
        LogTrace("value parameter in AllocateAndCopyColumnValue is NULL \n");
        return ORR_FAILURE;
    }
    void* v = nullptr;
    int32_t len = 0;
    switch (type) {
    case ORR_SQL_TINYINT:
    case ORR_SQL_UNSIGNED_TINYINT:
    case ORR_SQL_SMALLINT:
    case ORR_SQL_UNSIGNED_SMALLINT:
    case ORR_SQL_INT:
    case ORR_SQL_UNSIGNED_INT:
    case ORR_SQL_LONG_INT:
    case ORR_SQL_UNSIGNED_LONG_INT:
        v = newIntegerValue(static_cast<uint64_t>(ParseInteger64(text)), 8);
        len = 8;
        break;
    case ORR_SQL_FLOAT: {
        float f = toSingle(ParseDecimal(text));
        v = newBytesValue(&f, sizeof f);
        len = 4;
        break;
    }
    case ORR_SQL_DOUBLE: {
        double d = ParseDecimal(text);
        v = newBytesValue(&d, sizeof d);
        len = 8;
        break;
    }
    case ORR_SQL_CHAR:
    case ORR_SQL_VARCHAR:
    case ORR_SQL_TEXT: {
        size_t n = strlen(text);
        v = newBytesValue(text, n);
        len = static_cast<int32_t>(n > INT32_MAX ? INT32_MAX : n);
        break;
    }
    case ORR_SQL_DATE: {
        int n[3] = {0, 0, 0};
        scanNumbers(text, "d-d-d", n, 3);
        v = CreateOrrDate(n[0], n[1], n[2]);
        len = ORR_DATE_LENGTH;
        break;
    }
    case ORR_SQL_TIME: {
        int n[3] = {0, 0, 0};
        scanNumbers(text, "d:d:d", n, 3);
        v = CreateOrrTime(n[0], n[1], n[2]);
        len = ORR_TIME_LENGTH;
        break;
    }
    case ORR_SQL_DATETIME: {
        int n[6] = {0, 0, 0, 0, 0, 0};
        scanNumbers(text, "d-d-d d:d:d", n, 6);
        v = CreateOrrDateTime(n[0], n[1], n[2], n[3], n[4], n[5]);
        len = ORR_DATETIME_LENGTH;
        break;
    }
    case ORR_SQL_BOOLEAN: {
        unsigned char b = CompareStringsNoCase(text, "false") == 0 ? 0 : 1;
        v = newBytesValue(&b, 1);
        len = 1;
        break;
    }
    default:
        // Types without a stored form here: the value stays as it was.
        return ORR_SUCCESS;
    }
    if (v == nullptr)
        return ORR_FAILURE;
    *value = v;
    *length = len;
    return ORR_SUCCESS;
}

void FreeColumnValue(void* value, int32_t length, ColumnType type) {
    if (value == nullptr)
        return;
    if ((type == ORR_SQL_DATE || type == ORR_SQL_TIME || type == ORR_SQL_DATETIME) &&
        length == ORR_DATETIME_LENGTH) {
        FreeOrrDateTime(static_cast<OrrDateTime*>(value));
        return;
    }
    free(value);
}

int CopyColumnValue(void** out, const void* value, int32_t length, ColumnType type) {
    *out = nullptr;
    if (value == nullptr)
        return ORR_SUCCESS;
    bool dateType = type == ORR_SQL_DATE || type == ORR_SQL_TIME || type == ORR_SQL_DATETIME;
    if (dateType && length == ORR_DATETIME_LENGTH) {
        const auto* src = static_cast<const OrrDateTime*>(value);
        auto* dt = static_cast<OrrDateTime*>(calloc(1, sizeof(OrrDateTime)));
        if (dt == nullptr)
            return ORR_NO_MEMORY;
        if (src->date != nullptr) {
            dt->date = static_cast<OrrDate*>(malloc(sizeof(OrrDate)));
            if (dt->date != nullptr)
                *dt->date = *src->date;
        }
        if (src->time != nullptr) {
            dt->time = static_cast<OrrTime*>(malloc(sizeof(OrrTime)));
            if (dt->time != nullptr)
                *dt->time = *src->time;
        }
        if ((src->date != nullptr && dt->date == nullptr) ||
            (src->time != nullptr && dt->time == nullptr)) {
            FreeOrrDateTime(dt);
            return ORR_NO_MEMORY;
        }
        *out = dt;
        return ORR_SUCCESS;
    }
    if (dateType && (length == ORR_DATE_LENGTH || length == ORR_TIME_LENGTH)) {
        size_t size = length == ORR_DATE_LENGTH ? sizeof(OrrDate) : sizeof(OrrTime);
        void* p = malloc(size);
        if (p == nullptr)
            return ORR_NO_MEMORY;
        memcpy(p, value, size);
        *out = p;
        return ORR_SUCCESS;
    }
    size_t n = length > 0 ? static_cast<size_t>(length) : 0;
    // Integers keep their padded buffer so that later reads stay inside it.
    bool integer = type >= ORR_SQL_TINYINT && type <= ORR_SQL_UNSIGNED_LONG_INT;
    size_t size = integer && n < kIntegerBufferSize - 1 ? kIntegerBufferSize - 1 : n;
    auto* p = static_cast<char*>(calloc(1, size + 1));
    if (p == nullptr)
        return ORR_NO_MEMORY;
    memcpy(p, value, n);
    *out = p;
    return ORR_SUCCESS;
}

int CompareColumnValueWithLengths(const void* rowValue, int32_t rowLength, const void* literalValue,
                                  int32_t literalLength, BYTE op, ColumnType type) {
    if (op < ORR_OP_LESS || op > ORR_OP_NOT_EQUAL || literalValue == nullptr)
        return 0;
    switch (type) {
    case ORR_SQL_TINYINT:
    case ORR_SQL_SMALLINT:
    case ORR_SQL_INT:
    case ORR_SQL_UNSIGNED_TINYINT:
    case ORR_SQL_UNSIGNED_SMALLINT:
    case ORR_SQL_UNSIGNED_INT: {
        // An absent row value orders before every literal, as absent texts do.
        if (rowValue == nullptr)
            return applyOperator(-1, op);
        uint32_t r = loadLow32(rowValue, rowLength);
        uint32_t l = loadLow32(literalValue, literalLength);
        bool isSigned = type == ORR_SQL_TINYINT || type == ORR_SQL_SMALLINT || type == ORR_SQL_INT;
        int sign =
            isSigned ? threeWay(static_cast<int32_t>(r), static_cast<int32_t>(l)) : threeWay(r, l);
        return applyOperator(sign, op);
    }
    case ORR_SQL_FLOAT: {
        if (rowValue == nullptr)
            return applyOperator(-1, op);
        if ((rowLength >= 0 && rowLength < 4) || (literalLength >= 0 && literalLength < 4))
            return 0;
        float r;
        float l;
        memcpy(&r, rowValue, sizeof r);
        memcpy(&l, literalValue, sizeof l);
        if (r != r || l != l) // NaN orders with nothing
            return op == ORR_OP_NOT_EQUAL ? 1 : 0;
        return applyOperator(threeWay(r, l), op);
    }
    case ORR_SQL_CHAR:
    case ORR_SQL_VARCHAR:
    case ORR_SQL_TEXT: {
        int sign = compareWithQuotedLiteral(static_cast<const char*>(rowValue),
                                            static_cast<const char*>(literalValue), literalLength);
        return applyOperator(sign, op);
    }
    default:
        return 0;
    }
}

int CompareColumnValue(const void* rowValue, const void* literalValue, BYTE op, ColumnType type) {
    return CompareColumnValueWithLengths(rowValue, -1, literalValue, -1, op, type);
}
