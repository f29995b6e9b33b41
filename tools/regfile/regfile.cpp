// The .reg file format as regedit reads and writes it (version 5.00).
#include "regfile.h"

#include <stdio.h>

namespace twreg {

namespace {

const char16_t kHeader[] = u"Windows Registry Editor Version 5.00";
// Regedit breaks a hex line once it reaches this many characters.
const size_t kHexWrapColumn = 77;

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

std::u16string trimLeft(const std::u16string& s) {
    size_t i = 0;
    while (i < s.size() && isBlank(s[i]))
        ++i;
    return s.substr(i);
}

std::u16string trimRight(const std::u16string& s) {
    size_t n = s.size();
    while (n > 0 && isBlank(s[n - 1]))
        --n;
    return s.substr(0, n);
}

bool startsWithNoCase(const std::u16string& s, size_t pos, const char* word) {
    for (size_t i = 0; word[i] != 0; ++i) {
        if (pos + i >= s.size())
            return false;
        char16_t c = s[pos + i];
        if (c >= u'A' && c <= u'Z')
            c += 0x20;
        if (c != static_cast<char16_t>(word[i]))
            return false;
    }
    return true;
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Strict UTF-8: a file that is not valid UTF-8 is refused, not guessed at.
// Returns the byte offset of the first bad sequence, or npos.
size_t decodeUtf8(const std::string& in, size_t start, std::u16string& out) {
    size_t i = start;
    while (i < in.size()) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        char32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            len = 4;
        } else {
            return i;
        }
        if (i + len > in.size())
            return i;
        for (size_t k = 1; k < len; ++k) {
            unsigned char d = static_cast<unsigned char>(in[i + k]);
            if ((d & 0xC0) != 0x80)
                return i;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return i;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return std::string::npos;
}

size_t lineOfOffset(const std::string& bytes, size_t offset, size_t unit) {
    size_t line = 1;
    for (size_t i = 0; i + unit <= offset && i + unit <= bytes.size(); i += unit) {
        if (bytes[i] == '\n' && (unit == 1 || bytes[i + 1] == 0))
            ++line;
    }
    return line;
}

bool decodeFile(const std::string& bytes, std::u16string& text, ParseError& err) {
    auto at = [&](const std::string& b, size_t i) { return static_cast<unsigned char>(b[i]); };
    if (bytes.size() >= 2 && at(bytes, 0) == 0xFF && at(bytes, 1) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            err = {lineOfOffset(bytes, bytes.size(), 2), "truncated UTF-16 text"};
            return false;
        }
        text = FromLe(bytes.substr(2));
        return true;
    }
    if (bytes.size() >= 2 && at(bytes, 0) == 0xFE && at(bytes, 1) == 0xFF) {
        err = {1, "big-endian UTF-16 is not supported"};
        return false;
    }
    size_t start = 0;
    if (bytes.size() >= 3 && at(bytes, 0) == 0xEF && at(bytes, 1) == 0xBB && at(bytes, 2) == 0xBF)
        start = 3;
    size_t bad = decodeUtf8(bytes, start, text);
    if (bad != std::string::npos) {
        err = {lineOfOffset(bytes, bad, 1), "invalid UTF-8 text"};
        return false;
    }
    return true;
}

// Reads a quoted text starting at s[pos] == '"'; the only escapes are \\ and \".
// On success `pos` is just past the closing quote.
bool readQuoted(const std::u16string& s, size_t& pos, std::u16string& out, std::string& what) {
    ++pos;
    while (pos < s.size()) {
        char16_t c = s[pos++];
        if (c == u'"')
            return true;
        if (c == u'\\') {
            if (pos >= s.size()) {
                break;
            }
            char16_t e = s[pos++];
            if (e != u'\\' && e != u'"') {
                what = "unknown escape in quoted text";
                return false;
            }
            out += e;
            continue;
        }
        out += c;
    }
    what = "missing closing quote";
    return false;
}

bool onlyBlanksFrom(const std::u16string& s, size_t pos) {
    for (; pos < s.size(); ++pos) {
        if (!isBlank(s[pos]))
            return false;
    }
    return true;
}

// "xx,xx,..." (blanks allowed around bytes, one trailing comma tolerated).
bool parseHexBytes(const std::u16string& s, std::string& out, std::string& what) {
    size_t pos = 0;
    while (true) {
        while (pos < s.size() && isBlank(s[pos]))
            ++pos;
        if (pos >= s.size())
            return true; // empty list, or a trailing comma
        int hi = hexDigit(s[pos]);
        if (hi < 0) {
            what = "bad hex byte";
            return false;
        }
        ++pos;
        int value = hi;
        if (pos < s.size() && hexDigit(s[pos]) >= 0)
            value = value * 16 + hexDigit(s[pos++]);
        out += static_cast<char>(value);
        while (pos < s.size() && isBlank(s[pos]))
            ++pos;
        if (pos >= s.size())
            return true;
        if (s[pos] != u',') {
            what = "bad hex byte";
            return false;
        }
        ++pos;
    }
}

std::u16string escapeQuoted(const std::u16string& s) {
    std::u16string out;
    for (char16_t c : s) {
        if (c == u'\\' || c == u'"')
            out += u'\\';
        out += c;
    }
    return out;
}

bool hasLineBreak(const std::u16string& s) {
    return s.find(u'\r') != std::u16string::npos || s.find(u'\n') != std::u16string::npos;
}

// A REG_SZ that regedit's quoted form carries without loss: one terminator at
// the end and nothing that would break the line.
bool plainString(const std::string& data, std::u16string& text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    text = FromLe(data);
    if (text.back() != 0)
        return false;
    text.pop_back();
    return text.find(u'\0') == std::u16string::npos && !hasLineBreak(text);
}

} // namespace

// Command-line and registry text: a bad sequence becomes U+FFFD, as everywhere
// in the Linux layer.
std::u16string Utf8ToUtf16(const std::string& s) {
    if (s.empty())
        return std::u16string();
    const int n = static_cast<int>(s.size());
    std::u16string out(MultiByteToWideChar(CP_UTF8, 0, s.data(), n, nullptr, 0), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), n, out.data(), static_cast<int>(out.size()));
    return out;
}

