// Reading the machine profile (the values a Windows machine keeps about
// itself) from the registry store, and name comparison.
#include "kernel32/machine_profile.h"

#include "advapi32/registry_store.h"

#include <memory>
#include <vector>

namespace tw {

namespace {

const DWORD kMaxValueBytes = 64 * 1024;

// The snapshot the calling thread reads in, if any.
thread_local reg::Txn* t_snapshot = nullptr;
thread_local int t_snapshotDepth = 0;

std::vector<std::u16string> splitKey(const char16_t* key) {
    std::vector<std::u16string> names;
    std::u16string k = key;
    size_t start = 0;
    while (start <= k.size()) {
        size_t end = k.find(u'\\', start);
        if (end == std::u16string::npos)
            end = k.size();
        if (end > start)
            names.push_back(k.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

// Reads a value's raw bytes below HKLM, in one read of the store (or in the
// thread's snapshot); false when missing, unreadable or too large. The store
// is read directly: one transaction per value, not the three of an open and
// two queries through the registry API.
bool readRaw(const char16_t* key, const char16_t* value, DWORD& type, std::vector<BYTE>& data) {
    reg::LockGuard lock;
    std::unique_ptr<reg::Txn> own;
    if (t_snapshot == nullptr) {
        own = std::make_unique<reg::Txn>(false);
        if (own->rc() != 0)
            return false;
    }
    long long id = 0;
    if (reg::WalkPath(reg::kHklmId, splitKey(key), id) != 0 || id == 0)
        return false;
    reg::StoredValue v;
    bool found = false;
    if (reg::FindValue(id, value, found, v) != 0 || !found || v.data.size() > kMaxValueBytes)
        return false;
    type = v.type;
    data.assign(v.data.begin(), v.data.end());
    if (own)
        own->commit();
    return true;
}

std::u16string utf16FromBytes(const std::vector<BYTE>& data) {
    std::u16string s;
    s.reserve(data.size() / 2);
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return s;
}

} // namespace

ProfileSnapshot::ProfileSnapshot() {
    reg::Lock();
    if (t_snapshotDepth++ != 0)
        return;
    // Without a snapshot each read tries on its own.
    try {
        auto txn = std::make_unique<reg::Txn>(false);
        if (txn->rc() == 0) {
            t_snapshot = txn.get();
            txn_ = txn.release();
        }
    } catch (...) {
    }
}

ProfileSnapshot::~ProfileSnapshot() {
    if (txn_ != nullptr) {
        auto* txn = static_cast<reg::Txn*>(txn_);
        txn->commit();
        delete txn;
        t_snapshot = nullptr;
    }
    --t_snapshotDepth;
    reg::Unlock();
}

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
