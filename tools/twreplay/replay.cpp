// One machine's replay, in a process of its own: a fresh store from the empty
// one, the exports imported as twreg imports them, the checker's own tests
// asked for their verdicts, the real checker run offline, and the store read
// again for what the run wrote.
#include "replay.h"

#include <shlobj.h>
#include <tw_linux.h>
#include <windows.h>

#include "base/settings.h"
#include "base/text_helpers.h"
#include "checker/checks.h"
#include "checker/options.h"
#include "machine/os_name.h"
#include "registry/registry_helpers.h"

#include "import.h"
#include "regfile.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

extern char** environ;

namespace fs = std::filesystem;

namespace twreplay {

namespace {

// The run report the Linux layer writes as the checker exits.
const char kRunReportFile[] = "run-report.txt";
const char kCheckerOutputFile[] = "checker-output.txt";
// Bounds on what is read back from files the run wrote.
const size_t kMaxRunReportBytes = 1 << 20;

std::string utf8(const std::u16string& s) {
    return twreg::Utf16ToUtf8(s);
}

const WCHAR* w(const std::u16string& s) {
    return reinterpret_cast<const WCHAR*>(s.c_str());
}

// Reads a whole file of at most `limit` bytes; false when it is missing,
// unreadable or larger.
bool readSmallFile(const std::string& path, size_t limit, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.clear();
    char buf[4096];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        out.append(buf, static_cast<size_t>(in.gcount()));
        if (out.size() > limit)
            return false;
    }
    return !in.bad();
}

// ---- what the run changed, as an export writes it ----

struct Value {
    std::u16string name;
    DWORD type = 0;
    std::string data;
};

// A value as regedit writes it in an export ("\"Name\"=dword:00000003"), on one line.
std::string valueLine(const Value& v) {
    std::u16string line;
    if (!twreg::FormatValue(v.name, v.type, v.data, line))
        return "(a value whose name cannot be written)";
    std::u16string joined;
    for (size_t i = 0; i < line.size(); ++i) {
        // Long hex lists come wrapped as "\\\r\n  "; a report keeps them whole.
        if (line.compare(i, 5, u"\\\r\n  ") == 0)
            i += 4;
        else
            joined += line[i];
    }
    return utf8(joined);
}

// ---- import ----

// Imports the machine's exports in order, each as twreg imports it; false
// with the file, line and reason of the first that cannot be imported.
bool importExports(const Machine& m, MachineReport& r) {
    for (const auto& file : m.files) {
        twreg::ImportError err;
        if (!twreg::ImportRegFile(file, KEY_WOW64_64KEY, err)) {
            r.status = MachineReport::kMalformed;
            r.errorFile = file;
            r.errorLine = err.line;
            r.reason = err.what;
            return false;
        }
    }
    return true;
}

// ---- what the checker's own code says about the machine ----

// The checker's tests, asked in this process on the same store, for the
// checks its command line selects (as its own option parser reads it).
std::vector<CheckVerdict> verdicts(const ReplaySettings& s) {
    std::vector<std::string> args = {s.checker};
    args.insert(args.end(), s.checkerArgs.begin(), s.checkerArgs.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    ParseArguments(static_cast<int>(args.size()), argv.data());
    const CheckerOptions& o = gv_options;
    std::vector<CheckVerdict> out;
    if (o.checkVM)
        out.push_back({"vm", !IsVirtualMachine()});
    if (o.checkPAE)
        out.push_back({"pae", IsPAEEnabled()});
    if (o.checkECP)
        out.push_back({"ecp", !IsECPEnabled()});
    if (o.checkSSE2)
        out.push_back({"sse2", IsSSE2Supported()});
    FreeCheckerOptions();
    return out;
}

std::string osName() {
    std::unique_ptr<char, decltype(&free)> name(GetOSNameEx(), &free);
    return name ? name.get() : "";
}

// Adds an assumption of the layer (its key below HKLM) to a report's list, once.
void collectAssumption(void* context, const char* key, const char* value, const char* answer,
                       const char* source) {
    auto* list = static_cast<std::vector<AssumedValue>*>(context);
    std::string full = std::string("HKLM\\") + key;
    for (const auto& a : *list)
        if (a.key == full && a.value == value)
            return;
    list->push_back({full, value, answer, source});
}

// The values this process assumed so far (the layer's own list).
std::vector<AssumedValue> assumedHere() {
    std::vector<AssumedValue> list;
    TwLinuxListProfileAssumptions(collectAssumption, &list);
    return list;
}

// The NetBIOS name as the machine gives it; false when the layer had to
// assume it (the export names no computer).
bool computerName(std::string& name) {
    WCHAR buf[256];
    DWORD size = sizeof buf / sizeof buf[0];
    TwLinuxForgetProfileAssumptions();
    bool ok = GetComputerNameExW(ComputerNameNetBIOS, buf, &size) && size > 0;
    if (ok)
        name = utf8(std::u16string(reinterpret_cast<const char16_t*>(buf), size));
    ok = ok && assumedHere().empty();
    TwLinuxForgetProfileAssumptions();
    return ok;
}

// The agent's installation folder exists on the machine the export came
// from; without it the checker would have nowhere to write its log.
void createInstallFolder() {
    char* dir = nullptr;
    if (ReadRegSZ(HKEY_LOCAL_MACHINE, gv_RegKey, "TWAgentInstallDir", &dir) == ERROR_SUCCESS &&
        dir != nullptr && *dir != '\0') {
        WCHAR* wide = nullptr;
        if (ChangeUtf8ToWideStr(dir, &wide) && wide != nullptr)
            SHCreateDirectoryExW(nullptr, wide, nullptr);
        free(wide);
    }
    free(dir);
}

// ---- the checker's run ----

struct RunOutcome {
    int error = 0;  // why it could not be started
    int status = 0; // as waitpid gives it
};

RunOutcome runChecker(const ReplaySettings& s, const std::string& dir) {
    std::vector<std::string> args = {s.checker};
    args.insert(args.end(), s.checkerArgs.begin(), s.checkerArgs.end());
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "TW_RUN_REPORT=", 14) != 0)
            env.push_back(*e);
    env.push_back("TW_RUN_REPORT=" + dir + "/" + kRunReportFile);
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    RunOutcome out;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::string output = dir + "/" + kCheckerOutputFile;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    // The checker starts with the signal dispositions a program expects.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        out.error = rc;
        return out;
    }
    while (waitpid(pid, &out.status, 0) < 0) {
        if (errno != EINTR) {
            out.error = errno;
            return out;
        }
    }
    return out;
}

