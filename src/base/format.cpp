#include "base/format.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

// UTF-16 text to UTF-8 through the Win32 conversion, so both platforms agree.
std::string wideToUtf8(const WCHAR* w) {
    if (w == nullptr)
        return "(null)";
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

template <class T> void appendOne(std::string& out, const std::string& piece, T value) {
    char small[128];
    int n = snprintf(small, sizeof small, piece.c_str(), value);
    if (n < 0)
        return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    snprintf(&big[0], big.size(), piece.c_str(), value);
    big.resize(static_cast<size_t>(n));
    out += big;
}

// Flags, widths and precisions; and the conversions that mean the same to
// the C library as to us.
bool isSpecPart(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == ' ' || c == '#' || c == '\'' ||
           c == '.' || c == '*';
}
bool isPlainConversion(char c) {
    switch (c) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
    case 'c':
    case 's':
    case 'p':
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        return true;
    default:
        return false;
    }
}

// Formats whose conversions are all bare ("%d", "%s", ... without flags,
// width, precision or length), which is most log messages: written here
// directly, as the C library would write them, without its stream set-up
// for every message.
bool isBareConversion(char c) {
    return c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X' || c == 's' || c == 'c';
}

bool bareFormat(const char* f) {
    for (const char* p = strchr(f, '%'); p != nullptr; p = strchr(p + 1, '%')) {
        if (p[1] == '%') {
            ++p;
            continue;
        }
        if (!isBareConversion(p[1]))
            return false;
    }
    return true;
}

void appendUnsigned(std::string& out, unsigned v, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[16];
    size_t n = 0;
    do {
        tmp[n++] = digits[v % base];
        v /= base;
    } while (v != 0);
    while (n > 0)
        out += tmp[--n];
}

void formatBare(std::string& out, const char* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    const char* p = format;
    for (;;) {
        const char* pct = strchr(p, '%');
        if (pct == nullptr) {
            out.append(p);
            break;
        }
        out.append(p, static_cast<size_t>(pct - p));
        const char conv = pct[1];
        p = pct + 2;
        switch (conv) {
        case '%':
            out += '%';
            break;
        case 'd':
        case 'i': {
            int v = va_arg(ap, int);
            if (v < 0)
                out += '-';
            appendUnsigned(out, v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v),
                           10, false);
            break;
        }
        case 'u':
            appendUnsigned(out, va_arg(ap, unsigned), 10, false);
            break;
        case 'x':
        case 'X':
            appendUnsigned(out, va_arg(ap, unsigned), 16, conv == 'X');
            break;
        case 'c':
            out += static_cast<char>(static_cast<unsigned char>(va_arg(ap, int)));
            break;
        case 's': {
            const char* text = va_arg(ap, const char*);
            out.append(text != nullptr ? text : "(null)");
            break;
        }
        }
    }
    va_end(ap);
}

// True when every conversion of the format means the same to the C library
// as to us, so one vsnprintf can do the whole message (the common case).
bool plainFormat(const char* f) {
    for (const char* p = strchr(f, '%'); p != nullptr; p = strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        while (isSpecPart(*p))
            ++p;
        while (*p == 'h')
            ++p;
        if (!isPlainConversion(*p))
            return false;
        ++p;
    }
    return true;
}

} // namespace

