// Request headers as WinHttpAddRequestHeaders builds them, and header queries
// as WinHttpQueryHeaders answers them.
#include "winhttp/headers.h"

#include "kernel32/text.h"

#include <ctype.h>
#include <string.h>

#include <string_view>

namespace tw::winhttp {

namespace {

// Longest header text one call may add (characters); more is refused rather
// than scanned without end.
constexpr size_t kMaxHeaderTextChars = 1 << 20;

const char* const kAttributeNames[] = {
    "Mime-Version", // 0
    "Content-Type", // 1
    "Content-Transfer-Encoding",
    "Content-ID",
    "Content-Description",
    "Content-Length", // 5
    "Content-Language",
    "Allow",
    "Public",
    "Date",
    "Expires", // 10
    "Last-Modified",
    "Message-ID",
    "URI",
    "Derived-From",
    "Cost", // 15
    "Link",
    "Pragma",
    nullptr, // VERSION
    nullptr, // STATUS_CODE
    nullptr, // 20 STATUS_TEXT
    nullptr, // RAW_HEADERS
    nullptr, // RAW_HEADERS_CRLF
    "Connection",
    "Accept",
    "Accept-Charset", // 25
    "Accept-Encoding",
    "Accept-Language",
    "Authorization",
    "Content-Encoding",
    "Forwarded", // 30
    "From",
    "If-Modified-Since",
    "Location",
    "Orig-Uri",
    "Referer", // 35
    "Retry-After",
    "Server",
    "Title",
    "User-Agent",
    "WWW-Authenticate", // 40
    "Proxy-Authenticate",
    "Accept-Ranges",
    "Set-Cookie",
    "Cookie",
    nullptr, // 45 REQUEST_METHOD
    "Refresh",
    "Content-Disposition",
    "Age",
    "Cache-Control",
    "Content-Base", // 50
    "Content-Location",
    "Content-MD5",
    "Content-Range",
    "ETag",
    "Host", // 55
    "If-Match",
    "If-None-Match",
    "If-Range",
    "If-Unmodified-Since",
    "Max-Forwards", // 60
    "Proxy-Authorization",
    "Range",
    "Transfer-Encoding",
    "Upgrade",
    "Vary", // 65
    "Via",
    "Warning",
    "Expect",
    "Proxy-Connection",
    "Unless-Modified-Since", // 70
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "Proxy-Support", // 75
    "Authentication-Info",
    "PassportURLs",
    "PassportConfig",
};
static_assert(sizeof(kAttributeNames) / sizeof(kAttributeNames[0]) == WINHTTP_QUERY_MAX + 1);

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool ValidHeaderName(std::string_view name) {
    if (name.empty())
        return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == ':')
            return false;
    }
    return true;
}

int FindHeader(const std::vector<Header>& headers, std::string_view name) {
    for (size_t i = 0; i < headers.size(); ++i) {
        if (EqualNoCase(headers[i].name, name))
            return static_cast<int>(i);
    }
    return -1;
}

DWORD ApplyHeader(std::vector<Header>& headers, std::string_view name, std::string_view value,
                  DWORD modifiers) {
    int found = FindHeader(headers, name);
    if (found >= 0 && (modifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW))
        return ERROR_WINHTTP_HEADER_ALREADY_EXISTS;
    if (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
        if (found >= 0) {
            if (value.empty())
                headers.erase(headers.begin() + found);
            else
                headers[static_cast<size_t>(found)] = Header{std::string(name), std::string(value)};
            return ERROR_SUCCESS;
        }
        if (!(modifiers & WINHTTP_ADDREQ_FLAG_ADD))
            return ERROR_WINHTTP_HEADER_NOT_FOUND;
        if (!value.empty())
            headers.push_back(Header{std::string(name), std::string(value)});
        return ERROR_SUCCESS;
    }
    const DWORD coalesce =
        WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA | WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON;
    if (found >= 0 && (modifiers & coalesce)) {
        std::string& old = headers[static_cast<size_t>(found)].value;
        old += (modifiers & WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA) ? ", " : "; ";
        old.append(value);
        return ERROR_SUCCESS;
    }
    headers.push_back(Header{std::string(name), std::string(value)});
    return ERROR_SUCCESS;
}

