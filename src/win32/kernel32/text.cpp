// UTF-8 (and the narrow code pages, which the Linux build treats as UTF-8)
// to and from UTF-16, with Windows' sizing and error rules.
#include "kernel32/text.h"

#include <ctype.h>
#include <string.h>

namespace {

const char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence; returns false for an invalid one (then `used`
// is the number of bytes to skip).
bool decodeUtf8(const unsigned char* s, size_t n, char32_t& cp, size_t& used) {
    unsigned char c = s[0];
    if (c < 0x80) {
        cp = c;
        used = 1;
        return true;
    }
    size_t len;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        cp = c & 0x1F;
        min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        cp = c & 0x0F;
        min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        cp = c & 0x07;
        min = 0x10000;
    } else {
        used = 1;
        return false;
    }
    size_t i = 1;
    for (; i < len; ++i) {
        if (i >= n || (s[i] & 0xC0) != 0x80) {
            used = i;
            return false;
        }
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    used = len;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    return true;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Converts; returns false when an invalid sequence was met and `strict` is set.
bool toUtf16(const unsigned char* s, size_t n, std::u16string& out, bool strict) {
    size_t i = 0;
    while (i < n) {
        char32_t cp;
        size_t used;
        if (!decodeUtf8(s + i, n - i, cp, used)) {
            if (strict)
                return false;
            cp = kReplacement;
        }
        i += used;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return true;
}

bool toUtf8(const char16_t* s, size_t n, std::string& out, bool strict) {
    for (size_t i = 0; i < n; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (strict)
                return false;
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return true;
}

bool knownCodePage(UINT cp) {
    return cp == CP_UTF8 || cp == CP_ACP || cp == CP_OEMCP;
}

} // namespace

namespace tw {

std::u16string Utf8ToUtf16(const std::string& s) {
    std::u16string out;
    toUtf16(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out, false);
    return out;
}

std::string Utf16ToUtf8(const std::u16string& s) {
    std::string out;
    toUtf8(s.data(), s.size(), out, false);
    return out;
}

std::string Utf16ToUtf8(const WCHAR* s) {
    if (s == nullptr)
        return std::string();
    size_t n = 0;
    while (s[n])
        ++n;
    std::string out;
    toUtf8(s, n, out, false);
    return out;
}

} // namespace tw

extern "C" {

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLen, LPWSTR dst,
                        int dstLen) {
    if (!knownCodePage(codePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (src == nullptr || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dst == nullptr && dstLen)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = srcLen == -1 ? strlen(src) + 1 : static_cast<size_t>(srcLen);
    std::u16string out;
    if (!toUtf16(reinterpret_cast<const unsigned char*>(src), n, out,
                 (flags & MB_ERR_INVALID_CHARS) != 0)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (dstLen == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(dstLen)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(dst, out.data(), out.size() * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLen, LPSTR dst, int dstLen,
                        LPCSTR defaultChar, LPBOOL usedDefault) {
    if (!knownCodePage(codePage)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // UTF-8 has no default character.
    if (src == nullptr || srcLen == 0 || srcLen < -1 || dstLen < 0 || (dst == nullptr && dstLen) ||
        defaultChar != nullptr || usedDefault != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = 0;
    if (srcLen == -1) {
        while (src[n])
            ++n;
        ++n;
    } else {
        n = static_cast<size_t>(srcLen);
    }
    std::string out;
    if (!toUtf8(src, n, out, (flags & WC_ERR_INVALID_CHARS) != 0)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (dstLen == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(dstLen)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(dst, out.data(), out.size());
    return static_cast<int>(out.size());
}

// ---- Microsoft runtime and shell text helpers ----

int _stricmp(const char* a, const char* b) {
    for (;; ++a, ++b) {
        int ca = tolower(static_cast<unsigned char>(*a));
        int cb = tolower(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

int _strnicmp(const char* a, const char* b, unsigned long n) {
    for (; n > 0; --n, ++a, ++b) {
        int ca = tolower(static_cast<unsigned char>(*a));
        int cb = tolower(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0)
            return ca - cb;
    }
    return 0;
}

BOOL StrTrimA(LPSTR text, LPCSTR trimChars) {
    if (text == nullptr || trimChars == nullptr)
        return FALSE;
    size_t len = strlen(text);
    size_t start = 0;
    while (start < len && strchr(trimChars, text[start]) != nullptr)
        ++start;
    size_t end = len;
    while (end > start && strchr(trimChars, text[end - 1]) != nullptr)
        --end;
    if (start == 0 && end == len)
        return FALSE;
    memmove(text, text + start, end - start);
    text[end - start] = '\0';
    return TRUE;
}

LPSTR StrStrIA(LPCSTR text, LPCSTR search) {
    if (text == nullptr || search == nullptr)
        return nullptr;
    size_t n = strlen(search);
    for (const char* p = text; *p; ++p) {
        if (_strnicmp(p, search, n) == 0)
            return const_cast<LPSTR>(p);
    }
    return nullptr;
}

} // extern "C"
