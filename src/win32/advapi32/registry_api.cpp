// The key functions of the Reg* API (open, create, delete, close, enumerate
// subkeys, query a key's counts) over the store of registry_store.cpp, with
// Windows' argument rules, sizes and error codes; the table of open key
// handles; and the 32-bit and 64-bit views. The value functions, on these
// handles, are in registry_values.cpp. Each call is one transaction.
//
// Choices where Microsoft's documentation leaves room, for the key and the
// value functions alike (the report lists them):
// - Reg* functions report through their result only; the thread's last error
//   is never changed.
// - A failed RegOpenKeyEx sets *phkResult to NULL; a failed RegCreateKeyEx
//   leaves it and the disposition alone.
// - ERROR_MORE_DATA leaves the caller's buffers alone and reports the needed
//   size (and type) only; the name buffers of the enumerators likewise.
// - The A forms convert REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ data between
//   UTF-8 and the stored UTF-16; sizes, with or without a buffer, are exact
//   for the converted form.
// - Opening or creating a subkey checks no access on the parent handle (on
//   Windows the target key's security decides); value calls check the mask.
#include "advapi32/registry_api.h"

#include "advapi32/registry_store.h"
#include "kernel32/run_report.h"
#include "kernel32/text.h"

#include <string.h>
#include <sys/utsname.h>

#include <atomic>
#include <unordered_map>

#ifndef MAXIMUM_ALLOWED
#define MAXIMUM_ALLOWED 0x02000000L
#endif

using namespace tw::reg;

namespace {

std::atomic<int> g_processIs64{0};

// Handle values are never reused within a process, so a stale handle can
// only ever be refused, never alias a newer key.
struct HandleTable {
    std::unordered_map<uintptr_t, OpenKey> keys;
    uintptr_t next = 0x1000;
    // Enumeration cursors per open handle, and per predefined key.
    std::unordered_map<uintptr_t, EnumCursor> subkeyCursors, valueCursors;
};
HandleTable& handles() {
    static auto* t = new HandleTable();
    return *t;
}

const REGSAM kFullAccess = KEY_ALL_ACCESS;

} // namespace

namespace tw::reg {

DWORD LookupKey(HKEY key, OpenKey& out) {
    if (long long root = RootIdOf(key)) {
        out.id = root;
        out.root = root;
        out.path.clear();
        out.access = kFullAccess;
        return 0;
    }
    auto it = handles().keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == handles().keys.end())
        return ERROR_INVALID_HANDLE;
    out = it->second;
    return 0;
}

DWORD CheckAlive(const OpenKey& key) {
    if (key.id == key.root)
        return 0;
    bool exists = false;
    if (DWORD rc = KeyExists(key.id, exists))
        return rc;
    return exists ? 0 : ERROR_KEY_DELETED;
}

EnumCursor& ValueCursor(HKEY key) {
    return handles().valueCursors[reinterpret_cast<uintptr_t>(key)];
}

void ForgetAllHandles() {
    handles().keys.clear();
    handles().subkeyCursors.clear();
    handles().valueCursors.clear();
}

std::u16string FromWideArg(const WCHAR* s) {
    if (s == nullptr)
        return std::u16string();
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return std::u16string(reinterpret_cast<const char16_t*>(s), n);
}

std::u16string FromNarrowArg(const char* s) {
    return s == nullptr ? std::u16string() : tw::Utf8ToUtf16(std::string(s));
}

std::u16string KeyPathText(long long root, const std::vector<std::u16string>& path) {
    std::u16string out = root == RootIdOf(HKEY_LOCAL_MACHINE)   ? u"HKLM"
                         : root == RootIdOf(HKEY_CURRENT_USER)  ? u"HKCU"
                         : root == RootIdOf(HKEY_USERS)         ? u"HKU"
                         : root == RootIdOf(HKEY_CLASSES_ROOT)  ? u"HKCR"
                                                                : u"HKCC";
    for (const auto& name : path)
        out += u"\\" + name;
    return out;
}

} // namespace tw::reg

