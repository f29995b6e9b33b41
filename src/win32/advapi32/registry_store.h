// The Linux registry store (registry_store.cpp, over the connection of
// registry_db.cpp): a SQLite database behind the Reg* functions, shared by
// registry_api.cpp, registry_values.cpp and registry_host.cpp (not part of
// the Win32 surface; tools reach batches through tw_linux.h).
#pragma once

#include <windows.h>
#include <tw_linux.h>

#include <string>
#include <vector>

namespace tw {

// Groups every registry call the calling thread makes until RegistryEndBatch
// into one transaction: all of them take effect or none does (twreg import).
// Other threads wait until the batch ends. Not nestable.
DWORD RegistryBeginBatch();
// Commits (commit true) or rolls back the batch. Returns the commit's result.
DWORD RegistryEndBatch(bool commit);

namespace reg {

// Limits, as Windows documents them.
constexpr size_t kMaxKeyComponent = TW_REG_MAX_KEY_NAME; // characters of one key name
constexpr size_t kMaxValueName = TW_REG_MAX_VALUE_NAME;  // characters of a value name
constexpr size_t kMaxDepth = 512;                        // levels below a root
// Far above anything an agent stores; keeps a bad size from exhausting memory.
constexpr size_t kMaxValueData = 16u << 20;

// Predefined roots, each a fixed row of the keys table.
long long RootIdOf(HKEY key); // 0 when `key` is not a predefined key
constexpr long long kHklmId = 3;

// One value as stored.
struct StoredValue {
    std::u16string name;
    DWORD type = 0;
    std::string data;  // raw bytes
    bool host = false; // filled from the host, not written by anyone
};

// Windows compares registry names by upper-casing them.
std::u16string FoldName(const std::u16string& name);

// Names and string data are stored as UTF-16LE bytes; an odd last byte is
// dropped when read back.
std::string ToLeBytes(const std::u16string& text);
std::u16string FromLeBytes(const std::string& bytes);

// A transaction on the store. The constructor opens the database when needed
// and begins (BEGIN IMMEDIATE for writers, a savepoint inside a batch); `rc`
// is non-zero when that failed. Destruction without commit() rolls back.
// The registry lock must be held (see Lock()).
class Txn {
  public:
    explicit Txn(bool write);
    ~Txn();
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    DWORD rc() const { return rc_; }
    DWORD commit();

  private:
    DWORD rc_ = 0;
    bool active_ = false;
    bool savepoint_ = false;
};

// The process-wide lock every registry call holds (recursive: a batch holds it
// across calls).
void Lock();
void Unlock();
struct LockGuard {
    LockGuard() { Lock(); }
    ~LockGuard() { Unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
};

// Store primitives; each returns 0 or a Win32 code (registry I/O errors for
// database faults). Call them inside a Txn.
DWORD KeyExists(long long id, bool& exists);
DWORD FindChild(long long parent, const std::u16string& name, long long& child); // 0: none
DWORD CreateChild(long long parent, const std::u16string& name, long long& child);
DWORD HasChildren(long long id, bool& has);
DWORD DeleteKeyRow(long long id);
// Where an open handle's enumeration stands: the item at `index` and the state
// of the store when it was read. Walking the indexes in order then costs a
// lookup per item instead of a walk over all those before it.
struct EnumCursor {
    bool valid = false;
    DWORD index = 0;
    long long id = 0;        // values: the row of the item at `index`
    std::string fold;        // subkeys: the folded name of the item at `index`
    long long dataVersion = 0;
    long long changes = 0;
    long long connection = 0;
};
DWORD ChildAt(long long parent, DWORD index, EnumCursor& cursor, bool& found,
              std::u16string& name, long long& written);
DWORD FindValue(long long key, const std::u16string& name, bool& found, StoredValue& out);
// `host` marks a value filled from the host (volatile hive); a normal write clears it.
DWORD SetValue(long long key, const std::u16string& name, DWORD type, const void* data, size_t size,
               bool host = false);
DWORD DeleteValue(long long key, const std::u16string& name, bool& found);
DWORD ValueAt(long long key, DWORD index, EnumCursor& cursor, bool& found, StoredValue& out);
struct KeyInfo {
    DWORD subKeys = 0, maxSubKeyLen = 0, values = 0, maxValueNameLen = 0, maxValueLen = 0;
    long long written = 0;
};
DWORD QueryKeyInfo(long long key, KeyInfo& info);
DWORD TouchKey(long long key);
// Values of `key` marked as host-filled, by name.
DWORD HostValueNames(long long key, std::vector<std::u16string>& names);

// Inside a read transaction: a number that stays the same for as long as
// nothing in the store has changed, so that an answer derived from it may be
// kept; 0 (never valid) outside read transactions.
unsigned long long ReadCacheGeneration();

// Walks `path` from `start`; `id` is 0 when some component is missing.
DWORD WalkPath(long long start, const std::vector<std::u16string>& path, long long& id);

// Unix milliseconds <-> FILETIME.
FILETIME ToFileTime(long long unixMillis);

// Closes the database and forgets every open key handle.
void CloseStore();

// For the connection (registry_db.cpp): fills a new store with the predefined
// roots and the keys every Windows machine has, inside its schema transaction;
// and empties the read cache whenever it closes or drops a connection.
DWORD AddPredefinedKeys();
void DropReadCache();

} // namespace reg
} // namespace tw
