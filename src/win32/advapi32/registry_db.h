// The connection to the registry database (registry_db.cpp), as the rows of
// registry_store.cpp use it; nothing else includes this.
#pragma once

#include <windows.h>

#include <sqlite3.h>

#include <mutex>
#include <string>

namespace tw::reg {

// The process-wide lock behind Lock() and Unlock(); closing at exit tries it.
std::recursive_mutex& RegistryMutex();

// This process's connection. `db` is null while none is open; `batch` is set
// while a batch's transaction is open on it (RegistryBeginBatch); `number`
// counts the connections this process opened, so that what was read on one is
// not taken for the state of the next.
struct Connection {
    sqlite3* db = nullptr;
    bool batch = false;
    long long number = 0;
};
extern Connection g_conn;

// Opens the database named by TW_REGISTRY unless this process has it open
// already (a connection inherited through fork() is left alone and replaced):
// creates the schema of a new store and fills the HARDWARE hive. Returns 0 or
// a Win32 code; the open problem then says why, for a person.
DWORD OpenDb();
// Closes this process's connection; one inherited through fork() is only
// forgotten. Either way the statements, the batch and the read cache go.
void CloseConnection();

// A SQLite result as a Win32 code, noting the words TwLinuxRegistryFailure
// gives for it.
DWORD SqlError(int rc);
// Runs `sql` on the connection (no rows).
DWORD Exec(const char* sql);

// A statement of the connection, prepared on first use and kept; reset when
// the helper goes out of scope.
class Stmt {
  public:
    explicit Stmt(const char* sql);
    ~Stmt() {
        if (s_ != nullptr) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& bind(int i, long long v) {
        note(s_ ? sqlite3_bind_int64(s_, i, v) : SQLITE_MISUSE);
        return *this;
    }
    // Zero-length data still binds a blob (a null pointer would bind NULL).
    // SQLite copies the bytes: callers pass temporaries.
    Stmt& bindBlob(int i, const void* data, size_t size) {
        static const char empty = 0;
        note(s_ ? sqlite3_bind_blob64(s_, i, size ? data : &empty, size, SQLITE_TRANSIENT)
                : SQLITE_MISUSE);
        return *this;
    }
    Stmt& bindBlob(int i, const std::string& bytes) {
        return bindBlob(i, bytes.data(), bytes.size());
    }
    // Steps once; returns true for a row. Failures land in error().
    bool row() {
        if (s_ == nullptr || err_ != 0)
            return false;
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            err_ = SqlError(rc);
        return false;
    }
    DWORD error() const { return s_ == nullptr && err_ == 0 ? ERROR_REGISTRY_IO_FAILED : err_; }
    long long col64(int i) const { return sqlite3_column_int64(s_, i); }
    std::string colBytes(int i) const {
        const void* p = sqlite3_column_blob(s_, i);
        int n = sqlite3_column_bytes(s_, i);
        return p != nullptr && n > 0 ? std::string(static_cast<const char*>(p), n) : std::string();
    }

  private:
    void note(int rc) {
        if (rc != SQLITE_OK && err_ == 0)
            err_ = SqlError(rc);
    }
    sqlite3_stmt* s_ = nullptr;
    DWORD err_ = 0;
};

} // namespace tw::reg