// Response header bytes are ISO-8859-1: every byte has its code point, so the
// conversion never fails and nothing is lost.
std::u16string WidenLatin1(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string HeaderLines(const HeaderBlock& block, const char* separator) {
    std::string text = block.firstLine;
    text += separator;
    for (const Header& h : block.headers) {
        text += h.name;
        text += ": ";
        text += h.value;
        text += separator;
    }
    return text;
}

// strtoul's reading of a header value: leading blanks, digits, saturating.
template <typename T> T ParseNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i < text.size() && text[i] == '+')
        ++i;
    T value = 0;
    const T max = static_cast<T>(~static_cast<T>(0));
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        T digit = static_cast<T>(text[i] - '0');
        if (value > (max - digit) / 10)
            return max;
        value = static_cast<T>(value * 10 + digit);
    }
    return value;
}

int MonthIndex(std::string_view token) {
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    if (token.size() < 3)
        return -1;
    for (int m = 0; m < 12; ++m) {
        if (EqualNoCase(token.substr(0, 3), months[m]))
            return m + 1;
    }
    return -1;
}

bool AllDigits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

int DaysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

} // namespace

const Header* HeaderBlock::find(const std::string& name, DWORD index) const {
    DWORD seen = 0;
    for (const Header& h : headers) {
        if (EqualNoCase(h.name, name)) {
            if (seen == index)
                return &h;
            ++seen;
        }
    }
    return nullptr;
}

bool ParseStatusLine(const std::string& line, HeaderBlock& block) {
    if (line.size() < 10 || line.compare(0, 5, "HTTP/") != 0)
        return false;
    size_t space = line.find(' ');
    if (space == std::string::npos || space + 4 > line.size())
        return false;
    std::string code = line.substr(space + 1, 3);
    if (!AllDigits(code))
        return false;
    if (space + 4 < line.size() && line[space + 4] != ' ')
        return false;
    block.firstLine = line;
    block.version = line.substr(0, space);
    block.status = static_cast<DWORD>(std::stoul(code));
    block.reason = space + 5 <= line.size() ? line.substr(space + 5) : std::string();
    return true;
}

DWORD AddHeaders(std::vector<Header>& headers, const WCHAR* text, DWORD length, DWORD modifiers) {
    if (text == nullptr)
        return ERROR_INVALID_PARAMETER;
    size_t chars = 0;
    if (length == static_cast<DWORD>(-1)) {
        while (text[chars] != 0) {
            if (++chars > kMaxHeaderTextChars)
                return ERROR_INVALID_PARAMETER;
        }
    } else {
        if (length > kMaxHeaderTextChars)
            return ERROR_INVALID_PARAMETER;
        while (chars < length && text[chars] != 0)
            ++chars;
    }
    const std::string all = Utf16ToUtf8(std::u16string(text, chars));
    // Check every line before changing anything, so a bad line adds nothing.
    std::vector<std::pair<std::string_view, std::string_view>> parsed;
    std::string_view rest(all);
    while (!rest.empty()) {
        size_t end = rest.find_first_of("\r\n");
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (Trim(line).empty())
            continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return ERROR_WINHTTP_INVALID_HEADER;
        std::string_view name = Trim(line.substr(0, colon));
        if (!ValidHeaderName(name))
            return ERROR_WINHTTP_INVALID_HEADER;
        parsed.emplace_back(name, Trim(line.substr(colon + 1)));
    }
    if (parsed.empty())
        return ERROR_INVALID_PARAMETER;
    for (const auto& [name, value] : parsed) {
        DWORD err = ApplyHeader(headers, name, value, modifiers);
        if (err != ERROR_SUCCESS)
            return err;
    }
    return ERROR_SUCCESS;
}

