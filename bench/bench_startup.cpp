// A whole run of twprereqhandler on the demo machine, side by side with a
// trivial program linked against the same libraries; and LogInfo lines per
// second side by side with a plain formatted write and flush per line.
// Prints ratios; never fails.
#include "base/lock_table.h"
#include "base/log.h"

#include "bench_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using twbench::median;
using twbench::nowSeconds;

int run(const std::vector<std::string>& argv) {
    return twbench::run(argv).exitCode;
}

void wholeRun(const std::string& label, const std::vector<std::string>& toolArgs,
              const std::string& trivial, int rounds) {
    std::vector<double> tool, ref;
    for (int i = 0; i < rounds; ++i) {
        tool.push_back(twbench::run(toolArgs).seconds);
        ref.push_back(twbench::run({trivial}).seconds);
    }
    double a = median(tool), b = median(ref);
    printf("%-34s tool %8.2f ms   trivial linked %8.2f ms   ratio %.2f (aim <= 1.5)\n",
           label.c_str(), a * 1e3, b * 1e3, a / b);
}

void logLines(const std::string& dir, int lines) {
    InitMutex();
    SetLogDefaults();
    SetLogConfig("bench.log", dir.c_str(), 1);
    OpenLogFile("w");
    double t0 = nowSeconds();
    for (int i = 0; i < lines; ++i)
        LogInfo("bench line %d of %s with a number %u\n", i, "LogInfo", 4096u + i);
    double t1 = nowSeconds();
    CloseLogFile();
    FreeLogConfig();

    FILE* f = fopen((dir + "/plain.log").c_str(), "w");
    double t2 = nowSeconds();
    for (int i = 0; i < lines; ++i) {
        fprintf(f, "[ %s ] [ %d ] [INFO] bench line %d of %s with a number %u\n",
                "2026-12-08 10:00:00:000", 4242, i, "plain", 4096u + i);
        fflush(f);
    }
    double t3 = nowSeconds();
    fclose(f);
    double ours = lines / (t1 - t0), plain = lines / (t3 - t2);
    printf(
        "%-34s LogInfo %9.0f lines/s   plain write+flush %9.0f lines/s   ratio %.2f (aim <= 1.5)\n",
        "log lines", ours, plain, plain / ours);
}

} // namespace

int main() {
    std::string build = TW_BUILD_DIR;
    std::string source = TW_SOURCE_DIR;
    char templ[] = "/tmp/tw-bench-startup-XXXXXX";
    if (!mkdtemp(templ))
        return 0;
    std::string dir = templ;
    setenv("TW_REGISTRY", (dir + "/registry.db").c_str(), 1);
    setenv("TW_DRIVE_ROOT", (dir + "/drives").c_str(), 1);
    setenv("TW_SERVICE_DIR", dir.c_str(), 1);
    setenv("TEMP", dir.c_str(), 1);
    std::string twreg = build + "/tools/twreg/twreg";
    std::string tool = build + "/twprereqhandler";
    std::string trivial = build + "/bench/trivial_linked";
    if (run({twreg, "import", source + "/examples/demo-workstation.reg"}) != 0 ||
        run({twreg, "mkpath", "C:\\Program Files (x86)\\Tidewell\\Agent"}) != 0) {
        printf("bench_startup: cannot prepare the demo machine\n");
        return 0;
    }
    run({tool}); // first run creates the log folder and warms the caches
    wholeRun("whole run, no check selected", {tool}, trivial, 40);
    wholeRun("whole run, all four checks", {tool, "-m", "1", "-r", "1", "-e", "1", "-q", "1"},
             trivial, 40);
    logLines(dir, 200000);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
