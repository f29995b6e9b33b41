// Helpers shared by the tests: temporary folders, a private registry database
// per test, child processes, small file utilities.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace twtest {

// A fresh folder under the build tree's tmp area, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Points this process at a new, empty registry database (TW_REGISTRY) for the
// lifetime of the object, and at a private drive root and service folder.
class ScopedRegistry {
public:
    ScopedRegistry();
    ~ScopedRegistry();
    const std::string& dbPath() const { return db_; }
    const TempDir& dir() const { return dir_; }
    // Imports a .reg file with the twreg tool; returns its exit status.
    int importReg(const std::string& regFile) const;

private:
    TempDir dir_;
    std::string db_;
    std::string oldRegistry_;
    bool hadOld_ = false;
};

struct ProcessResult {
    int exitCode = -1;      // exit status, or 128 + signal number
    std::string out;        // standard output
    std::string err;        // standard error
};

// Runs a program with arguments (no shell), extra environment entries added to
// the current environment, optional working folder.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& workDir = "");
// The same with standard error on a pseudo-terminal, as a person at a terminal
// runs it (Linux only); `err` is what the terminal showed.
ProcessResult RunProcessOnTerminal(const std::string& program,
                                   const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& env = {},
                                   const std::string& workDir = "");

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);
std::vector<std::string> SplitLines(const std::string& text);

// Paths of the built programs and source folders.
std::string BuildDir();
std::string SourceDir();
std::string ToolPath(const std::string& name); // e.g. "twprereqhandler", "twreg"

} // namespace twtest
