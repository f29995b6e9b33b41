#include "registry/registry_helpers.h"
#include "base/owned.h"
#include "base/settings.h"
#include "base/error_texts.h"
#include "base/text_helpers.h"
#include "base/log.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

namespace {

using WidePtr = Owned<WCHAR>;

// Closes a key on every way out.
struct KeyGuard {
    HKEY key = nullptr;
    ~KeyGuard() {
        if (key != nullptr)
            RegCloseKey(key);
    }
};

// Registry values are at most a few megabytes on Windows; anything larger is
// refused before an allocation of size + 5 could wrap or exhaust memory.
const DWORD kMaxValueBytes = 64u * 1024 * 1024;

// Reads a value into a new size + 5 buffer with the query function given.
template <class Query> DWORD readRaw(Query query, char** out, const char* readFailureLine) {
    DWORD size = 0;
    DWORD rc = query(nullptr, &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (size > kMaxValueBytes)
        return ERROR_NOT_ENOUGH_MEMORY;
    auto* buf = static_cast<char*>(calloc(static_cast<size_t>(size) + 5, 1));
    if (buf == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    rc = query(reinterpret_cast<LPBYTE>(buf), &size);
    if (rc != ERROR_SUCCESS) {
        LogError(readFailureLine, rc);
        free(buf);
        return rc;
    }
    *out = buf;
    return ERROR_SUCCESS;
}

// The text read as a signed decimal long, as the runtime's _wtol does:
// leading blanks, an optional sign, then digits; out-of-range values saturate.
LONG wideToLong(const WCHAR* s) {
    while (*s == ' ' || (*s >= 9 && *s <= 13))
        ++s;
    bool neg = false;
    if (*s == '-' || *s == '+')
        neg = *s++ == '-';
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > static_cast<long long>(INT32_MAX) + 1)
            v = static_cast<long long>(INT32_MAX) + 1;
    }
    if (neg)
        v = -v;
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    return static_cast<LONG>(v);
}

// The runtime's strtoul in base 10, 32 bits wide as on Windows.
DWORD narrowToUlong(const char* s) {
    while (isspace(static_cast<unsigned char>(*s)))
        ++s;
    bool neg = false;
    if (*s == '-' || *s == '+')
        neg = *s++ == '-';
    unsigned long long v = 0;
    bool overflow = false;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + static_cast<unsigned>(*s - '0');
        if (v > 0xFFFFFFFFull)
            overflow = true;
    }
    if (overflow)
        return 0xFFFFFFFFu;
    DWORD r = static_cast<DWORD>(v);
    return neg ? static_cast<DWORD>(0u - r) : r;
}