namespace {

HKEY newHandle(OpenKey key) {
    uintptr_t h = handles().next;
    handles().next += 4;
    handles().keys.emplace(h, std::move(key));
    return reinterpret_cast<HKEY>(h);
}

REGSAM granted(REGSAM sam) {
    REGSAM a = sam & ~static_cast<REGSAM>(KEY_WOW64_RES);
    if (a & GENERIC_READ)
        a |= KEY_READ;
    if (a & GENERIC_WRITE)
        a |= KEY_WRITE;
    if (a & GENERIC_EXECUTE)
        a |= KEY_EXECUTE;
    if (a & (GENERIC_ALL | MAXIMUM_ALLOWED))
        a |= kFullAccess;
    return a;
}

DWORD viewOf(REGSAM sam, bool& is32) {
    if ((sam & KEY_WOW64_RES) == KEY_WOW64_RES)
        return ERROR_INVALID_PARAMETER;
    if (sam & KEY_WOW64_32KEY)
        is32 = true;
    else if (sam & KEY_WOW64_64KEY)
        is32 = false;
    else
        is32 = g_processIs64.load() == 0;
    return 0;
}

bool hostIsAmd64() {
    static const bool amd64 = [] {
        struct utsname u;
        return uname(&u) == 0 && strcmp(u.machine, "x86_64") == 0;
    }();
    return amd64;
}

// Inside a transaction: what the stored machine profile says, else the host.
// Every open below HKLM\SOFTWARE in the 32-bit view asks; the answer is kept
// while the store has not changed.
DWORD machineIsAmd64(bool& amd64) {
    static const std::vector<std::u16string> kEnv = {u"SYSTEM", u"CurrentControlSet", u"Control",
                                                     u"Session Manager", u"Environment"};
    static unsigned long long knownGeneration = 0;
    static bool knownAnswer = false;
    const unsigned long long generation = ReadCacheGeneration();
    if (generation != 0 && generation == knownGeneration) {
        amd64 = knownAnswer;
        return 0;
    }
    amd64 = hostIsAmd64();
    long long id = 0;
    if (DWORD rc = WalkPath(kHklmId, kEnv, id))
        return rc;
    StoredValue v;
    bool found = false;
    if (DWORD rc = id != 0 ? FindValue(id, u"PROCESSOR_ARCHITECTURE", found, v) : 0)
        return rc;
    if (found && (v.type == REG_SZ || v.type == REG_EXPAND_SZ)) {
        std::u16string text = FromLeBytes(v.data);
        text = text.substr(0, text.find(u'\0'));
        amd64 = FoldName(text) == u"AMD64";
    } else {
        tw::NoteAssumption(u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment",
                           u"PROCESSOR_ARCHITECTURE", amd64 ? u"AMD64" : u"not AMD64",
                           tw::AssumedFrom::Host);
    }
    knownGeneration = generation;
    knownAnswer = amd64;
    return 0;
}

// Splits a subkey path into names. A leading backslash or an empty name in
// the middle is a bad path; one trailing backslash is allowed, as on Windows.
DWORD splitPath(const std::u16string& sub, size_t baseDepth, std::vector<std::u16string>& out) {
    if (sub.empty())
        return 0;
    if (sub[0] == u'\\')
        return ERROR_BAD_PATHNAME;
    size_t start = 0;
    while (start < sub.size()) {
        size_t end = sub.find(u'\\', start);
        if (end == std::u16string::npos)
            end = sub.size();
        if (end == start)
            return ERROR_BAD_PATHNAME;
        if (end - start > kMaxKeyComponent)
            return ERROR_INVALID_PARAMETER;
        out.push_back(sub.substr(start, end - start));
        if (baseDepth + out.size() > kMaxDepth)
            return ERROR_INVALID_PARAMETER;
        start = end + 1;
    }
    return 0;
}

// Where parent + names lands in the chosen view: the full path below the
// root, and the key and position to start walking from. A 32-bit view of an
// AMD64 machine sends HKLM\SOFTWARE\... to HKLM\SOFTWARE\WOW6432Node\...
struct Target {
    std::vector<std::u16string> path;
    long long startId = 0;
    size_t startIndex = 0;
};

DWORD target(const OpenKey& parent, const std::vector<std::u16string>& names, bool is32,
             Target& t) {
    t.path = parent.path;
    t.path.insert(t.path.end(), names.begin(), names.end());
    t.startId = parent.id;
    t.startIndex = parent.path.size();
    // No names: the handle's own key, whatever the view.
    if (names.empty() || !is32 || parent.root != kHklmId || t.path.empty() ||
        FoldName(t.path[0]) != u"SOFTWARE")
        return 0;
    if (t.path.size() >= 2 && FoldName(t.path[1]) == u"WOW6432NODE")
        return 0;
    bool amd64 = false;
    if (DWORD rc = machineIsAmd64(amd64))
        return rc;
    if (!amd64)
        return 0;
    t.path.insert(t.path.begin() + 1, u"WOW6432Node");
    if (parent.path.size() > 1) {
        // The parent lies outside the redirected tree: walk from the root.
        t.startId = parent.root;
        t.startIndex = 0;
    }
    return 0;
}

// ---- the shared bodies of the A and W forms ----

DWORD openKey(HKEY key, const std::u16string& sub, REGSAM sam, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    bool is32 = false;
    if (DWORD rc = viewOf(sam, is32))
        return rc;
    OpenKey parent;
    if (DWORD rc = LookupKey(key, parent))
        return rc;
    if (sub.empty() && RootIdOf(key) != 0) {
        *result = key; // predefined keys hand back themselves
        return 0;
    }
    std::vector<std::u16string> names;
    if (DWORD rc = splitPath(sub, parent.path.size(), names))
        return rc;
    Txn txn(false);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(parent))
        return rc;
    Target t;
    if (DWORD rc = target(parent, names, is32, t))
        return rc;
    long long id = 0;
    std::vector<std::u16string> rest(t.path.begin() + t.startIndex, t.path.end());
    if (DWORD rc = WalkPath(t.startId, rest, id))
        return rc;
    if (id == 0)
        return ERROR_FILE_NOT_FOUND;
    if (DWORD rc = txn.commit())
        return rc;
    OpenKey k;
    k.id = id;
    k.root = parent.root;
    k.path = std::move(t.path);
    k.access = granted(sam);
    *result = newHandle(std::move(k));
    return 0;
}