// The run report: "exit-code\tN" and "assumed\tKEY\tVALUE\tANSWER\tSOURCE" lines.
int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool unhex(const std::string& text, std::string& out) {
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

// A key or value name of the run report, its %XX escapes undone.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        int hi = -1, lo = -1;
        if (text[i] == '%' && i + 2 < text.size() && (hi = hexDigit(text[i + 1])) >= 0 &&
            (lo = hexDigit(text[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::u16string utf16(const std::string& s) {
    return twreg::Utf8ToUtf16(s);
}

// The run report the Linux layer writes as the checker exits: its full exit
// code, the profile values it assumed and the registry values it changed.
bool readRunReport(const std::string& path, MachineReport& r) {
    std::string text;
    if (!readSmallFile(path, kMaxRunReportBytes, text))
        return false;
    std::istringstream in(text);
    std::string line;
    bool haveExit = false;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            f.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (f[0] == "exit-code" && f.size() == 2) {
            char* end = nullptr;
            unsigned long long v = strtoull(f[1].c_str(), &end, 10);
            if (end == f[1].c_str() || *end != '\0' || v > 0xFFFFFFFFull)
                return false;
            r.exitKnown = haveExit = true;
            r.exitCode = static_cast<uint32_t>(v);
        } else if (f[0] == "assumed" && f.size() == 5) {
            collectAssumption(&r.assumed, f[1].c_str(), f[2].c_str(), f[3].c_str(), f[4].c_str());
        } else if (f[0] == "written" && f.size() == 5) {
            char* end = nullptr;
            unsigned long type = strtoul(f[3].c_str(), &end, 10);
            std::string data;
            if (end == f[3].c_str() || *end != '\0' || !unhex(f[4], data))
                return false;
            r.writes.push_back({unescape(f[1]), valueLine({utf16(unescape(f[2])),
                                                           static_cast<DWORD>(type), data})});
        } else if (f[0] == "deleted" && f.size() == 3) {
            if (f[2].empty()) {
                r.writes.push_back({unescape(f[1]), "(the key deleted)"});
            } else {
                // As an export deletes a value: its name, "=-".
                std::string line = valueLine({utf16(unescape(f[2])), REG_SZ, std::string(2, '\0')});
                r.writes.push_back({unescape(f[1]), line.substr(0, line.size() - 2) + "-"});
            }
        }
    }
    return haveExit;
}

// The logs the run wrote, below the drive root.
std::vector<std::string> logsBelow(const std::string& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && it->path().extension() == ".log")
            out.push_back(it->path().string());
    }
    return out;
}

} // namespace

bool CreateEmptyStore(const std::string& path, std::string& error) {
    setenv("TW_REGISTRY", path.c_str(), 1);
    TwLinuxRegistryReopen();
    // A key made and removed again: the database gets its tables and its
    // write-ahead log a first entry. The log stays (this process ends without
    // closing the store), so that a copy's first write creates and syncs no
    // new log: the costliest part of a small import.
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, w(u"SOFTWARE\\twreplay"), 0, nullptr, 0,
                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (rc == ERROR_SUCCESS) {
        RegCloseKey(key);
        rc = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, w(u"SOFTWARE\\twreplay"), KEY_WOW64_64KEY, 0);
    }
    if (rc != ERROR_SUCCESS) {
        error =
            "cannot create a registry database at " + path + " (error " + std::to_string(rc) + ")";
        return false;
    }
    return true;
}

