#include "tables/xml_guard.h"

#include <string.h>

namespace twxml {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

char upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool startsWith(const char* p, const char* end, const char* prefix) {
    size_t n = strlen(prefix);
    return static_cast<size_t>(end - p) >= n && memcmp(p, prefix, n) == 0;
}

// Position of `needle` in [p, end), or end.
const char* find(const char* p, const char* end, const char* needle) {
    size_t n = strlen(needle);
    while (p < end) {
        const auto* hit =
            static_cast<const char*>(memchr(p, needle[0], static_cast<size_t>(end - p)));
        if (hit == nullptr || static_cast<size_t>(end - hit) < n)
            return end;
        if (memcmp(hit, needle, n) == 0)
            return hit;
        p = hit + 1;
    }
    return end;
}

bool equalsNoCase(const char* p, size_t n, const char* word) {
    if (strlen(word) != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (upper(p[i]) != word[i])
            return false;
    }
    return true;
}

bool prefixNoCase(const char* p, size_t n, const char* prefix, size_t* rest) {
    size_t k = strlen(prefix);
    if (n < k)
        return false;
    for (size_t i = 0; i < k; ++i) {
        if (upper(p[i]) != prefix[i])
            return false;
    }
    *rest = n - k;
    return true;
}

bool allDigits(const char* p, size_t n) {
    if (n == 0)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9')
            return false;
    }
    return true;
}

// Encodings in which markup keeps its ASCII bytes, so that what is checked
// here is what libxml2 reads.
bool asciiCompatible(const char* p, size_t n) {
    size_t rest = 0;
    if (equalsNoCase(p, n, "UTF-8") || equalsNoCase(p, n, "UTF8") ||
        equalsNoCase(p, n, "US-ASCII") || equalsNoCase(p, n, "ASCII") ||
        equalsNoCase(p, n, "LATIN1") || equalsNoCase(p, n, "ISO-LATIN-1"))
        return true;
    if (prefixNoCase(p, n, "ISO-8859-", &rest) || prefixNoCase(p, n, "ISO_8859-", &rest))
        return allDigits(p + n - rest, rest);
    if (prefixNoCase(p, n, "WINDOWS-125", &rest) || prefixNoCase(p, n, "CP125", &rest))
        return rest == 1 && allDigits(p + n - 1, 1);
    return false;
}

// The encoding named by an XML declaration at [p, end), when there is one.
const char* checkDeclaration(const char* p, const char* end) {
    if (!startsWith(p, end, "<?xml") || end - p < 6 || !isBlank(p[5]))
        return nullptr;
    const char* close = find(p, end, "?>");
    const char* at = find(p, close, "encoding");
    if (at == close)
        return nullptr;
    const char* q = at + 8;
    while (q < close && isBlank(*q))
        ++q;
    if (q >= close || *q != '=')
        return nullptr; // malformed: libxml2 refuses it
    ++q;
    while (q < close && isBlank(*q))
        ++q;
    if (q >= close || (*q != '"' && *q != '\''))
        return nullptr;
    char quote = *q++;
    const char* v = q;
    while (q < close && *q != quote)
        ++q;
    if (!asciiCompatible(v, static_cast<size_t>(q - v)))
        return "XML document refused: its declared encoding is not read by the table loader\n";
    return nullptr;
}

} // namespace

const char* CheckDocument(const char* text, size_t length, size_t* usable) {
    while (length > 0 && text[length - 1] == '\0')
        --length;
    *usable = length;
    if (length > kMaxDocumentBytes)
        return "XML document refused: it is larger than 64 MB\n";
    if (memchr(text, '\0', length) != nullptr)
        return "XML document refused: it holds a zero byte (not UTF-8 text)\n";
    const char* p = text;
    const char* end = text + length;
    if (startsWith(p, end, "\xEF\xBB\xBF"))
        p += 3;
    while (p < end && isBlank(*p))
        ++p;
    if (p >= end || *p != '<')
        return "XML document refused: it does not begin with markup\n";
    if (const char* why = checkDeclaration(p, end))
        return why;

    while (p < end) {
        p = static_cast<const char*>(memchr(p, '<', static_cast<size_t>(end - p)));
        if (p == nullptr)
            break;
        if (startsWith(p, end, "<!--")) {
            const char* close = find(p + 4, end, "-->");
            p = close == end ? end : close + 3;
        } else if (startsWith(p, end, "<![CDATA[")) {
            const char* close = find(p + 9, end, "]]>");
            p = close == end ? end : close + 3;
        } else if (startsWith(p, end, "<?")) {
            const char* close = find(p + 2, end, "?>");
            p = close == end ? end : close + 2;
        } else if (startsWith(p, end, "<!DOCTYPE")) {
            // An external identifier is harmless (it is not loaded); an internal
            // subset can declare entities and attribute defaults that multiply
            // the document, so it is refused.
            const char* q = p + 9;
            while (q < end && *q != '>') {
                if (*q == '[')
                    return "XML document refused: it declares an internal DTD subset\n";
                if (*q == '"' || *q == '\'') {
                    const auto* close = static_cast<const char*>(
                        memchr(q + 1, *q, static_cast<size_t>(end - q - 1)));
                    q = close == nullptr ? end : close;
                }
                ++q;
            }
            p = q;
        } else if (startsWith(p, end, "<!")) {
            return "XML document refused: it holds a markup declaration\n";
        } else {
            // A tag. Attributes never run past a '<' (libxml2 ends the tag
            // there), so counting '=' outside quotes up to the tag's '>' or the
            // next '<' bounds the attributes libxml2 will compare.
            int attributes = 0;
            char quote = 0;
            const char* q = p + 1;
            for (; q < end && *q != '<'; ++q) {
                char c = *q;
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++attributes > kMaxAttributesPerElement)
                        return "XML document refused: an element has more than 1024 attributes\n";
                } else if (c == '>') {
                    ++q;
                    break;
                }
            }
            p = q;
        }
    }
    return nullptr;
}

} // namespace twxml