DWORD createKey(HKEY key, const std::u16string* sub, REGSAM sam, PHKEY result,
                LPDWORD disposition) {
    if (result == nullptr || sub == nullptr)
        return ERROR_INVALID_PARAMETER;
    bool is32 = false;
    if (DWORD rc = viewOf(sam, is32))
        return rc;
    OpenKey parent;
    if (DWORD rc = LookupKey(key, parent))
        return rc;
    std::vector<std::u16string> names;
    if (DWORD rc = splitPath(*sub, parent.path.size(), names))
        return rc;
    Txn txn(true);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(parent))
        return rc;
    Target t;
    if (DWORD rc = target(parent, names, is32, t))
        return rc;
    long long id = t.startId;
    bool created = false;
    for (size_t i = t.startIndex; i < t.path.size(); ++i) {
        long long child = 0;
        if (DWORD rc = FindChild(id, t.path[i], child))
            return rc;
        if (child == 0) {
            // HKLM holds the machine's hives only; Windows refuses new keys there.
            if (id == kHklmId)
                return ERROR_ACCESS_DENIED;
            if (DWORD rc = CreateChild(id, t.path[i], child))
                return rc;
            created = true;
        }
        id = child;
    }
    if (DWORD rc = txn.commit())
        return rc;
    OpenKey k;
    k.id = id;
    k.root = parent.root;
    k.path = std::move(t.path);
    k.access = granted(sam);
    *result = newHandle(std::move(k));
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return 0;
}