MachineReport ReplayMachine(const Machine& m, const ReplaySettings& s, const std::string& dir,
                            bool keep) {
    MachineReport r;
    r.path = m.path;
    r.files = m.files;
    r.computer = m.label;
    if (keep)
        r.keptDir = dir;
    auto failed = [&](const std::string& why) {
        r.status = MachineReport::kFailed;
        r.reason = why;
        return r;
    };
    if (!m.problem.empty())
        return failed(m.problem);

    std::error_code ec;
    const std::string db = dir + "/registry.db";
    bool prepared = fs::copy_file(s.emptyStore, db, ec) &&
                    fs::copy_file(s.emptyStore + "-wal", db + "-wal", ec);
    for (const char* sub : {"drives", "services", "temp", "firmware"})
        prepared = prepared && fs::create_directories(dir + "/" + sub, ec);
    if (!prepared)
        return failed("cannot prepare " + dir + ": " + ec.message());
    setenv("TW_REGISTRY", db.c_str(), 1);
    setenv("TW_DRIVE_ROOT", (dir + "/drives").c_str(), 1);
    setenv("TW_SERVICE_DIR", (dir + "/services").c_str(), 1);
    setenv("TEMP", (dir + "/temp").c_str(), 1);
    // The machine's firmware facts come from its export, never from this host's.
    setenv("TW_DMI_DIR", (dir + "/firmware").c_str(), 1);
    // A replay never reaches a server.
    setenv("TW_OFFLINE", "1", 1);
    TwLinuxRegistryReopen();

    // Imports see the 64-bit view, as twreg does.
    TwLinuxSetProcessIs64Bit(1);
    if (!importExports(m, r))
        return r;

    // From here on this process sees the machine as the 32-bit checker does.
    TwLinuxSetProcessIs64Bit(0);
    std::string name;
    if (computerName(name)) {
        r.computer = name;
        r.computerFromExport = true;
    }
    r.os = osName();
    r.checks = verdicts(s);
    createInstallFolder();

    RunOutcome run = runChecker(s, dir);
    if (run.error != 0)
        return failed("cannot run " + s.checker + ": " + strerror(run.error));
    if (WIFSIGNALED(run.status))
        return failed("the checker ended with signal " + std::to_string(WTERMSIG(run.status)));
    if (!readRunReport(dir + "/" + kRunReportFile, r))
        return failed("the checker exited with status " + std::to_string(WEXITSTATUS(run.status)) +
                      " and left no run report");
    // The run's own assumptions first, then those of the verdicts asked here.
    TwLinuxListProfileAssumptions(collectAssumption, &r.assumed);
    r.status = MachineReport::kReplayed;
    if (keep) {
        std::vector<std::string> logs = logsBelow(dir + "/drives");
        if (!logs.empty())
            r.log = logs.front();
        // Leave a store that opens without its write-ahead log.
        TwLinuxRegistryReopen();
    }
    return r;
}

} // namespace twreplay