std::string Utf16ToUtf8(const std::u16string& s) {
    if (s.empty())
        return std::string();
    const int n = static_cast<int>(s.size());
    std::string out(WideCharToMultiByte(CP_UTF8, 0, s.data(), n, nullptr, 0, nullptr, nullptr),
                    '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), n, out.data(), static_cast<int>(out.size()), nullptr,
                        nullptr);
    return out;
}

std::u16string FromLe(const std::string& bytes) {
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return out;
}

std::string ToLe(const std::u16string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xff);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

bool ParseRegFile(const std::string& bytes, std::vector<RegOp>& ops, ParseError& err) {
    std::u16string text;
    if (!decodeFile(bytes, text, err))
        return false;
    std::vector<std::u16string> lines;
    size_t start = 0;
    // A final line break ends the last line; it does not start another.
    while (start < text.size() || (start == 0 && text.empty())) {
        size_t end = text.find(u'\n', start);
        if (end == std::u16string::npos)
            end = text.size();
        std::u16string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    auto fail = [&](size_t line, const std::string& what) {
        err = {line, what};
        return false;
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find(u'\0') != std::u16string::npos)
            return fail(i + 1, "NUL character in text");
    }
    if (lines.empty() || trimRight(lines[0]) != kHeader)
        return fail(1, "missing header \"Windows Registry Editor Version 5.00\"");

    std::u16string key;   // current key; empty before the first [KEY]
    bool keyOpen = false; // values may follow
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t lineNo = i + 1;
        std::u16string line = trimLeft(lines[i]);
        if (trimRight(line).empty() || line[0] == u';')
            continue;
        if (line[0] == u'[') {
            std::u16string body = trimRight(line);
            if (body.back() != u']')
                return fail(lineNo, "key line without closing ]");
            std::u16string path = body.substr(1, body.size() - 2);
            RegOp op;
            op.line = lineNo;
            if (!path.empty() && path[0] == u'-') {
                op.kind = RegOp::kDeleteKey;
                op.key = path.substr(1);
                keyOpen = false;
            } else {
                op.kind = RegOp::kCreateKey;
                op.key = path;
                keyOpen = true;
            }
            if (op.key.empty())
                return fail(lineNo, "empty key name");
            // Lines end at a line feed only, so a lone carriage return can sit
            // inside a name; no export could write that name back.
            if (op.key.find(u'\r') != std::u16string::npos)
                return fail(lineNo, "carriage return inside a key name");
            key = op.key;
            ops.push_back(std::move(op));
            continue;
        }
        if (line[0] != u'"' && line[0] != u'@')
            return fail(lineNo, "unrecognised line");
        if (!keyOpen)
            return fail(lineNo, "value outside a key");
        RegOp op;
        op.line = lineNo;
        op.key = key;
        size_t pos = 0;
        std::string what;
        if (line[0] == u'@') {
            pos = 1;
        } else if (!readQuoted(line, pos, op.name, what)) {
            return fail(lineNo, what);
        } else if (op.name.find(u'\r') != std::u16string::npos) {
            return fail(lineNo, "carriage return inside a value name");
        }
        while (pos < line.size() && isBlank(line[pos]))
            ++pos;
        if (pos >= line.size() || line[pos] != u'=')
            return fail(lineNo, "missing = after the value name");
        ++pos;
        while (pos < line.size() && isBlank(line[pos]))
            ++pos;
        if (pos < line.size() && line[pos] == u'-' && onlyBlanksFrom(line, pos + 1)) {
            op.kind = RegOp::kDeleteValue;
        } else if (pos < line.size() && line[pos] == u'"') {
            std::u16string data;
            if (!readQuoted(line, pos, data, what))
                return fail(lineNo, what);
            if (!onlyBlanksFrom(line, pos))
                return fail(lineNo, "text after the closing quote");
            data += u'\0';
            op.kind = RegOp::kSetValue;
            op.type = REG_SZ;
            op.data = ToLe(data);
        } else if (startsWithNoCase(line, pos, "dword:")) {
            pos += 6;
            std::u16string digits = trimRight(line.substr(pos));
            if (digits.empty() || digits.size() > 8)
                return fail(lineNo, "dword needs 1 to 8 hex digits");
            DWORD v = 0;
            for (char16_t c : digits) {
                int d = hexDigit(c);
                if (d < 0)
                    return fail(lineNo, "dword needs 1 to 8 hex digits");
                v = v * 16 + static_cast<DWORD>(d);
            }
            op.kind = RegOp::kSetValue;
            op.type = REG_DWORD;
            for (int b = 0; b < 4; ++b)
                op.data += static_cast<char>((v >> (8 * b)) & 0xff);
        } else if (startsWithNoCase(line, pos, "hex")) {
            pos += 3;
            DWORD type = REG_BINARY;
            if (pos < line.size() && line[pos] == u'(') {
                size_t close = line.find(u')', pos);
                if (close == std::u16string::npos || close == pos + 1 || close - pos - 1 > 8)
                    return fail(lineNo, "bad hex(type)");
                type = 0;
                for (size_t k = pos + 1; k < close; ++k) {
                    int d = hexDigit(line[k]);
                    if (d < 0)
                        return fail(lineNo, "bad hex(type)");
                    type = type * 16 + static_cast<DWORD>(d);
                }
                pos = close + 1;
            }
            if (pos >= line.size() || line[pos] != u':')
                return fail(lineNo, "missing : after hex");
            std::u16string list = trimRight(line.substr(pos + 1));
            // A trailing backslash continues the list on the next line.
            while (!list.empty() && list.back() == u'\\') {
                list.pop_back();
                if (i + 1 >= lines.size())
                    return fail(lineNo, "continuation at end of file");
                ++i;
                lineNo = i + 1;
                std::u16string next = trimRight(trimLeft(lines[i]));
                if (next.empty())
                    return fail(lineNo, "continuation onto a blank line");
                list += next;
            }
            if (!parseHexBytes(list, op.data, what))
                return fail(lineNo, what);
            op.kind = RegOp::kSetValue;
            op.type = type;
        } else {
            return fail(lineNo, "unrecognised value data");
        }
        ops.push_back(std::move(op));
    }
    return true;
}