DWORD deleteKey(HKEY key, const std::u16string* sub, REGSAM sam) {
    if (sub == nullptr)
        return ERROR_INVALID_PARAMETER;
    bool is32 = false;
    if (DWORD rc = viewOf(sam, is32))
        return rc;
    OpenKey parent;
    if (DWORD rc = LookupKey(key, parent))
        return rc;
    std::vector<std::u16string> names;
    if (DWORD rc = splitPath(*sub, parent.path.size(), names))
        return rc;
    Txn txn(true);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(parent))
        return rc;
    long long id = 0;
    std::vector<std::u16string> path;
    if (names.empty()) {
        // An empty name deletes the handle's own key, which needs DELETE access.
        if ((parent.access & DELETE) == 0)
            return ERROR_ACCESS_DENIED;
        id = parent.id;
        path = parent.path;
    } else {
        Target t;
        if (DWORD rc = target(parent, names, is32, t))
            return rc;
        std::vector<std::u16string> rest(t.path.begin() + t.startIndex, t.path.end());
        if (DWORD rc = WalkPath(t.startId, rest, id))
            return rc;
        if (id == 0)
            return ERROR_FILE_NOT_FOUND;
        path = std::move(t.path);
    }
    // Roots, the hives right below HKLM and the home of the 32-bit view stay.
    bool machine = parent.root == kHklmId;
    if (path.empty() || (machine && path.size() == 1) ||
        (machine && path.size() == 2 && FoldName(path[0]) == u"SOFTWARE" &&
         FoldName(path[1]) == u"WOW6432NODE"))
        return ERROR_ACCESS_DENIED;
    bool has = false;
    if (DWORD rc = HasChildren(id, has))
        return rc;
    if (has)
        return ERROR_ACCESS_DENIED;
    if (DWORD rc = DeleteKeyRow(id))
        return rc;
    if (DWORD rc = txn.commit())
        return rc;
    if (tw::RunReportWanted())
        tw::NoteKeyDeleted(KeyPathText(parent.root, path));
    return 0;
}

template <typename C>
DWORD enumKey(HKEY key, DWORD index, C* name, LPDWORD nameSize, LPDWORD reserved, C* cls,
              LPDWORD clsSize, PFILETIME lastWrite) {
    if (name == nullptr || nameSize == nullptr || reserved != nullptr ||
        (cls != nullptr && clsSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    OpenKey k;
    if (DWORD rc = LookupKey(key, k))
        return rc;
    if ((k.access & KEY_ENUMERATE_SUB_KEYS) == 0)
        return ERROR_ACCESS_DENIED;
    Txn txn(false);
    if (txn.rc())
        return txn.rc();
    if (DWORD rc = CheckAlive(k))
        return rc;
    bool found = false;
    std::u16string child;
    long long written = 0;
    EnumCursor& cursor = handles().subkeyCursors[reinterpret_cast<uintptr_t>(key)];
    if (DWORD rc = ChildAt(k.id, index, cursor, found, child, written))
        return rc;
    if (!found)
        return ERROR_NO_MORE_ITEMS;
    txn.commit();
    std::basic_string<C> out;
    if constexpr (sizeof(C) == 1)
        out = tw::Utf16ToUtf8(child);
    else
        out.assign(child.begin(), child.end());
    if (!NameFits(out, *nameSize) || (cls != nullptr && *clsSize == 0))
        return ERROR_MORE_DATA;
    CopyName(out, name, nameSize);
    if (cls != nullptr)
        cls[0] = 0; // keys carry no class here
    if (clsSize != nullptr)
        *clsSize = 0;
    if (lastWrite != nullptr)
        *lastWrite = ToFileTime(written);
    return 0;
}

} // namespace

namespace tw {

bool MachineIsAmd64() {
    try {
        LockGuard lock;
        Txn txn(false);
        bool amd64 = hostIsAmd64();
        if (txn.rc() == 0 && machineIsAmd64(amd64) == 0)
            return amd64;
        return hostIsAmd64();
    } catch (...) {
        return hostIsAmd64();
    }
}

} // namespace tw

extern "C" {

void TwLinuxSetProcessIs64Bit(int is64) {
    g_processIs64.store(is64 != 0 ? 1 : 0);
}
int TwLinuxProcessIs64Bit(void) {
    return g_processIs64.load();
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
    return Guarded([&] { return openKey(key, FromWideArg(subKey), sam, result); });
}

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
    return Guarded([&] { return openKey(key, FromNarrowArg(subKey), sam, result); });
}

LSTATUS RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    return Guarded([&]() -> DWORD {
        if (result == nullptr)
            return ERROR_INVALID_PARAMETER;
        if (subKey == nullptr || *subKey == '\0') {
            // The old form hands back the very handle it was given.
            OpenKey k;
            if (DWORD rc = LookupKey(key, k))
                return rc;
            *result = key;
            return 0;
        }
        return openKey(key, FromNarrowArg(subKey), MAXIMUM_ALLOWED, result);
    });
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR cls, DWORD options,
                        REGSAM sam, const SECURITY_ATTRIBUTES* sa, PHKEY result,
                        LPDWORD disposition) {
    return Guarded([&] {
        std::u16string sub = FromWideArg(subKey);
        return createKey(key, subKey != nullptr ? &sub : nullptr, sam, result, disposition);
    });
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options,
                        REGSAM sam, const SECURITY_ATTRIBUTES* sa, PHKEY result,
                        LPDWORD disposition) {
    return Guarded([&] {
        std::u16string sub = FromNarrowArg(subKey);
        return createKey(key, subKey != nullptr ? &sub : nullptr, sam, result, disposition);
    });
}

LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM sam, DWORD reserved) {
    return Guarded([&] {
        std::u16string sub = FromWideArg(subKey);
        return deleteKey(key, subKey != nullptr ? &sub : nullptr, sam & KEY_WOW64_RES);
    });
}

LSTATUS RegDeleteKeyExA(HKEY key, LPCSTR subKey, REGSAM sam, DWORD reserved) {
    return Guarded([&] {
        std::u16string sub = FromNarrowArg(subKey);
        return deleteKey(key, subKey != nullptr ? &sub : nullptr, sam & KEY_WOW64_RES);
    });
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    return RegDeleteKeyExW(key, subKey, 0, 0);
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    return RegDeleteKeyExA(key, subKey, 0, 0);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved,
                      LPWSTR cls, LPDWORD clsSize, PFILETIME lastWrite) {
    return Guarded(
        [&] { return enumKey(key, index, name, nameSize, reserved, cls, clsSize, lastWrite); });
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                      LPSTR cls, LPDWORD clsSize, PFILETIME lastWrite) {
    return Guarded(
        [&] { return enumKey(key, index, name, nameSize, reserved, cls, clsSize, lastWrite); });
}

LSTATUS RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    DWORD size = nameSize;
    return RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR cls, LPDWORD clsSize, LPDWORD reserved, LPDWORD subKeys,
                         LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                         LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptor,
                         PFILETIME lastWrite) {
    return Guarded([&]() -> DWORD {
        if (reserved != nullptr || (cls != nullptr && clsSize == nullptr))
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
        KeyInfo info;
        if (DWORD rc = QueryKeyInfo(k.id, info))
            return rc;
        txn.commit();
        if (cls != nullptr && *clsSize == 0)
            return ERROR_MORE_DATA;
        if (cls != nullptr)
            cls[0] = 0;
        if (clsSize != nullptr)
            *clsSize = 0;
        if (subKeys != nullptr)
            *subKeys = info.subKeys;
        if (maxSubKeyLen != nullptr)
            *maxSubKeyLen = info.maxSubKeyLen;
        if (maxClassLen != nullptr)
            *maxClassLen = 0;
        if (values != nullptr)
            *values = info.values;
        if (maxValueNameLen != nullptr)
            *maxValueNameLen = info.maxValueNameLen;
        if (maxValueLen != nullptr)
            *maxValueLen = info.maxValueLen;
        if (securityDescriptor != nullptr)
            *securityDescriptor = 0; // no security descriptors are kept
        if (lastWrite != nullptr)
            *lastWrite = ToFileTime(info.written);
        return 0;
    });
}

LSTATUS RegCloseKey(HKEY key) {
    return Guarded([&]() -> DWORD {
        if (RootIdOf(key) != 0)
            return 0;
        const auto h = reinterpret_cast<uintptr_t>(key);
        handles().subkeyCursors.erase(h);
        handles().valueCursors.erase(h);
        return handles().keys.erase(h) != 0 ? 0 : ERROR_INVALID_HANDLE;
    });
}

} // extern "C"