// ";" separates the strings of a list, "^" keeps the next character as it is.
std::vector<WCHAR> multiSzFromList(const WCHAR* text) {
    std::vector<WCHAR> out;
    const WCHAR* p = text;
    while (*p) {
        if (*p == '^') {
            ++p;
            out.push_back(*p); // the terminator itself when "^" ends the text
            if (*p == 0)
                break;
            ++p;
        } else if (*p == ';') {
            out.push_back(0);
            ++p;
        } else {
            out.push_back(*p++);
        }
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

// Every character counts as a digit: value * 10 + (character - '0'), wrapping.
uint64_t qwordFromText(const WCHAR* text) {
    uint64_t v = 0;
    for (const WCHAR* p = text; *p; ++p)
        v = v * 10u + static_cast<uint64_t>(static_cast<int64_t>(*p) - '0');
    return v;
}

struct WriterNames {
    const char* fn; // "writeValue" / "writeValueEx"
    bool ex;        // the Ex rules
};

DWORD writeValueImpl(const WriterNames& w, HKEY root, const char* keyPath, const char* valueName,
                     const char* valueData, DWORD type) {
    const char* fn = w.fn;
    LogDebug("@@@@@@@@ Inside %s Method @@@@@@@@ \n", fn);
    if (valueName == nullptr || valueData == nullptr) {
        if (w.ex)
            LogError("%s : Valuename or Valuedata is Empty \n", fn);
        else
            LogInfo("%s : Valuename or Valuedata is Empty \n", fn);
        return ERROR_INVALID_DATA;
    }
    LogDebug("%s: Subkey : %s \n", fn, keyPath ? keyPath : "");
    LogDebug("%s: Value Name: %s \n", fn, valueName);
    LogDebug("%s: Value Data: %s \n", fn, valueData);

    WCHAR* rawName = nullptr;
    WCHAR* rawData = nullptr;
    if (!ChangeUtf8ToWideStr(valueName, &rawName))
        return ERROR_INVALID_DATA;
    WidePtr nameGuard(rawName);
    if (!ChangeUtf8ToWideStr(valueData, &rawData))
        return ERROR_INVALID_DATA;
    WidePtr dataGuard(rawData);

    static const WCHAR kEmpty[] = {0};
    const WCHAR* name = rawName;
    const WCHAR* data = rawData;
    if (_stricmp(valueName, "--") == 0) {
        LogInfo("%s : going to add the (default) value .\n", fn);
        name = kEmpty;
    }
    if (_stricmp(valueData, "--") == 0) {
        LogInfo("%s : going to add the value data as 0 value .\n", fn);
        data = kEmpty;
    }

    std::vector<BYTE> bytes;
    auto putBytes = [&bytes](const void* p, size_t n) {
        bytes.assign(static_cast<const BYTE*>(p), static_cast<const BYTE*>(p) + n);
    };
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        putBytes(data, (TwWideLen(data) + 1) * sizeof(WCHAR));
        LogDebug("%s:  Data type is REG_SZ or REG_EXPAND_SZ or REG_BINARY: %d\n", fn,
                 static_cast<int>(bytes.size()));
        break;
    case REG_BINARY:
        if (w.ex) {
            putBytes(valueData, strlen(valueData) + 1);
            LogDebug("%s:  Data type is REG_BINARY: %d\n", fn, static_cast<int>(bytes.size()));
        } else {
            putBytes(data, (TwWideLen(data) + 1) * sizeof(WCHAR));
            LogDebug("%s:  Data type is REG_SZ or REG_EXPAND_SZ or REG_BINARY: %d\n", fn,
                     static_cast<int>(bytes.size()));
        }
        break;
    case REG_DWORD: {
        DWORD v = w.ex ? narrowToUlong(valueData) : static_cast<DWORD>(wideToLong(data));
        putBytes(&v, sizeof v);
        LogDebug("%s:  REG_DWORD -- sizeOfInputData: %d\n", fn, 4);
        break;
    }
    case REG_MULTI_SZ: {
        std::vector<WCHAR> list = multiSzFromList(data);
        putBytes(list.data(), list.size() * sizeof(WCHAR));
        LogDebug("%s:  Data type is REG_MULTI_SZ: %d\n", fn, static_cast<int>(bytes.size()));
        break;
    }
    case REG_QWORD: {
        uint64_t v = qwordFromText(data);
        putBytes(&v, sizeof v);
        LogDebug("%s:  REG_QWORD -- sizeOfInputData: %d\n", fn, 8);
        break;
    }
    default:
        // No caller stores other types; refusing them beats storing guesses.
        LogError("%s:  Unsupported data type %d \n", fn, type);
        return ERROR_INVALID_DATA;
    }

    DWORD rc = w.ex ? addRegistryKeyEx(root, keyPath) : addRegistryKey(root, keyPath);
    if (rc != ERROR_SUCCESS) {
        LogError("%s:  WriteValue failure during key creation! %d \n", fn, rc);
        return rc;
    }
    REGSAM mask = KEY_ALL_ACCESS;
    if (w.ex && gv_IsWow64)
        mask |= KEY_WOW64_64KEY;
    KeyGuard key;
    rc = static_cast<DWORD>(RegOpenKeyExA(root, keyPath, 0, mask, &key.key));
    if (rc != ERROR_SUCCESS) {
        key.key = nullptr;
        LogError("%s:  Key open failure! %d \n", fn, rc);
        LogErrorText(rc);
        return rc;
    }
    LogDebug("%s:  Key found ...!: %d\n", fn, rc);
    LogDebug("%s:  After addRegistryKey method in %s method!!\n", fn, fn);
    rc = static_cast<DWORD>(
        RegSetValueExW(key.key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size())));
    if (rc == ERROR_SUCCESS) {
        LogErrorText(0);
        RegCloseKey(key.key);
        key.key = nullptr;
        LogDebug("@@@@@@@@ End Of %s Method @@@@@@@@ \n", fn);
        return ERROR_SUCCESS;
    }
    LogError("%s:  Function WriteValue failure!:%d\n", fn, rc);
    LogError("%s:    Subkey: %s \n", fn, keyPath ? keyPath : "");
    LogError("%s:    Valuename: %S \n", fn, name);
    LogError("%s:    Valuedata: %S \n", fn, data);
    LogError("%s:    Datatype: %d \n", fn, type);
    LogErrorText(rc);
    return rc;
}

