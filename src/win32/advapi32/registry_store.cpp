// The registry's rows over the connection of registry_db.cpp: keys and
// values, enumeration cursors, transactions and batches.
//
// Names are kept as UTF-16LE exactly as given (original case); `fold` is the
// upper-cased name as UTF-16BE, so that comparing its bytes compares names
// without case and sorts them in code-unit order, as Windows enumerates.
// Value rows keep their id when overwritten, so enumeration follows creation.
//
// What a process reads is kept in a small cache (key lookups, values) for as
// long as nobody has changed the database: each read transaction asks SQLite
// whether another connection committed since (PRAGMA data_version), and every
// write of this process empties it. A run reads the same few keys many times
// over; this keeps them from costing a query each.
#include "advapi32/registry_store.h"

#include "advapi32/registry_api.h"
#include "advapi32/registry_db.h"
#include "kernel32/systime.h"

#include <sqlite3.h>
#include <string.h>

#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace tw::reg {

namespace {

// Bounds of the read cache: entries, and the largest value it keeps.
const size_t kMaxCacheEntries = 4096;
const size_t kMaxCachedValue = 4096;

struct ReadCache {
    bool active = false;        // inside a read transaction that may use it
    long long dataVersion = -1; // of the snapshot the entries come from
    std::unordered_map<std::string, long long> children; // parent id + folded name
    std::unordered_map<std::string, std::optional<StoredValue>> values;
    std::unordered_set<long long> keys; // known to exist
    unsigned long long generation = 1;  // grows whenever the entries are dropped

    void clear() {
        children.clear();
        values.clear();
        keys.clear();
        dataVersion = -1;
        ++generation;
    }
    bool full() const { return children.size() + values.size() + keys.size() >= kMaxCacheEntries; }
};
ReadCache g_cache;

char16_t foldNameChar(char16_t c);

// The folded name as UTF-16BE, after `prefix` bytes of room.
std::string foldBytes(const std::u16string& name, size_t prefix = 0) {
    std::string out(prefix + name.size() * 2, '\0');
    char* p = out.data() + prefix;
    for (char16_t c : name) {
        c = foldNameChar(c);
        *p++ = static_cast<char>(c >> 8);
        *p++ = static_cast<char>(c & 0xff);
    }
    return out;
}

} // namespace

void Lock() {
    RegistryMutex().lock();
}
void Unlock() {
    RegistryMutex().unlock();
}

long long RootIdOf(HKEY key) {
    if (key == HKEY_CLASSES_ROOT)
        return 1;
    if (key == HKEY_CURRENT_USER)
        return 2;
    if (key == HKEY_LOCAL_MACHINE)
        return kHklmId;
    if (key == HKEY_USERS)
        return 4;
    if (key == HKEY_CURRENT_CONFIG)
        return 6;
    return 0;
}

namespace {

// Windows upper-cases with a full Unicode table; this covers the scripts that
// appear in registry names in practice: ASCII, Latin-1, Latin Extended-A,
// Greek, Cyrillic and the full-width Latin letters.
char16_t foldNameChar(char16_t c) {
    if (c < 0x80) {
        if (c >= u'a' && c <= u'z')
            c -= 0x20;
    } else if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        c -= 0x20;
    } else if (c == 0xFF) {
        c = 0x178;
    } else if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
        c &= ~1;
    } else if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
        if ((c & 1) == 0)
            c -= 1;
    } else if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) {
        c -= 0x20;
    } else if (c == 0x3C2) {
        c = 0x3A3;
    } else if (c >= 0x430 && c <= 0x44F) {
        c -= 0x20;
    } else if (c >= 0x450 && c <= 0x45F) {
        c -= 0x50;
    } else if (c >= 0xFF41 && c <= 0xFF5A) {
        c -= 0x20;
    }
    return c;
}

} // namespace

std::u16string FoldName(const std::u16string& name) {
    std::u16string out(name);
    for (char16_t& c : out)
        c = foldNameChar(c);
    return out;
}