void TwVFormat(std::string& out, const char* format, va_list args) {
    if (format == nullptr)
        return;
    if (bareFormat(format)) {
        formatBare(out, format, args);
        return;
    }
    if (plainFormat(format)) {
        // Straight into the text's spare room; a second pass only when the
        // message is longer than that room.
        const size_t at = out.size();
        const size_t room = std::max<size_t>(out.capacity() - at, 256);
        out.resize(at + room);
        va_list ap;
        va_copy(ap, args);
        int n = vsnprintf(&out[at], room, format, ap);
        va_end(ap);
        if (n < 0) {
            out.resize(at);
            return;
        }
        if (static_cast<size_t>(n) >= room) {
            out.resize(at + static_cast<size_t>(n) + 1);
            va_copy(ap, args);
            vsnprintf(&out[at], static_cast<size_t>(n) + 1, format, ap);
            va_end(ap);
        }
        out.resize(at + static_cast<size_t>(n));
        return;
    }
    va_list ap;
    va_copy(ap, args);
    const char* p = format;
    while (*p) {
        const char* pct = strchr(p, '%');
        if (pct == nullptr) {
            out.append(p);
            break;
        }
        out.append(p, static_cast<size_t>(pct - p));
        p = pct + 1;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        // Conversion: flags, width, precision, length, type.
        std::string piece = "%";
        while (*p && strchr("-+ #0'", *p))
            piece += *p++;
        if (*p == '*') {
            piece += std::to_string(va_arg(ap, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                piece += *p++;
        }
        if (*p == '.') {
            piece += *p++;
            if (*p == '*') {
                piece += std::to_string(va_arg(ap, int));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    piece += *p++;
            }
        }
        // Length: "l" is 32 bits as on Windows; "ll", "I64" are 64; "w" marks wide text.
        enum { kDefault, kChar, kShort, kLong, kLongLong, kSize, kWide } len = kDefault;
        if (p[0] == 'h' && p[1] == 'h') {
            len = kChar;
            p += 2;
        } else if (p[0] == 'h') {
            len = kShort;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            len = kLongLong;
            p += 2;
        } else if (p[0] == 'l') {
            len = kLong;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            len = kLongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            len = kLong;
            p += 3;
        } else if (p[0] == 'z' || p[0] == 'j' || p[0] == 't') {
            len = kSize;
            ++p;
        } else if (p[0] == 'w') {
            len = kWide;
            ++p;
        }
        char conv = *p;
        if (conv == '\0') {
            out += piece; // a lone '%' at the end is written as it stands
            break;
        }
        ++p;
        switch (conv) {
        case 'd':
        case 'i':
            if (len == kLongLong)
                appendOne(out, piece + "lld", va_arg(ap, long long));
            else if (len == kSize)
                appendOne(out, piece + "zd", va_arg(ap, ptrdiff_t));
            else {
                int v = va_arg(ap, int);
                if (len == kChar)
                    v = static_cast<signed char>(v);
                else if (len == kShort)
                    v = static_cast<short>(v);
                appendOne(out, piece + "d", v);
            }
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            std::string c(1, conv);
            if (len == kLongLong)
                appendOne(out, piece + "ll" + c, va_arg(ap, unsigned long long));
            else if (len == kSize)
                appendOne(out, piece + "z" + c, va_arg(ap, size_t));
            else {
                unsigned v = va_arg(ap, unsigned);
                if (len == kChar)
                    v = static_cast<unsigned char>(v);
                else if (len == kShort)
                    v = static_cast<unsigned short>(v);
                appendOne(out, piece + c, v);
            }
            break;
        }
        case 'c':
            appendOne(out, piece + "c", va_arg(ap, int));
            break;
        case 'C':
            if (true) {
                WCHAR w[2] = {static_cast<WCHAR>(va_arg(ap, int)), 0};
                appendOne(out, piece + "s", wideToUtf8(w).c_str());
            }
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            appendOne(out, piece + conv, va_arg(ap, double));
            break;
        case 'p':
            appendOne(out, piece + "p", va_arg(ap, void*));
            break;
        case 's':
            if (len == kWide || len == kLong) {
                appendOne(out, piece + "s", wideToUtf8(va_arg(ap, const WCHAR*)).c_str());
            } else {
                const char* s = va_arg(ap, const char*);
                appendOne(out, piece + "s", s ? s : "(null)");
            }
            break;
        case 'S':
            appendOne(out, piece + "s", wideToUtf8(va_arg(ap, const WCHAR*)).c_str());
            break;
        default:
            // Unknown conversion: keep the text, consume nothing.
            out += piece;
            out += conv;
            break;
        }
    }
    va_end(ap);
}

std::string TwFormat(const char* format, ...) {
    std::string out;
    va_list ap;
    va_start(ap, format);
    TwVFormat(out, format, ap);
    va_end(ap);
    return out;
}

void TwPrintf(const char* format, ...) {
    std::string out;
    va_list ap;
    va_start(ap, format);
    TwVFormat(out, format, ap);
    va_end(ap);
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
}