DWORD addKeyImpl(const char* fn, const char* firstLine, bool ex, HKEY root, const char* keyPath) {
    LogDebug(firstLine);
    REGSAM mask = KEY_ALL_ACCESS;
    if (ex && gv_IsWow64)
        mask |= KEY_WOW64_64KEY;
    HKEY key = nullptr;
    DWORD disposition = 0;
    DWORD rc = static_cast<DWORD>(
        RegCreateKeyExA(root, keyPath, 0, nullptr, 0, mask, nullptr, &key, &disposition));
    if (rc != ERROR_SUCCESS) {
        LogError("%s:  Create registry key \"%s\" function failed: %d \n", fn,
                 keyPath ? keyPath : "", rc);
        LogErrorText(rc);
        return rc;
    }
    if (disposition == REG_OPENED_EXISTING_KEY)
        LogDebug("%s:  Opened already existing key! \n", fn);
    else if (disposition == REG_CREATED_NEW_KEY)
        LogDebug("%s:  Create registry key function successfull: %d \n", fn, disposition);
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

} // namespace

DWORD ReadRegSZ(HKEY root, const char* keyPath, const char* valueName, char** out) {
    if (out == nullptr)
        return ERROR_INVALID_DATA;
    *out = nullptr;
    KeyGuard key;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE, &key.key));
    if (rc != ERROR_SUCCESS) {
        key.key = nullptr;
        LogError("ReadRegSZ: Error while opening registry key %s ,and the error is  %d \n",
                 keyPath ? keyPath : "", rc);
        return rc;
    }
    return readRaw(
        [&](LPBYTE buf, DWORD* size) {
            return static_cast<DWORD>(
                RegQueryValueExA(key.key, valueName, nullptr, nullptr, buf, size));
        },
        out, "ReadRegSZ: Error while reading DWORD value! %d \n");
}

DWORD ReadRegSZEx(HKEY root, const char* keyPath, const char* valueName, char** out) {
    if (out == nullptr)
        return ERROR_INVALID_DATA;
    *out = nullptr;
    WCHAR* rawName = nullptr;
    if (valueName != nullptr && !ChangeUtf8ToWideStr(valueName, &rawName))
        return ERROR_INVALID_DATA;
    WidePtr name(rawName);
    KeyGuard key;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE, &key.key));
    if (rc != ERROR_SUCCESS) {
        key.key = nullptr;
        WidePtr widePath(TwUtf8ToWide(keyPath ? keyPath : ""));
        LogError("ReadRegSZEx: Error while opening registry key : %S \n", widePath.get());
        return rc;
    }
    return readRaw(
        [&](LPBYTE buf, DWORD* size) {
            return static_cast<DWORD>(
                RegQueryValueExW(key.key, name.get(), nullptr, nullptr, buf, size));
        },
        out, "ReadRegSZEx: Error while reading DWORD value! %d \n");
}

DWORD ReadDwordRegistryData(HKEY root, const char* keyPath, const char* valueName, DWORD* value) {
    KeyGuard key;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE, &key.key));
    if (rc == ERROR_FILE_NOT_FOUND) {
        key.key = nullptr;
        LogDebug("ReadDwordRegistryData:  value  %s Not found: %d \n", valueName ? valueName : "",
                 ERROR_FILE_NOT_FOUND);
        return rc;
    }
    if (rc != ERROR_SUCCESS) {
        key.key = nullptr;
        LogError(
            "ReadDwordRegistryData: Error while opening registry key %s,and the errorcode is : "
            "%d \n",
            keyPath ? keyPath : "", rc);
        return rc;
    }
    // Read into a copy so that the caller's variable is only changed on success.
    DWORD v = value ? *value : 0;
    DWORD size = sizeof v;
    rc = static_cast<DWORD>(RegQueryValueExA(key.key, valueName, nullptr, nullptr,
                                             reinterpret_cast<LPBYTE>(&v), &size));
    if (rc == ERROR_FILE_NOT_FOUND) {
        LogDebug("ReadDwordRegistryData:  value  %s Not found: %d \n", valueName ? valueName : "",
                 ERROR_FILE_NOT_FOUND);
    } else if (rc != ERROR_SUCCESS) {
        LogError("ReadDwordRegistryData: Error while reading DWORD value of %s : %d \n",
                 valueName ? valueName : "", rc);
    } else if (value != nullptr) {
        *value = v;
    }
    return rc;
}