std::string ToLeBytes(const std::u16string& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xff);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

std::u16string FromLeBytes(const std::string& bytes) {
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return out;
}

FILETIME ToFileTime(long long unixMillis) {
    unsigned long long t =
        (static_cast<unsigned long long>(unixMillis) + 11644473600000ULL) * 10000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(t & 0xffffffffu);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    return ft;
}

namespace {

// Runs one of the transaction statements, prepared once: a registry call
// makes two of them, and parsing them each time cost more than the call.
DWORD step(const char* sql) {
    Stmt s(sql);
    s.row();
    return s.error();
}

// Inside a read transaction: empties the cache when another connection has
// committed since its entries were read.
void validateCache() {
    Stmt s("PRAGMA data_version");
    long long version = s.row() ? s.col64(0) : -1;
    if (s.error() != 0 || version < 0) {
        g_cache.clear();
        return;
    }
    if (version != g_cache.dataVersion || g_cache.full()) {
        g_cache.clear();
        g_cache.dataVersion = version;
    }
    g_cache.active = true;
}

// A cache key: the id's bytes, then the folded name, which the query binds.
std::string cacheKey(long long id, const std::u16string& name) {
    std::string k = foldBytes(name, sizeof id);
    memcpy(k.data(), &id, sizeof id);
    return k;
}

} // namespace

void DropReadCache() {
    g_cache.clear();
}

DWORD AddPredefinedKeys() {
    // Fixed ids for the predefined roots; their names are for a human reading the file.
    struct {
        long long id;
        const char16_t* name;
    } roots[] = {{1, u"HKEY_CLASSES_ROOT"},
                 {2, u"HKEY_CURRENT_USER"},
                 {kHklmId, u"HKEY_LOCAL_MACHINE"},
                 {4, u"HKEY_USERS"},
                 {6, u"HKEY_CURRENT_CONFIG"}};
    long long now = NowUnixMillis();
    for (auto& r : roots) {
        Stmt s("INSERT OR IGNORE INTO keys(id, parent, name, fold, written) VALUES(?1, 0, ?2, "
               "?3, ?4)");
        s.bind(1, r.id).bindBlob(2, ToLeBytes(r.name)).bindBlob(3, foldBytes(r.name)).bind(4, now);
        s.row();
        if (s.error())
            return s.error();
    }
    // The keys every Windows machine has, so that the redirected view and the
    // usual paths open as they do there.
    const std::vector<std::pair<long long, std::vector<std::u16string>>> base = {
        {kHklmId, {u"SOFTWARE", u"WOW6432Node"}},
        {kHklmId, {u"SYSTEM"}},
        {kHklmId, {u"HARDWARE"}},
        {2, {u"Software"}},
    };
    for (auto& [root, path] : base) {
        long long id = root;
        for (auto& comp : path) {
            long long child = 0;
            if (DWORD rc = FindChild(id, comp, child))
                return rc;
            if (child == 0) {
                if (DWORD rc = CreateChild(id, comp, child))
                    return rc;
            }
            id = child;
        }
    }
    return 0;
}

Txn::Txn(bool write) {
    rc_ = OpenDb();
    if (rc_ != 0)
        return;
    g_cache.active = false;
    if (g_conn.batch) {
        rc_ = step("SAVEPOINT call");
        savepoint_ = true;
    } else {
        rc_ = step(write ? "BEGIN IMMEDIATE" : "BEGIN");
    }
    active_ = rc_ == 0;
    // Writes (and a batch, which writes) change what the cache holds.
    if (write || g_conn.batch)
        g_cache.clear();
    else if (active_)
        validateCache();
}

Txn::~Txn() {
    g_cache.active = false;
    if (!active_)
        return;
    if (savepoint_) {
        step("ROLLBACK TO call");
        step("RELEASE call");
    } else {
        step("ROLLBACK");
    }
}