RegWriter::RegWriter() {
    text_ = kHeader;
    text_ += u"\r\n";
}

bool RegWriter::key(const std::u16string& path) {
    if (hasLineBreak(path))
        return false;
    text_ += u"\r\n[";
    text_ += path;
    text_ += u"]\r\n";
    return true;
}

bool FormatValue(const std::u16string& name, DWORD type, const std::string& data,
                 std::u16string& line) {
    if (hasLineBreak(name) || name.find(u'\0') != std::u16string::npos)
        return false;
    line = name.empty() ? u"@=" : u"\"" + escapeQuoted(name) + u"\"=";
    std::u16string text;
    if (type == REG_SZ && plainString(data, text)) {
        line += u"\"" + escapeQuoted(text) + u"\"";
    } else if (type == REG_DWORD && data.size() == 4) {
        DWORD v = 0;
        for (int b = 3; b >= 0; --b)
            v = (v << 8) | static_cast<unsigned char>(data[b]);
        char buf[16];
        snprintf(buf, sizeof buf, "dword:%08x", v);
        line += Utf8ToUtf16(buf);
    } else {
        char buf[24];
        if (type == REG_BINARY)
            snprintf(buf, sizeof buf, "hex:");
        else
            snprintf(buf, sizeof buf, "hex(%x):", type);
        line += Utf8ToUtf16(buf);
        size_t column = line.size();
        for (size_t i = 0; i < data.size(); ++i) {
            snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(data[i]));
            line += Utf8ToUtf16(buf);
            if (i + 1 == data.size())
                break;
            line += u',';
            column += 3;
            if (column >= kHexWrapColumn) {
                line += u"\\\r\n  ";
                column = 2;
            }
        }
    }
    return true;
}

bool RegWriter::value(const std::u16string& name, DWORD type, const std::string& data) {
    std::u16string line;
    if (!FormatValue(name, type, data, line))
        return false;
    text_ += line;
    text_ += u"\r\n";
    return true;
}

std::string RegWriter::bytes() const {
    std::string out("\xFF\xFE", 2);
    out += ToLe(text_);
    out += ToLe(u"\r\n");
    return out;
}

} // namespace twreg
