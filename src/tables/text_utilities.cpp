// The text utilities of column_value.h: number parsing, comparisons, searches
// and cuts of texts, and copies.
#include "tables/column_value.h"
#include "tables/column_value_parts.h"
#include "base/log.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

using tabrix::isDigit;
using tabrix::newBytesValue;

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

// ---------------------------------------------------------------------------
// Number parsing

int32_t ParseInteger(const char* text) {
    return static_cast<int32_t>(ParseInteger64(text));
}

int64_t ParseInteger64(const char* text) {
    if (text == nullptr)
        return 0;
    const char* s = text;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    uint64_t v = 0; // wraps instead of overflowing
    for (; *s != '\0'; ++s) {
        if (!isDigit(*s))
            return 0;
        v = v * 10u + static_cast<uint64_t>(*s - '0');
    }
    return static_cast<int64_t>(negative ? 0u - v : v);
}

double ParseDecimal(const char* text) {
    if (text == nullptr)
        return 0.0;
    const char* s = text;
    double sign = 1.0;
    if (*s == '+' || *s == '-') {
        sign = *s == '-' ? -1.0 : 1.0;
        ++s;
    }
    double value = 0.0;
    while (isDigit(*s))
        value = value * 10.0 + (*s++ - '0');
    if (*s == '.') {
        ++s;
        double scale = 1.0;
        while (isDigit(*s)) {
            scale *= 10.0;
            value += (*s++ - '0') / scale;
        }
    }
    if (*s != '\0')
        return 0.0;
    return sign * value;
}

int IsNumeric(const char* text, int32_t length) {
    if (length <= 0)
        return 1;
    if (text == nullptr)
        return 0;
    int32_t i = 0;
    if (text[0] == '+' || text[0] == '-')
        i = 1;
    for (; i < length; ++i) {
        if (!isDigit(text[i]))
            return 0;
    }
    return 1;
}

int32_t StringToInteger(const char* text) {
    int32_t len = StringLength(text);
    if (!IsNumeric(text, len))
        return -1;
    uint32_t total = 0; // wraps, as the digits of an over-long text would
    uint32_t scale = 1;
    for (int32_t i = len - 1; i >= 0; --i) {
        char c = text[i];
        if (c == '-') {
            total = 0u - total;
        } else if (c != '+') {
            total += static_cast<uint32_t>(c - '0') * scale;
            scale *= 10u;
        }
    }
    return static_cast<int32_t>(total);
}

// ---------------------------------------------------------------------------
// Text utilities

int32_t StringLength(const char* text) {
    if (text == nullptr)
        return 0;
    size_t n = strlen(text);
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

int CompareStrings(const char* a, const char* b) {
    if (a == nullptr || b == nullptr)
        return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != 0 && *x == *y) {
        ++x;
        ++y;
    }
    return static_cast<int>(*x) - static_cast<int>(*y);
}

int CompareStringsNoCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr)
        return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
    for (;; ++a, ++b) {
        auto x = static_cast<unsigned char>(lowerAscii(*a));
        auto y = static_cast<unsigned char>(lowerAscii(*b));
        if (x != y || x == 0)
            return static_cast<int>(x) - static_cast<int>(y);
    }
}

int FindSubString(const char* text, const char* sub) {
    LogTrace("\n\t@@@@@ Inside FindSubString() @@@@@ \n");
    if (text == nullptr || sub == nullptr || *sub == '\0')
        return 0;
    if (strlen(sub) > strlen(text))
        return 0;
    return strstr(text, sub) != nullptr ? 1 : 0;
}

int32_t CountOccurrences(const char* text, const char* sep) {
    if (text == nullptr || sep == nullptr)
        return -1;
    size_t sepLen = strlen(sep);
    if (sepLen == 0)
        return 0;
    // Occurrences that do not overlap, found as SubStringBefore finds them, so
    // that SplitString cuts exactly as many pieces as counted ("ab" in "aab" is 1).
    int32_t count = 0;
    for (const char* at = strstr(text, sep); at != nullptr; at = strstr(at + sepLen, sep)) {
        if (count == INT32_MAX)
            break;
        ++count;
    }
    return count;
}

int32_t IndexOfSubString(const char* text, const char* sep) {
    if (text == nullptr || sep == nullptr)
        return -1;
    const char* at = strstr(text, sep);
    return at == nullptr ? 0 : static_cast<int32_t>(at - text);
}

char* SubStringBefore(const char* text, const char* sep) {
    if (text == nullptr || sep == nullptr)
        return nullptr;
    const char* at = strstr(text, sep);
    return static_cast<char*>(
        newBytesValue(text, at == nullptr ? 0 : static_cast<size_t>(at - text)));
}

char* SubStringAfter(const char* text, const char* sep) {
    if (text == nullptr || sep == nullptr)
        return nullptr;
    size_t sepLen = strlen(sep);
    const char* at = strstr(text, sep);
    const char* from;
    if (at != nullptr) {
        from = at + sepLen;
    } else {
        // Without the separator: the text less as many leading bytes as the
        // separator has, never reaching past its end.
        size_t textLen = strlen(text);
        from = text + (sepLen < textLen ? sepLen : textLen);
    }
    return static_cast<char*>(newBytesValue(from, strlen(from)));
}

char** SplitString(const char* text, const char* sep) {
    int32_t n = CountOccurrences(text, sep);
    if (n < 0)
        return nullptr;
    auto** parts = static_cast<char**>(calloc(static_cast<size_t>(n) + 2, sizeof(char*)));
    if (parts == nullptr)
        return nullptr;
    if (n == 0) {
        parts[0] = const_cast<char*>(text);
        return parts;
    }
    size_t sepLen = strlen(sep);
    const char* rest = text;
    for (int32_t i = 0; i < n; ++i) {
        const char* at = strstr(rest, sep);
        // CountOccurrences counts what strstr finds; stay safe anyway.
        size_t len = at != nullptr ? static_cast<size_t>(at - rest) : 0;
        parts[i] = static_cast<char*>(newBytesValue(rest, len));
        if (parts[i] == nullptr) {
            FreeSplitString(parts, text);
            return nullptr;
        }
        if (at != nullptr)
            rest = at + sepLen;
    }
    parts[n] = static_cast<char*>(newBytesValue(rest, strlen(rest)));
    if (parts[n] == nullptr) {
        FreeSplitString(parts, text);
        return nullptr;
    }
    return parts;
}

void FreeSplitString(char** parts, const char* text) {
    if (parts == nullptr)
        return;
    for (char** p = parts; *p != nullptr; ++p) {
        if (*p != text)
            free(*p);
    }
    free(parts);
}

int AllocateAndCopyBytes(void** out, const void* source, size_t n) {
    void* p = (source != nullptr || n == 0) ? newBytesValue(source, n) : nullptr;
    if (p == nullptr) {
        LogError("Unable to allocate memory\n");
        return ORR_NO_MEMORY;
    }
    *out = p;
    return ORR_SUCCESS;
}

int AllocateAndCopyString(char** out, const char* text) {
    if (text == nullptr) {
        *out = nullptr;
        return ORR_SUCCESS;
    }
    char* p = static_cast<char*>(newBytesValue(text, strlen(text)));
    if (p == nullptr)
        return ORR_NO_MEMORY;
    *out = p;
    return ORR_SUCCESS;
}