DWORD Txn::commit() {
    g_cache.active = false;
    if (!active_)
        return rc_ != 0 ? rc_ : ERROR_REGISTRY_IO_FAILED;
    DWORD rc = step(savepoint_ ? "RELEASE call" : "COMMIT");
    if (rc == 0)
        active_ = false;
    return rc; // on failure the destructor rolls back
}

unsigned long long ReadCacheGeneration() {
    return g_cache.active ? g_cache.generation : 0;
}

DWORD KeyExists(long long id, bool& exists) {
    if (g_cache.active && g_cache.keys.count(id) != 0) {
        exists = true;
        return 0;
    }
    Stmt s("SELECT 1 FROM keys WHERE id = ?1");
    s.bind(1, id);
    exists = s.row();
    if (s.error() == 0 && exists && g_cache.active)
        g_cache.keys.insert(id);
    return s.error();
}

DWORD FindChild(long long parent, const std::u16string& name, long long& child) {
    std::string key = cacheKey(parent, name);
    if (g_cache.active) {
        auto it = g_cache.children.find(key);
        if (it != g_cache.children.end()) {
            child = it->second;
            return 0;
        }
    }
    Stmt s("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
    s.bind(1, parent).bindBlob(2, key.data() + sizeof parent, key.size() - sizeof parent);
    child = s.row() ? s.col64(0) : 0;
    if (s.error() == 0 && g_cache.active)
        g_cache.children.emplace(std::move(key), child);
    return s.error();
}

DWORD CreateChild(long long parent, const std::u16string& name, long long& child) {
    Stmt s("INSERT INTO keys(parent, name, fold, written) VALUES(?1, ?2, ?3, ?4)");
    s.bind(1, parent).bindBlob(2, ToLeBytes(name)).bindBlob(3, foldBytes(name));
    s.bind(4, NowUnixMillis());
    s.row();
    if (s.error())
        return s.error();
    child = sqlite3_last_insert_rowid(g_conn.db);
    return 0;
}

DWORD HasChildren(long long id, bool& has) {
    Stmt s("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
    s.bind(1, id);
    has = s.row();
    return s.error();
}

DWORD DeleteKeyRow(long long id) {
    {
        Stmt s("DELETE FROM vals WHERE key = ?1");
        s.bind(1, id);
        s.row();
        if (s.error())
            return s.error();
    }
    Stmt s("DELETE FROM keys WHERE id = ?1");
    s.bind(1, id);
    s.row();
    return s.error();
}

namespace {

// What the store looks like now: another process's commit changes the data
// version, this connection's writes its change count, a new connection (a
// reopen, a fork) both. A cursor taken at another state is not used.
void stateOf(EnumCursor& c) {
    Stmt s("PRAGMA data_version");
    c.dataVersion = s.row() ? s.col64(0) : -1;
    c.changes = sqlite3_total_changes64(g_conn.db);
    c.connection = g_conn.number;
}

// Whether the item at `index` can be found from the cursor: the same item
// again (a caller retrying with a larger buffer) or the one after it.
bool follows(const EnumCursor& c, DWORD index, bool& same) {
    EnumCursor now;
    stateOf(now);
    if (!c.valid || c.dataVersion != now.dataVersion || c.changes != now.changes ||
        c.connection != now.connection)
        return false;
    same = index == c.index;
    return same || (c.index != 0xFFFFFFFFu && index == c.index + 1);
}

} // namespace

DWORD ChildAt(long long parent, DWORD index, EnumCursor& cursor, bool& found,
              std::u16string& name, long long& written) {
    bool same = false;
    const bool near = follows(cursor, index, same);
    const char* sql =
        !near  ? "SELECT name, written, fold FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 "
                 "OFFSET ?2"
        : same ? "SELECT name, written, fold FROM keys WHERE parent = ?1 AND fold >= ?2 ORDER BY "
                 "fold LIMIT 1"
               : "SELECT name, written, fold FROM keys WHERE parent = ?1 AND fold > ?2 ORDER BY "
                 "fold LIMIT 1";
    Stmt s(sql);
    s.bind(1, parent);
    if (near)
        s.bindBlob(2, cursor.fold);
    else
        s.bind(2, index);
    found = s.row();
    cursor.valid = false;
    if (found) {
        name = FromLeBytes(s.colBytes(0));
        written = s.col64(1);
        cursor.fold = s.colBytes(2);
        cursor.index = index;
        stateOf(cursor);
        cursor.valid = true;
    }
    return s.error();
}

DWORD FindValue(long long key, const std::u16string& name, bool& found, StoredValue& out) {
    std::string ck = cacheKey(key, name);
    if (g_cache.active) {
        auto it = g_cache.values.find(ck);
        if (it != g_cache.values.end()) {
            found = it->second.has_value();
            if (found)
                out = *it->second;
            return 0;
        }
    }
    Stmt s("SELECT name, type, data, host FROM vals WHERE key = ?1 AND fold = ?2");
    s.bind(1, key).bindBlob(2, ck.data() + sizeof key, ck.size() - sizeof key);
    found = s.row();
    if (found) {
        out.name = FromLeBytes(s.colBytes(0));
        out.type = static_cast<DWORD>(s.col64(1));
        out.data = s.colBytes(2);
        out.host = s.col64(3) != 0;
    }
    if (s.error() == 0 && g_cache.active && (!found || out.data.size() <= kMaxCachedValue))
        g_cache.values.emplace(std::move(ck),
                               found ? std::optional<StoredValue>(out) : std::nullopt);
    return s.error();
}

DWORD TouchKey(long long key) {
    Stmt s("UPDATE keys SET written = ?2 WHERE id = ?1");
    s.bind(1, key).bind(2, NowUnixMillis());
    s.row();
    return s.error();
}

DWORD SetValue(long long key, const std::u16string& name, DWORD type, const void* data, size_t size,
               bool host) {
    {
        // An existing value keeps its row (its place in the enumeration) and its name's case.
        Stmt s("INSERT INTO vals(key, name, fold, type, data, host) VALUES(?1, ?2, ?3, ?4, ?5, ?6) "
               "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data, "
               "host = excluded.host");
        s.bind(1, key).bindBlob(2, ToLeBytes(name)).bindBlob(3, foldBytes(name));
        s.bind(4, type).bindBlob(5, data, size).bind(6, host ? 1 : 0);
        s.row();
        if (s.error())
            return s.error();
    }
    return TouchKey(key);
}

DWORD DeleteValue(long long key, const std::u16string& name, bool& found) {
    {
        Stmt s("DELETE FROM vals WHERE key = ?1 AND fold = ?2");
        s.bind(1, key).bindBlob(2, foldBytes(name));
        s.row();
        if (s.error())
            return s.error();
    }
    found = sqlite3_changes(g_conn.db) > 0;
    return found ? TouchKey(key) : 0;
}

DWORD ValueAt(long long key, DWORD index, EnumCursor& cursor, bool& found, StoredValue& out) {
    bool same = false;
    const bool near = follows(cursor, index, same);
    Stmt s(near ? "SELECT name, type, data, host, id FROM vals WHERE key = ?1 AND id >= ?2 "
                  "ORDER BY id LIMIT 1"
                : "SELECT name, type, data, host, id FROM vals WHERE key = ?1 ORDER BY id "
                  "LIMIT 1 OFFSET ?2");
    s.bind(1, key).bind(2, near ? cursor.id + (same ? 0 : 1) : index);
    found = s.row();
    cursor.valid = false;
    if (found) {
        out.name = FromLeBytes(s.colBytes(0));
        out.type = static_cast<DWORD>(s.col64(1));
        out.data = s.colBytes(2);
        out.host = s.col64(3) != 0;
        cursor.id = s.col64(4);
        cursor.index = index;
        stateOf(cursor);
        cursor.valid = true;
    }
    return s.error();
}

DWORD QueryKeyInfo(long long key, KeyInfo& info) {
    {
        Stmt s("SELECT COUNT(*), IFNULL(MAX(length(name)), 0) FROM keys WHERE parent = ?1");
        s.bind(1, key);
        if (s.row()) {
            info.subKeys = static_cast<DWORD>(s.col64(0));
            info.maxSubKeyLen = static_cast<DWORD>(s.col64(1) / 2);
        }
        if (s.error())
            return s.error();
    }
    {
        Stmt s("SELECT COUNT(*), IFNULL(MAX(length(name)), 0), IFNULL(MAX(length(data)), 0) "
               "FROM vals WHERE key = ?1");
        s.bind(1, key);
        if (s.row()) {
            info.values = static_cast<DWORD>(s.col64(0));
            info.maxValueNameLen = static_cast<DWORD>(s.col64(1) / 2);
            info.maxValueLen = static_cast<DWORD>(s.col64(2));
        }
        if (s.error())
            return s.error();
    }
    Stmt s("SELECT written FROM keys WHERE id = ?1");
    s.bind(1, key);
    if (s.row())
        info.written = s.col64(0);
    return s.error();
}

DWORD HostValueNames(long long key, std::vector<std::u16string>& names) {
    Stmt s("SELECT name FROM vals WHERE key = ?1 AND host = 1");
    s.bind(1, key);
    while (s.row())
        names.push_back(FromLeBytes(s.colBytes(0)));
    return s.error();
}

DWORD WalkPath(long long start, const std::vector<std::u16string>& path, long long& id) {
    id = start;
    for (const auto& comp : path) {
        long long child = 0;
        if (DWORD rc = FindChild(id, comp, child))
            return rc;
        id = child;
        if (id == 0)
            break;
    }
    return 0;
}

void CloseStore() {
    CloseConnection();
    ForgetAllHandles();
}

} // namespace tw::reg

namespace tw {

DWORD RegistryBeginBatch() {
    reg::Lock();
    if (reg::g_conn.batch) {
        reg::Unlock();
        return ERROR_INVALID_FUNCTION;
    }
    DWORD rc = reg::OpenDb();
    if (rc == 0)
        rc = reg::Exec("BEGIN IMMEDIATE");
    reg::g_cache.clear();
    if (rc != 0) {
        reg::Unlock();
        return rc;
    }
    reg::g_conn.batch = true;
    return 0; // the lock stays held until RegistryEndBatch
}

DWORD RegistryEndBatch(bool commit) {
    reg::Lock();
    if (!reg::g_conn.batch || reg::g_conn.db == nullptr) {
        reg::Unlock();
        return ERROR_INVALID_FUNCTION;
    }
    DWORD rc = 0;
    if (commit) {
        rc = reg::Exec("COMMIT");
        if (rc != 0)
            reg::Exec("ROLLBACK");
    } else {
        reg::Exec("ROLLBACK");
    }
    reg::g_conn.batch = false;
    reg::Unlock(); // this call's own lock
    reg::Unlock(); // the one RegistryBeginBatch kept
    return rc;
}

} // namespace tw

extern "C" {

void TwLinuxRegistryReopen(void) {
    try {
        tw::reg::LockGuard lock;
        tw::reg::CloseStore();
    } catch (...) {
    }
}

LSTATUS TwLinuxRegistryBeginBatch(void) {
    return static_cast<LSTATUS>(tw::RegistryBeginBatch());
}

LSTATUS TwLinuxRegistryEndBatch(BOOL commit) {
    return static_cast<LSTATUS>(tw::RegistryEndBatch(commit != FALSE));
}

void TwLinuxRegistryFoldName(WCHAR* name, size_t length) {
    for (size_t i = 0; i < length; ++i)
        name[i] = tw::reg::foldNameChar(name[i]);
}

} // extern "C"
