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

// The name in capitals without '-', '_' and blanks ("iso_8859-5" and
// "ISO-8859-5" both read ISO88595); false when it is too long to be one.
bool normalName(const char* p, size_t n, char* out, size_t size) {
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '-' || p[i] == '_' || p[i] == ' ')
            continue;
        if (k + 1 >= size)
            return false;
        out[k++] = upper(p[i]);
    }
    out[k] = '\0';
    return true;
}

bool digitsAfter(const char* name, const char* prefix, size_t maxDigits) {
    size_t k = strlen(prefix);
    if (strncmp(name, prefix, k) != 0)
        return false;
    size_t n = strlen(name + k);
    if (n == 0 || n > maxDigits)
        return false;
    for (const char* d = name + k; *d != '\0'; ++d) {
        if (*d < '0' || *d > '9')
            return false;
    }
    return true;
}

// Encodings in which every byte below 0x80 is that ASCII character wherever it
// stands (no shift states, no ASCII bytes inside multi-byte characters), so
// that the markup checked here is the markup libxml2 reads.
bool asciiCompatible(const char* p, size_t n) {
    static const char* const kNames[] = {
        "UTF8",   "USASCII", "ASCII",  "ISOLATIN1", "KOI8R", "KOI8U", "KOI8RU", "KOI8T",
        "EUCJP",  "EUCKR",   "EUCCN",  "EUCTW",     "GB2312", "TIS620", "CP437", "CP850",
        "CP852",  "CP855",   "CP857",  "CP858",     "CP860",  "CP861",  "CP862", "CP863",
        "CP865",  "CP866",   "CP869",  "CP874",
    };
    char name[32];
    if (!normalName(p, n, name, sizeof name))
        return false;
    for (const char* known : kNames) {
        if (strcmp(name, known) == 0)
            return true;
    }
    return digitsAfter(name, "ISO8859", 2) || digitsAfter(name, "LATIN", 2) ||
           digitsAfter(name, "WINDOWS125", 1) || digitsAfter(name, "CP125", 1);
}

// What the XML declaration at [p, end) says about the encoding: none when it
// names none or one the loader reads.
const char* checkDeclaration(const char* p, const char* end, const char** name, size_t* length) {
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
    if (asciiCompatible(v, static_cast<size_t>(q - v)))
        return nullptr;
    *name = v;
    *length = static_cast<size_t>(q - v);
    return kUnreadEncoding;
}

// The byte patterns by which libxml2 recognises UTF-16, UCS-4 and EBCDIC.
bool wideOrEbcdic(const char* p, size_t n) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    if (n >= 2 && ((b[0] == 0xFE && b[1] == 0xFF) || (b[0] == 0xFF && b[1] == 0xFE)))
        return true;
    if (n >= 4 && b[0] == 0x4C && b[1] == 0x6F && b[2] == 0xA7 && b[3] == 0x94)
        return true;
    // UTF-16 and UCS-4 markup without a byte-order mark: "<" with zero bytes.
    return (n >= 1 && b[0] == 0) || (n >= 2 && b[1] == 0);
}

} // namespace

const char kUnparsable[] = "";
const char kUnreadEncoding[] =
    "XML document refused: its declared encoding is not read by the table loader\n";

const char* CheckDocument(const char* text, size_t length, size_t* usable,
                          const char** encoding, size_t* encodingLength) {
    *encoding = nullptr;
    *encodingLength = 0;
    while (length > 0 && text[length - 1] == '\0')
        --length;
    *usable = length;
    if (length > kMaxDocumentBytes)
        return "XML document refused: it is larger than 64 MB\n";
    if (wideOrEbcdic(text, length))
        return "XML document refused: its encoding is not read by the table loader\n";
    // Whatever else is not markup in one of the encodings allowed here,
    // libxml2 cannot parse either.
    if (memchr(text, '\0', length) != nullptr)
        return kUnparsable;
    const char* p = text;
    const char* end = text + length;
    if (startsWith(p, end, "\xEF\xBB\xBF"))
        p += 3;
    while (p < end && isBlank(*p))
        ++p;
    if (p >= end || *p != '<')
        return kUnparsable;
    if (const char* why = checkDeclaration(p, end, encoding, encodingLength))
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
            return kUnparsable; // a markup declaration outside a DTD

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
