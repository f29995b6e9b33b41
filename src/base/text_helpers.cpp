#include "base/text_helpers.h"
#include "base/error_texts.h"
#include "base/format.h"
#include "base/log.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Size first (terminator included), then a zero-filled buffer, then the
// conversion; returns null without logging when either step fails.
WCHAR* toWide(const char* s, bool* conversionFailed) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    if (n <= 0) {
        *conversionFailed = true;
        return nullptr;
    }
    auto* out = static_cast<WCHAR*>(calloc(static_cast<size_t>(n), sizeof(WCHAR)));
    if (out == nullptr)
        return nullptr;
    if (MultiByteToWideChar(CP_UTF8, 0, s, -1, out, n) == 0) {
        *conversionFailed = true;
        free(out);
        return nullptr;
    }
    return out;
}

// The converted text into *out (or dropped when out is null); a failed
// conversion logs the system's text of the error.
bool deliverWide(const char* text, WCHAR** out) {
    bool failed = false;
    WCHAR* w = toWide(text, &failed);
    if (w == nullptr) {
        if (failed)
            LogLastError();
        return false;
    }
    if (out != nullptr)
        *out = w;
    else
        free(w);
    return true;
}

} // namespace

bool ChangeUtf8ToWideStr(const char* utf8, WCHAR** out) {
    if (utf8 == nullptr) {
        LogError("ChangeUtf8ToWideStr: utf8 is empty! \n");
        return false;
    }
    LogDebug("UTF String Received:%s\n", utf8);
    return deliverWide(utf8, out);
}

int ChangeToWideStr(const char* text, WCHAR** out) {
    if (text == nullptr) {
        LogError("ChangeToWideStr: AnsiString is empty! \n");
        return 0;
    }
    return deliverWide(text, out) ? 1 : 0;
}

bool ChangeWideToUtf8Str(const WCHAR* wide, char** out) {
    if (wide == nullptr)
        return false;
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        LogLastError();
        return false;
    }
    auto* buf = static_cast<char*>(calloc(static_cast<size_t>(n) + 1, 1));
    if (buf == nullptr)
        return false;
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, buf, n, nullptr, nullptr) == 0) {
        LogLastError();
        free(buf);
        return false;
    }
    if (out != nullptr)
        *out = buf;
    else
        free(buf);
    return true;
}

int ChangeAnsiToUTF8Str(const char* text, char** out) {
    if (text == nullptr) {
        LogError("ChangeAnsiToUTF8Str: ansiString is empty! \n");
        return 0;
    }
    WCHAR* w = nullptr;
    if (!ChangeToWideStr(text, &w))
        return 0;
    bool ok = ChangeWideToUtf8Str(w, out);
    free(w);
    return ok ? 1 : 0;
}

char* ConcatStrings(const char* a, const char* b) {
    size_t la = a ? strlen(a) : 0;
    size_t lb = b ? strlen(b) : 0;
    auto* out = static_cast<char*>(calloc(la + lb + 1, 1));
    if (out == nullptr)
        return nullptr;
    if (la)
        memcpy(out, a, la);
    if (lb)
        memcpy(out + la, b, lb);
    return out;
}

static char* lastElement(const char* path, char sep) {
    size_t len = strlen(path);
    auto* out = static_cast<char*>(calloc(len * 4 + 8, 1));
    if (out == nullptr)
        return nullptr;
    const char* last = strrchr(path, sep);
    const char* from = last ? last + 1 : path;
    memcpy(out, from, strlen(from));
    return out;
}

char* GetLastFileName(const char* path) {
    if (path == nullptr)
        return nullptr;
    LogDebug("GetLastFileName Function Called with %s...!\n", path);
    return lastElement(path, '\\');
}

char* GetLastUrlFileName(const char* path) {
    if (path == nullptr)
        return nullptr;
    LogDebug("GetLastUrlFileName Function Called with %s...!\n", path);
    return lastElement(path, '/');
}

// ---- wide helpers ----

size_t TwWideLen(const WCHAR* s) {
    size_t n = 0;
    if (s != nullptr)
        while (s[n])
            ++n;
    return n;
}