DWORD QueryHeaderBlock(const HeaderBlock& block, DWORD infoLevel, const WCHAR* name, void* buffer,
                       DWORD* bufferLength, DWORD* index) {
    if (bufferLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    const DWORD attribute = infoLevel & 0xFFFF;
    const DWORD modifiers =
        infoLevel & 0xFFFF0000 & ~static_cast<DWORD>(WINHTTP_QUERY_FLAG_REQUEST_HEADERS);
    const DWORD known =
        WINHTTP_QUERY_FLAG_NUMBER | WINHTTP_QUERY_FLAG_NUMBER64 | WINHTTP_QUERY_FLAG_SYSTEMTIME;
    if ((modifiers & ~known) != 0)
        return ERROR_WINHTTP_INVALID_QUERY_REQUEST;
    int kinds = !!(modifiers & WINHTTP_QUERY_FLAG_NUMBER) +
                !!(modifiers & WINHTTP_QUERY_FLAG_NUMBER64) +
                !!(modifiers & WINHTTP_QUERY_FLAG_SYSTEMTIME);
    if (kinds > 1)
        return ERROR_WINHTTP_INVALID_QUERY_REQUEST;
    const DWORD wanted = index != nullptr ? *index : 0;

    std::string value;
    bool raw = false;
    bool rawNul = false;
    switch (attribute) {
    case WINHTTP_QUERY_RAW_HEADERS_CRLF:
        raw = true;
        value = HeaderLines(block, "\r\n") + "\r\n";
        break;
    case WINHTTP_QUERY_RAW_HEADERS:
        raw = true;
        rawNul = true;
        break;
    case WINHTTP_QUERY_STATUS_CODE:
        if (block.status == 0)
            return ERROR_WINHTTP_HEADER_NOT_FOUND;
        raw = true;
        value = std::to_string(block.status);
        break;
    case WINHTTP_QUERY_STATUS_TEXT:
        if (block.status == 0)
            return ERROR_WINHTTP_HEADER_NOT_FOUND;
        raw = true;
        value = block.reason;
        break;
    case WINHTTP_QUERY_VERSION:
        raw = true;
        value = block.version;
        break;
    case WINHTTP_QUERY_REQUEST_METHOD:
        if (block.status != 0)
            return ERROR_WINHTTP_HEADER_NOT_FOUND;
        raw = true;
        value = block.firstLine.substr(0, block.firstLine.find(' '));
        break;
    case WINHTTP_QUERY_CUSTOM: {
        if (name == nullptr)
            return ERROR_INVALID_PARAMETER;
        const Header* h = block.find(Utf16ToUtf8(name), wanted);
        if (h == nullptr)
            return ERROR_WINHTTP_HEADER_NOT_FOUND;
        value = h->value;
        break;
    }
    default: {
        if (attribute > WINHTTP_QUERY_MAX || kAttributeNames[attribute] == nullptr)
            return ERROR_WINHTTP_INVALID_QUERY_REQUEST;
        const Header* h = block.find(kAttributeNames[attribute], wanted);
        if (h == nullptr)
            return ERROR_WINHTTP_HEADER_NOT_FOUND;
        value = h->value;
        break;
    }
    }
    if (raw && wanted != 0)
        return ERROR_WINHTTP_HEADER_NOT_FOUND;

    if (modifiers & (WINHTTP_QUERY_FLAG_NUMBER | WINHTTP_QUERY_FLAG_NUMBER64)) {
        const bool wide = (modifiers & WINHTTP_QUERY_FLAG_NUMBER64) != 0;
        const DWORD need = wide ? 8 : 4;
        if (buffer == nullptr || *bufferLength < need) {
            *bufferLength = need;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        if (wide) {
            uint64_t n = ParseNumber<uint64_t>(value);
            memcpy(buffer, &n, sizeof n);
        } else {
            DWORD n = ParseNumber<DWORD>(value);
            memcpy(buffer, &n, sizeof n);
        }
        *bufferLength = need;
    } else if (modifiers & WINHTTP_QUERY_FLAG_SYSTEMTIME) {
        SYSTEMTIME st;
        if (!ParseHttpDate(value, &st))
            return ERROR_WINHTTP_INVALID_QUERY_REQUEST;
        if (buffer == nullptr || *bufferLength < sizeof(SYSTEMTIME)) {
            *bufferLength = sizeof(SYSTEMTIME);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        memcpy(buffer, &st, sizeof st);
        *bufferLength = sizeof(SYSTEMTIME);
    } else {
        std::u16string text;
        if (rawNul) {
            // Every line ends with a zero; the terminator added below ends the list.
            std::string lines = block.firstLine + std::string(1, '\0');
            for (const Header& h : block.headers)
                lines += h.name + ": " + h.value + std::string(1, '\0');
            value = lines;
        }
        text = block.utf8 ? Utf8ToUtf16(value) : WidenLatin1(value);
        const size_t needBytes = (text.size() + 1) * sizeof(WCHAR);
        if (needBytes > 0xFFFFFFFFu)
            return ERROR_NOT_ENOUGH_MEMORY;
        if (buffer == nullptr || *bufferLength < needBytes) {
            *bufferLength = static_cast<DWORD>(needBytes);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
        static_cast<WCHAR*>(buffer)[text.size()] = 0;
        *bufferLength = static_cast<DWORD>(text.size() * sizeof(WCHAR));
    }
    if (index != nullptr)
        *index = wanted + 1;
    return ERROR_SUCCESS;
}

bool ParseHttpDate(const std::string& input, SYSTEMTIME* out) {
    // Drop the week day ("Sun," or "Sunday,"); RFC 850 dates use '-' in the date.
    std::string text = input;
    size_t comma = text.find(',');
    if (comma != std::string::npos)
        text = text.substr(comma + 1);
    for (char& c : text) {
        if (c == '-')
            c = ' ';
    }
    int day = -1, month = -1, year = -1, hour = -1, minute = -1, second = -1;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of(" \t");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        size_t end = rest.find_first_of(" \t");
        std::string_view token = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (token.find(':') != std::string_view::npos) {
            if (token.size() != 8 || token[2] != ':' || token[5] != ':' ||
                !AllDigits(token.substr(0, 2)) || !AllDigits(token.substr(3, 2)) ||
                !AllDigits(token.substr(6, 2)))
                return false;
            hour = (token[0] - '0') * 10 + (token[1] - '0');
            minute = (token[3] - '0') * 10 + (token[4] - '0');
            second = (token[6] - '0') * 10 + (token[7] - '0');
        } else if (AllDigits(token)) {
            if (token.size() <= 2 && day < 0) {
                day = std::stoi(std::string(token));
            } else if (token.size() == 4 || token.size() == 2) {
                year = std::stoi(std::string(token));
                if (token.size() == 2)
                    year += year < 50 ? 2000 : 1900;
            } else {
                return false;
            }
        } else if (MonthIndex(token) > 0 && month < 0 && token.size() == 3) {
            month = MonthIndex(token);
        } else if (EqualNoCase(token, "GMT") || EqualNoCase(token, "UTC")) {
            continue;
        } else if (month < 0 && day < 0 && token.size() == 3) {
            continue; // asctime's week day
        } else {
            return false;
        }
    }
    if (day < 1 || month < 1 || year < 1601 || year > 30827 || hour < 0 || hour > 23 ||
        minute > 59 || second > 60 || day > DaysInMonth(year, month))
        return false;
    // Zeller-style day of the week (0 = Sunday).
    int y = year, m = month;
    if (m < 3) {
        m += 12;
        y -= 1;
    }
    int dow = (day + (13 * (m + 1)) / 5 + y + y / 4 - y / 100 + y / 400 + 6) % 7;
    out->wYear = static_cast<WORD>(year);
    out->wMonth = static_cast<WORD>(month);
    out->wDayOfWeek = static_cast<WORD>(dow);
    out->wDay = static_cast<WORD>(day);
    out->wHour = static_cast<WORD>(hour);
    out->wMinute = static_cast<WORD>(minute);
    out->wSecond = static_cast<WORD>(second > 59 ? 59 : second);
    out->wMilliseconds = 0;
    return true;
}

} // namespace tw::winhttp
