// The rows of the benchmark report, one function per part of the program.
#pragma once

#include "bench_support.h"

#include <string>
#include <vector>

namespace twbench {

struct Context {
    std::string build;  // the build folder whose programs are measured
    std::string source; // the source tree (example machines, test data)
    std::string work;   // a scratch folder for files, registries and servers
    int rounds = 5;     // rounds of the whole-process comparisons
    Report* report = nullptr;
};

// A file of `bytes` pseudo-random bytes.
void WritePatternFile(const std::string& path, uint64_t bytes);
// "what: lowest x, median y, highest z over n rounds".
std::string Spread(const char* what, std::vector<double> values);

// A whole run of the tool beside a trivial program linked with the same
// libraries, and that program beside /bin/true.
void StartupRows(Context& c);
// LogInfo lines beside a formatted write and flush per line.
void LogRows(Context& c);
// The table library: the XML load beside libxml2's parse, a selection beside
// SQLite's full scan.
void TableRows(Context& c);
// twfetch's plain and throttled downloads beside curl -o, from nginx.
void DownloadRows(Context& c);
// twfetch's resumable downloads beside curl -C -, from nginx.
void ResumableRows(Context& c);
// twreplay's machines per second beside bare checker runs on prepared stores.
void ReplayRows(Context& c);
// twreg's export of a 100,000-value key and import of a 16 MiB value beside sqlite3.
void RegistryRows(Context& c);

} // namespace twbench
