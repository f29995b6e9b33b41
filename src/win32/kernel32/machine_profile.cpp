// Reading the machine profile (the values a Windows machine keeps about
// itself) from the registry store, and name comparison.
#include "kernel32/machine_profile.h"

#include <vector>

namespace tw {

namespace {

const DWORD kMaxValueBytes = 64 * 1024;

// Reads a value's raw bytes; false when missing, unreadable or too large.
bool readRaw(const char16_t* key, const char16_t* value, DWORD& type, std::vector<BYTE>& data) {
    HKEY hkey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &hkey) !=
        ERROR_SUCCESS)
        return false;
    bool ok = false;
    // The value may change between the size query and the read; retry a few times.
    for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
        DWORD size = 0;
        if (RegQueryValueExW(hkey, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            size > kMaxValueBytes)
            break;
        data.assign(size, 0);
        DWORD got = size;
        LSTATUS rc =
            RegQueryValueExW(hkey, value, nullptr, &type, size ? data.data() : nullptr, &got);
        if (rc == ERROR_SUCCESS) {
            data.resize(got <= size ? got : size);
            ok = true;
        } else if (rc != ERROR_MORE_DATA) {
            break;
        }
    }
    RegCloseKey(hkey);
    return ok;
}

std::u16string utf16FromBytes(const std::vector<BYTE>& data) {
    std::u16string s;
    s.reserve(data.size() / 2);
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return s;
}

} // namespace

bool ReadMachineString(const char16_t* key, const char16_t* value, std::u16string& out) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!readRaw(key, value, type, data) || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::u16string s = utf16FromBytes(data);
    // Stored data may or may not carry its terminator; the text ends at the first one.
    size_t nul = s.find(u'\0');
    if (nul != std::u16string::npos)
        s.resize(nul);
    out = s;
    return true;
}

bool ReadMachineDword(const char16_t* key, const char16_t* value, DWORD& out) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!readRaw(key, value, type, data) || type != REG_DWORD || data.size() != 4)
        return false;
    out = static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) |
          (static_cast<DWORD>(data[2]) << 16) | (static_cast<DWORD>(data[3]) << 24);
    return true;
}

bool ReadMachineMultiString(const char16_t* key, const char16_t* value,
                            std::vector<std::u16string>& out) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!readRaw(key, value, type, data) || type != REG_MULTI_SZ)
        return false;
    std::u16string s = utf16FromBytes(data);
    out.clear();
    size_t start = 0;
    while (start < s.size()) {
        size_t end = s.find(u'\0', start);
        if (end == std::u16string::npos)
            end = s.size();
        if (end == start)
            break; // the empty string ends the list
        out.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

char16_t FoldChar(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return static_cast<char16_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<char16_t>(c + 32);
    return c;
}

bool EqualNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldChar(a[i]) != FoldChar(b[i]))
            return false;
    return true;
}

} // namespace tw