int TwWideCmp(const WCHAR* a, const WCHAR* b) {
    if (a == b)
        return 0;
    if (a == nullptr)
        return -1;
    if (b == nullptr)
        return 1;
    for (;; ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
        if (*a == 0)
            return 0;
    }
}

static WCHAR foldAscii(WCHAR c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c + 32) : c;
}

int TwWideICmp(const WCHAR* a, const WCHAR* b) {
    if (a == b)
        return 0;
    if (a == nullptr)
        return -1;
    if (b == nullptr)
        return 1;
    for (;; ++a, ++b) {
        WCHAR ca = foldAscii(*a), cb = foldAscii(*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == 0)
            return 0;
    }
}

char* TwTextDup(const char* s) {
    if (s == nullptr)
        return nullptr;
    size_t n = strlen(s) + 1;
    auto* out = static_cast<char*>(malloc(n));
    if (out != nullptr)
        memcpy(out, s, n);
    return out;
}

WCHAR* TwWideDup(const WCHAR* s) {
    if (s == nullptr)
        return nullptr;
    size_t n = TwWideLen(s) + 1;
    auto* out = static_cast<WCHAR*>(malloc(n * sizeof(WCHAR)));
    if (out != nullptr)
        memcpy(out, s, n * sizeof(WCHAR));
    return out;
}

const WCHAR* TwWideStr(const WCHAR* text, const WCHAR* sub) {
    if (text == nullptr || sub == nullptr)
        return nullptr;
    if (*sub == 0)
        return text;
    for (const WCHAR* p = text; *p; ++p) {
        const WCHAR* a = p;
        const WCHAR* b = sub;
        while (*a && *b && *a == *b) {
            ++a;
            ++b;
        }
        if (*b == 0)
            return p;
    }
    return nullptr;
}

// Lower-case mapping of the Basic Multilingual Plane's cased letters that the
// agent meets in names and paths (Latin, Greek, Cyrillic and their supplements).
static WCHAR lowerChar(WCHAR c) {
    if (c < 0x80)
        return foldAscii(c);
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130)
            return 0x69;
        if (c == 0x138 || c == 0x149)
            return c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
            return (c & 1) ? static_cast<WCHAR>(c + 1) : c;
        if (c == 0x178)
            return 0xFF;
        return (c & 1) ? c : static_cast<WCHAR>(c + 1);
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
        return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x410 && c <= 0x42F)
        return static_cast<WCHAR>(c + 0x20);
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<WCHAR>(c + 0x50);
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x4FF))
        return (c & 1) ? c : static_cast<WCHAR>(c + 1);
    if (c >= 0x4C1 && c <= 0x4CE)
        return (c & 1) ? static_cast<WCHAR>(c + 1) : c;
    if (c >= 0xFF21 && c <= 0xFF3A)
        return static_cast<WCHAR>(c + 0x20);
    return c;
}

void TwWideLower(WCHAR* s) {
    if (s == nullptr)
        return;
    for (; *s; ++s)
        *s = lowerChar(*s);
}

int TwWideFormat(WCHAR* buffer, size_t chars, const char* format, ...) {
    if (buffer == nullptr || chars == 0)
        return -1;
    std::string narrow;
    va_list ap;
    va_start(ap, format);
    TwVFormat(narrow, format, ap);
    va_end(ap);
    WCHAR* w = TwUtf8ToWide(narrow.c_str());
    buffer[0] = 0;
    if (w == nullptr)
        return -1;
    size_t n = TwWideLen(w);
    bool fits = n < chars;
    size_t copy = fits ? n : chars - 1;
    memcpy(buffer, w, copy * sizeof(WCHAR));
    buffer[copy] = 0;
    free(w);
    return fits ? static_cast<int>(n) : -1;
}

char* TwWideToUtf8(const WCHAR* s) {
    if (s == nullptr)
        return nullptr;
    int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return nullptr;
    auto* out = static_cast<char*>(calloc(static_cast<size_t>(n) + 1, 1));
    if (out != nullptr && WideCharToMultiByte(CP_UTF8, 0, s, -1, out, n, nullptr, nullptr) == 0) {
        free(out);
        return nullptr;
    }
    return out;
}

WCHAR* TwUtf8ToWide(const char* s) {
    if (s == nullptr)
        return nullptr;
    bool failed = false;
    return toWide(s, &failed);
}
