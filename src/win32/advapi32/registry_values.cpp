// The value functions of the Reg* API (RegQueryValueEx, RegSetValueEx,
// RegDeleteValue, RegEnumValue) over the store of registry_store.cpp, on the
// key handles of registry_api.cpp, with Windows' argument rules, sizes and
// error codes. Each call is one transaction; writes and deletes are noted for
// the run report once they are committed. The choices made where Microsoft's
// documentation leaves room are listed in registry_api.cpp.
#include "advapi32/registry_api.h"

#include "advapi32/registry_store.h"
#include "kernel32/run_report.h"
#include "kernel32/text.h"

#include <string.h>

using namespace tw::reg;

namespace {

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

DWORD queryValue(HKEY key, const std::u16string& name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                 LPDWORD size, bool narrow) {
    if (reserved != nullptr || (data != nullptr && size == nullptr))
        return ERROR_INVALID_PARAMETER;
    OpenKey k;
    if (DWORD rc = LookupKey(key, k))
        return rc;
    if ((k.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    Txn txn(false);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(k))
        return rc;
    StoredValue v;
    bool found = false;
    if (name.size() <= kMaxValueName) {
        if (DWORD rc = FindValue(k.id, name, found, v))
            return rc;
    }
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    txn.commit();
    if (narrow && isStringType(v.type))
        v.data = tw::Utf16ToUtf8(FromLeBytes(v.data));
    DWORD n = static_cast<DWORD>(v.data.size());
    if (data != nullptr && *size < n) {
        *size = n;
        if (type != nullptr)
            *type = v.type;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr && n > 0)
        memcpy(data, v.data.data(), n);
    if (size != nullptr)
        *size = n;
    if (type != nullptr)
        *type = v.type;
    return 0;
}

// The value as it stands before a change, when the run report wants it.
DWORD stateBefore(const OpenKey& k, const std::u16string& name, tw::ValueState& state) {
    if (!tw::RunReportWanted() || name.size() > kMaxValueName)
        return 0;
    StoredValue v;
    bool found = false;
    if (DWORD rc = FindValue(k.id, name, found, v))
        return rc;
    state = {found, v.type, v.data};
    return 0;
}

DWORD setValue(HKEY key, const std::u16string& name, DWORD type, const BYTE* data, DWORD size,
               bool narrow) {
    if (data == nullptr && size != 0)
        return ERROR_NOACCESS;
    if (name.size() > kMaxValueName || size > kMaxValueData)
        return ERROR_INVALID_PARAMETER;
    std::string bytes;
    if (size != 0)
        bytes.assign(reinterpret_cast<const char*>(data), size);
    if (narrow && isStringType(type)) {
        bytes = ToLeBytes(tw::Utf8ToUtf16(bytes));
        if (bytes.size() > kMaxValueData)
            return ERROR_INVALID_PARAMETER;
    }
    OpenKey k;
    if (DWORD rc = LookupKey(key, k))
        return rc;
    if ((k.access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    Txn txn(true);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(k))
        return rc;
    tw::ValueState before;
    if (DWORD rc = stateBefore(k, name, before))
        return rc;
    if (DWORD rc = SetValue(k.id, name, type, bytes.data(), bytes.size()))
        return rc;
    if (DWORD rc = txn.commit())
        return rc;
    // Only a run that reports pays for the path text and the copy of the data.
    if (tw::RunReportWanted())
        tw::NoteRegistryChange(KeyPathText(k.root, k.path), name, before, {true, type, bytes});
    return 0;
}

DWORD deleteValue(HKEY key, const std::u16string& name) {
    OpenKey k;
    if (DWORD rc = LookupKey(key, k))
        return rc;
    if ((k.access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    Txn txn(true);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(k))
        return rc;
    tw::ValueState before;
    if (DWORD rc = stateBefore(k, name, before))
        return rc;
    bool found = false;
    if (name.size() <= kMaxValueName) {
        if (DWORD rc = DeleteValue(k.id, name, found))
            return rc;
    }
    if (!found)
        return ERROR_FILE_NOT_FOUND;
    if (DWORD rc = txn.commit())
        return rc;
    if (tw::RunReportWanted())
        tw::NoteRegistryChange(KeyPathText(k.root, k.path), name, before, {});
    return 0;
}

template <typename C>
DWORD enumValue(HKEY key, DWORD index, C* name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type,
                LPBYTE data, LPDWORD dataSize) {
    if (name == nullptr || nameSize == nullptr || reserved != nullptr ||
        (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    OpenKey k;
    if (DWORD rc = LookupKey(key, k))
        return rc;
    if ((k.access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    Txn txn(false);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(k))
        return rc;
    bool found = false;
    StoredValue v;
    EnumCursor& cursor = ValueCursor(key);
    if (DWORD rc = ValueAt(k.id, index, cursor, found, v))
        return rc;
    if (!found)
        return ERROR_NO_MORE_ITEMS;
    txn.commit();
    std::basic_string<C> out;
    constexpr bool narrow = sizeof(C) == 1;
    if constexpr (narrow)
        out = tw::Utf16ToUtf8(v.name);
    else
        out.assign(v.name.begin(), v.name.end());
    if (narrow && isStringType(v.type))
        v.data = tw::Utf16ToUtf8(FromLeBytes(v.data));
    DWORD n = static_cast<DWORD>(v.data.size());
    if (!NameFits(out, *nameSize))
        return ERROR_MORE_DATA;
    if (data != nullptr && *dataSize < n) {
        *dataSize = n;
        if (type != nullptr)
            *type = v.type;
        return ERROR_MORE_DATA;
    }
    CopyName(out, name, nameSize);
    if (data != nullptr && n > 0)
        memcpy(data, v.data.data(), n);
    if (dataSize != nullptr)
        *dataSize = n;
    if (type != nullptr)
        *type = v.type;
    return 0;
}

} // namespace

extern "C" {

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
    return Guarded(
        [&] { return queryValue(key, FromWideArg(name), reserved, type, data, size, false); });
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
    return Guarded(
        [&] { return queryValue(key, FromNarrowArg(name), reserved, type, data, size, true); });
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size) {
    return Guarded([&] { return setValue(key, FromWideArg(name), type, data, size, false); });
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                       DWORD size) {
    return Guarded([&] { return setValue(key, FromNarrowArg(name), type, data, size, true); });
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR name) {
    return Guarded([&] { return deleteValue(key, FromWideArg(name)); });
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR name) {
    return Guarded([&] { return deleteValue(key, FromNarrowArg(name)); });
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return Guarded(
        [&] { return enumValue(key, index, name, nameSize, reserved, type, data, dataSize); });
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return Guarded(
        [&] { return enumValue(key, index, name, nameSize, reserved, type, data, dataSize); });
}

} // extern "C"
