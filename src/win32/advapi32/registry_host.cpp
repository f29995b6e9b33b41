// The volatile HARDWARE hive. Windows fills HKLM\HARDWARE at boot from the
// firmware; here the firmware's facts come from the kernel's DMI folder
// ($TW_DMI_DIR, default /sys/class/dmi/id), read when the database is opened:
//
//   HKLM\HARDWARE\DESCRIPTION\System\BIOS (REG_SZ values)
//     SystemManufacturer     <- sys_vendor
//     SystemProductName      <- product_name
//     SystemFamily           <- product_family
//     BIOSVendor             <- bios_vendor
//     BIOSVersion            <- bios_version
//     BIOSReleaseDate        <- bios_date
//     BaseBoardManufacturer  <- board_vendor
//     BaseBoardProduct       <- board_name
//
// Only files that exist give values. A value written to the database by
// anyone (RegSetValueEx, twreg import) takes precedence and is never touched
// again, so tests and example machines pin every fact. Host-filled values
// follow the host: changed when the file changes, removed when it vanishes.
#include "advapi32/registry_host.h"

#include "advapi32/registry_store.h"
#include "kernel32/text.h"

#include <stdio.h>
#include <stdlib.h>

#include <map>

namespace tw::reg {

namespace {

const std::vector<std::u16string> kBiosPath = {u"HARDWARE", u"DESCRIPTION", u"System", u"BIOS"};

struct DmiFact {
    const char* file;
    const char16_t* value;
};
const DmiFact kFacts[] = {
    {"sys_vendor", u"SystemManufacturer"},      {"product_name", u"SystemProductName"},
    {"product_family", u"SystemFamily"},        {"bios_vendor", u"BIOSVendor"},
    {"bios_version", u"BIOSVersion"},           {"bios_date", u"BIOSReleaseDate"},
    {"board_vendor", u"BaseBoardManufacturer"}, {"board_name", u"BaseBoardProduct"},
};

// DMI strings are short; anything longer is cut rather than trusted.
const size_t kMaxFactBytes = 1024;

bool readFact(const std::string& path, std::string& text) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    char buf[kMaxFactBytes];
    size_t n = fread(buf, 1, sizeof buf, f);
    bool ok = ferror(f) == 0;
    fclose(f);
    if (!ok)
        return false;
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ' ||
                     buf[n - 1] == '\t' || buf[n - 1] == '\0'))
        --n;
    text.assign(buf, n);
    return true;
}

// REG_SZ bytes: UTF-16LE with its terminator.
std::string regSz(const std::string& utf8) {
    std::u16string w = Utf8ToUtf16(utf8);
    std::string out;
    for (char16_t c : w) {
        out += static_cast<char>(c & 0xff);
        out += static_cast<char>(c >> 8);
    }
    out.append(2, '\0');
    return out;
}

struct Change {
    std::u16string name;
    std::string data; // empty with `remove` set: delete the value
    bool remove = false;
};

// What must change under the BIOS key (id 0: the key does not exist yet).
DWORD plan(long long bios, const std::map<std::u16string, std::string>& facts,
           std::vector<Change>& changes) {
    changes.clear();
    for (const auto& [name, data] : facts) {
        StoredValue v;
        bool found = false;
        if (bios != 0) {
            if (DWORD rc = FindValue(bios, name, found, v))
                return rc;
        }
        if (found && (!v.host || (v.type == REG_SZ && v.data == data)))
            continue;
        changes.push_back({name, data, false});
    }
    if (bios != 0) {
        std::vector<std::u16string> hostNames;
        if (DWORD rc = HostValueNames(bios, hostNames))
            return rc;
        for (const auto& name : hostNames) {
            if (facts.count(name) == 0)
                changes.push_back({name, std::string(), true});
        }
    }
    return 0;
}

} // namespace

void RefreshHostHive() {
    const char* env = getenv("TW_DMI_DIR");
    std::string dir = env != nullptr && *env != '\0' ? env : "/sys/class/dmi/id";
    std::map<std::u16string, std::string> facts;
    for (const auto& f : kFacts) {
        std::string text;
        if (readFact(dir + "/" + f.file, text))
            facts[f.value] = regSz(text);
    }

    std::vector<Change> changes;
    {
        // Most runs change nothing: find out without taking the write lock.
        Txn t(false);
        long long bios = 0;
        if (t.rc() != 0 || WalkPath(kHklmId, kBiosPath, bios) != 0)
            return;
        if (plan(bios, facts, changes) != 0 || changes.empty())
            return;
    }
    // Failures here leave the hive as it was; the registry itself still works.
    Txn t(true);
    if (t.rc() != 0)
        return;
    long long id = kHklmId;
    for (const auto& comp : kBiosPath) {
        long long child = 0;
        if (FindChild(id, comp, child) != 0)
            return;
        if (child == 0 && CreateChild(id, comp, child) != 0)
            return;
        id = child;
    }
    if (plan(id, facts, changes) != 0)
        return;
    for (const auto& c : changes) {
        bool found = false;
        DWORD rc = c.remove ? DeleteValue(id, c.name, found)
                            : SetValue(id, c.name, REG_SZ, c.data.data(), c.data.size(), true);
        if (rc != 0)
            return;
    }
    t.commit();
}

} // namespace tw::reg
