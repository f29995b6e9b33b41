// The connection to the registry's storage: one SQLite database shared by
// every process that names it (TW_REGISTRY), in WAL mode with a generous busy
// timeout so that concurrent writers queue instead of failing. One connection
// per process, opened on first use, statements prepared once.
//
// Layout: keys(id, parent, name, fold, written) with the predefined roots as
// fixed rows whose parent is 0; vals(id, key, name, fold, type, data, host).
// `fold` is the name without case (registry_store.cpp writes the rows), so
// that a unique index compares names without case and ORDER BY sorts them as
// Windows enumerates; a key's values are enumerated by id, in creation order.
#include "advapi32/registry_db.h"

#include "advapi32/registry_host.h"
#include "advapi32/registry_store.h"
#include "kernel32/systime.h"

#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <unordered_map>

namespace tw::reg {

namespace {

const char* const kDefaultPath = "/var/lib/tidewell/registry.db";
const int kBusyTimeoutMs = 10000;
const int kSchemaVersion = 1;

pid_t g_pid = 0; // the process that opened g_conn.db
std::unordered_map<const char*, sqlite3_stmt*> g_stmts;

// Why the last open failed, for a person: the file and the reason. Empty
// while the database is open.
std::string g_openProblem;

void noteProblem(const std::string& path, sqlite3* db, const std::string& reason) {
    std::string why = reason;
    if (db != nullptr) {
        why = sqlite3_errmsg(db);
        const int e = sqlite3_system_errno(db);
        if (e != 0)
            why += std::string(" (") + strerror(e) + ")";
        // The usual cause, said plainly: WAL mode writes beside the file too.
        std::string folder = std::filesystem::path(path).parent_path().string();
        if (access(path.c_str(), W_OK) != 0 && errno == EACCES)
            why += "; no write access to the file";
        else if (access(folder.empty() ? "." : folder.c_str(), W_OK) != 0 && errno == EACCES)
            why += "; no write access to its folder";
    }
    g_openProblem = path + ": " + why;
}

// Why this thread's last registry I/O failure happened, in words: Windows has
// no code that says "another process holds the database", so the call
// answers ERROR_REGISTRY_IO_FAILED and a tool asks for the words.
thread_local std::string t_failure;

DWORD failure(DWORD code, std::string words) {
    t_failure = std::move(words);
    return code;
}

// getpid() is a system call, and every transaction asks whether the
// connection is this process's: the answer is kept and renewed after fork().
pid_t currentPid() {
    static pid_t pid = [] {
        pthread_atfork(nullptr, nullptr, [] { pid = getpid(); });
        return getpid();
    }();
    return pid;
}

} // namespace

Connection g_conn;

std::recursive_mutex& RegistryMutex() {
    static auto* m = new std::recursive_mutex();
    return *m;
}

DWORD SqlError(int rc) {
    switch (rc & 0xff) {
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return failure(ERROR_REGISTRY_CORRUPT,
                       "the registry database is damaged or is not a registry database");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return failure(ERROR_REGISTRY_IO_FAILED,
                       "the registry database is busy: another process held it for " +
                           std::to_string(kBusyTimeoutMs / 1000) + " s");
    default:
        return failure(ERROR_REGISTRY_IO_FAILED,
                       std::string("the registry database failed: ") + sqlite3_errstr(rc));
    }
}

DWORD Exec(const char* sql) {
    int rc = sqlite3_exec(g_conn.db, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? 0 : SqlError(rc);
}

namespace {

void closeDb() {
    for (auto& [sql, stmt] : g_stmts)
        sqlite3_finalize(stmt);
    g_stmts.clear();
    DropReadCache();
    if (g_conn.db != nullptr)
        sqlite3_close_v2(g_conn.db);
    g_conn.db = nullptr;
    g_conn.batch = false;
}

// A connection inherited through fork() must not be used (or closed) by the
// child: it is dropped without a word to SQLite, and the parent keeps it.
void forgetDb() {
    g_conn.db = nullptr;
    g_stmts.clear();
    g_conn.batch = false;
    DropReadCache();
}

} // namespace

Stmt::Stmt(const char* sql) {
    auto it = g_stmts.find(sql);
    if (it != g_stmts.end()) {
        s_ = it->second;
        return;
    }
    int rc = sqlite3_prepare_v3(g_conn.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s_, nullptr);
    if (rc != SQLITE_OK) {
        err_ = SqlError(rc);
        s_ = nullptr;
        return;
    }
    g_stmts.emplace(sql, s_);
}

namespace {

DWORD createSchema() {
    static const char* const kTables =
        "CREATE TABLE IF NOT EXISTS keys("
        " id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
        " name BLOB NOT NULL, fold BLOB NOT NULL, written INTEGER NOT NULL);"
        "CREATE UNIQUE INDEX IF NOT EXISTS keys_child ON keys(parent, fold);"
        "CREATE TABLE IF NOT EXISTS vals("
        " id INTEGER PRIMARY KEY AUTOINCREMENT, key INTEGER NOT NULL,"
        " name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL,"
        " data BLOB NOT NULL, host INTEGER NOT NULL DEFAULT 0);"
        "CREATE UNIQUE INDEX IF NOT EXISTS vals_name ON vals(key, fold);"
        "CREATE INDEX IF NOT EXISTS vals_order ON vals(key, id);";
    if (DWORD rc = Exec(kTables))
        return rc;
    if (DWORD rc = AddPredefinedKeys())
        return rc;
    return Exec("PRAGMA user_version = 1");
}

int userVersion() {
    Stmt s("PRAGMA user_version");
    return s.row() ? static_cast<int>(s.col64(0)) : -1;
}

// Switching a new database to WAL needs it to itself, and SQLite answers a
// process that finds it taken at once instead of through the busy handler: two
// processes opening a new store together wait for each other here, as long as
// the busy time-out allows.
DWORD enterWal(sqlite3* db) {
    const long long deadline = NowUnixMillis() + kBusyTimeoutMs;
    for (;;) {
        int rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if ((rc & 0xff) != SQLITE_BUSY || NowUnixMillis() >= deadline)
            return rc == SQLITE_OK ? 0 : SqlError(rc);
        sqlite3_sleep(5);
    }
}

bool hasOrderIndex() {
    Stmt s("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = 'vals_order'");
    return s.row();
}

// Closing at exit folds the write-ahead log back into the database file, so
// that the file alone holds everything once the process is gone.
void closeAtExit() {
    if (!RegistryMutex().try_lock())
        return; // another thread is inside a call; the log stays and is replayed later
    if (g_conn.db != nullptr && g_pid == currentPid() && !g_conn.batch)
        closeDb();
    RegistryMutex().unlock();
}

} // namespace

DWORD OpenDb() {
    if (g_conn.db != nullptr && g_pid == currentPid())
        return 0;
    static const bool exitHook = atexit(closeAtExit) == 0;
    (void)exitHook;
    if (g_conn.db != nullptr)
        forgetDb(); // inherited through fork(); start afresh
    const char* env = getenv("TW_REGISTRY");
    std::string path = env != nullptr && *env != '\0' ? env : kDefaultPath;
    std::error_code ec;
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        // A folder that could not be made says more than SQLite's "unable to open".
        if (ec)
            noteProblem(path, nullptr, "cannot create its folder (" + ec.message() + ")");
        else
            noteProblem(path, db, "");
        if (db != nullptr)
            sqlite3_close_v2(db);
        return failure(ERROR_REGISTRY_IO_FAILED,
                       "cannot open the registry database " + g_openProblem);
    }
    g_conn.db = db;
    g_pid = currentPid();
    ++g_conn.number;
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    DWORD err = enterWal(db);
    if (err == 0)
        err = Exec("PRAGMA synchronous=NORMAL");
    int version = err == 0 ? userVersion() : -1;
    if (err == 0 && version < 0)
        err = failure(ERROR_REGISTRY_CORRUPT, "the registry database is damaged or is not a "
                                              "registry database");
    if (err == 0 && version > kSchemaVersion) // written by a newer store: do not guess
        err = failure(ERROR_REGISTRY_CORRUPT,
                      "the registry database was written by a newer version of the registry store");
    if (err == 0 && version < kSchemaVersion) {
        err = Exec("BEGIN IMMEDIATE");
        if (err == 0) {
            // Another process may have created it while we waited for the lock.
            if (userVersion() < kSchemaVersion)
                err = createSchema();
            err = err == 0 ? Exec("COMMIT") : err;
            if (err != 0)
                Exec("ROLLBACK");
        }
    }
    // Enumeration walks a key's values in creation order; stores made before
    // this index existed get it on first open. Only a store that lacks it is
    // written to: a write at every open would race the other processes opening.
    if (err == 0 && !hasOrderIndex()) {
        err = Exec("BEGIN IMMEDIATE");
        if (err == 0) {
            err = Exec("CREATE INDEX IF NOT EXISTS vals_order ON vals(key, id)");
            err = err == 0 ? Exec("COMMIT") : err;
            if (err != 0)
                Exec("ROLLBACK");
        }
    }
    if (err != 0) {
        noteProblem(path, g_conn.db, "");
        if (version > kSchemaVersion)
            g_openProblem = path + ": written by a newer version of the registry store";
        closeDb();
        return err;
    }
    g_openProblem.clear();
    RefreshHostHive();
    return 0;
}

void CloseConnection() {
    if (g_conn.db != nullptr && g_pid == currentPid())
        closeDb();
    else
        forgetDb();
}

} // namespace tw::reg

extern "C" {

const char* TwLinuxRegistryFailure(void) {
    return tw::reg::t_failure.c_str();
}

size_t TwLinuxRegistryOpenProblem(char* buffer, size_t size) {
    try {
        tw::reg::LockGuard lock;
        const std::string& text = tw::reg::g_openProblem;
        if (buffer != nullptr && size > 0) {
            size_t n = std::min(text.size(), size - 1);
            memcpy(buffer, text.data(), n);
            buffer[n] = '\0';
        }
        return text.size();
    } catch (...) {
        return 0;
    }
}

} // extern "C"