DWORD writeValue(HKEY root, const char* keyPath, const char* valueName, const char* valueData,
                 DWORD type) {
    return writeValueImpl({"writeValue", false}, root, keyPath, valueName, valueData, type);
}

DWORD writeValueEx(HKEY root, const char* keyPath, const char* valueName, const char* valueData,
                   DWORD type) {
    return writeValueImpl({"writeValueEx", true}, root, keyPath, valueName, valueData, type);
}

DWORD addRegistryKey(HKEY root, const char* keyPath) {
    return addKeyImpl("addRegistryKey", "addRegistryKey: Inside addRegistryKey method ...... \n",
                      false, root, keyPath);
}

DWORD addRegistryKeyEx(HKEY root, const char* keyPath) {
    return addKeyImpl("addRegistryKeyEx",
                      "addRegistryKeyEx: Inside addRegistryKey method ...... \n", true, root,
                      keyPath);
}

DWORD deleteValue(HKEY root, const char* keyPath, const char* valueName) {
    LogDebug("deleteValue: Inside function deleteValue ..... \n");
    const char* name = valueName;
    if (name != nullptr && _stricmp(name, "--") == 0) {
        LogInfo("deleteValue : going to delete the (default) value .\n");
        name = "";
    }
    HKEY key = nullptr;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExA(root, keyPath, 0, KEY_ALL_ACCESS, &key));
    if (rc != ERROR_SUCCESS) {
        LogError("deleteValue:  %s Key not found!: %d  \n", keyPath ? keyPath : "", rc);
        LogLastError();
        return rc;
    }
    LogInfo("deleteValue:  Key found ...!: %d\n", rc);
    rc = static_cast<DWORD>(RegDeleteValueA(key, name));
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS) {
        LogInfo("deleteValue:  Delete value %s success! \n", name ? name : "");
        return 0;
    }
    LogError("deleteValue:  Delete value %s failure! \n", name ? name : "");
    LogLastError();
    return rc;
}

DWORD deleteValue(HKEY root, const WCHAR* keyPath, const WCHAR* valueName) {
    static const WCHAR kDefaultMark[] = {'-', '-', 0};
    static const WCHAR kEmpty[] = {0};
    LogDebug("deleteValue: Inside function deleteValue ..... subkey : %ws, Valuename : %ws \n",
             keyPath, valueName);
    const WCHAR* name = valueName;
    if (name != nullptr && TwWideICmp(name, kDefaultMark) == 0) {
        LogInfo("deleteValue : going to delete the (default) value .\n");
        name = kEmpty;
    }
    HKEY key = nullptr;
    DWORD rc = static_cast<DWORD>(RegOpenKeyExW(root, keyPath, 0, KEY_ALL_ACCESS, &key));
    if (rc != ERROR_SUCCESS) {
        LogError("deleteValue:  %ws Key not found!: %d  \n", keyPath, rc);
        LogLastError();
        return rc;
    }
    LogInfo("deleteValue:  Key found ...!: %d\n", rc);
    rc = static_cast<DWORD>(RegDeleteValueW(key, name));
    RegCloseKey(key);
    if (rc == ERROR_SUCCESS) {
        LogInfo("deleteValue:  Delete value %ws success! \n", name);
        return 0;
    }
    LogError("deleteValue:  Delete value %ws failure! \n", name);
    LogLastError();
    return rc;
}

bool deleteKeyTree(HKEY root, const char* keyPath) {
    if (keyPath == nullptr)
        return false;
    // Depth first without recursion: a deep tree from outside cannot exhaust the stack.
    struct Frame {
        std::string path;
        HKEY key;
    };
    std::vector<Frame> stack;
    auto push = [&](std::string path) {
        HKEY k = nullptr;
        if (RegOpenKeyA(root, path.c_str(), &k) != ERROR_SUCCESS)
            k = nullptr;
        stack.push_back({std::move(path), k});
    };
    push(keyPath);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.key != nullptr) {
            char name[260];
            if (RegEnumKeyA(top.key, 0, name, sizeof name) == ERROR_SUCCESS) {
                std::string child = top.path + "\\" + name;
                push(std::move(child));
                continue;
            }
            RegCloseKey(top.key);
            top.key = nullptr;
        }
        bool deleted = RegDeleteKeyA(root, top.path.c_str()) == ERROR_SUCCESS;
        stack.pop_back();
        if (!deleted) {
            for (Frame& f : stack) {
                if (f.key != nullptr)
                    RegCloseKey(f.key);
            }
            return false;
        }
    }
    return true;
}
