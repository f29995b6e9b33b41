// A whole run of twprereqhandler on the demo machine, side by side with a
// trivial program linked against the same libraries; and LogInfo lines per
// second side by side with a plain formatted write and flush per line.
// Prints ratios; never fails.
#include "logging/lock_table.h"
#include "logging/log.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

int run(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
        return -1;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void wholeRun(const std::string& label, const std::vector<std::string>& toolArgs,
              const std::string& trivial, int rounds) {
    std::vector<double> tool, ref;
    for (int i = 0; i < rounds; ++i) {
        double t0 = nowSeconds();
        run(toolArgs);
        double t1 = nowSeconds();
        run({trivial});
        double t2 = nowSeconds();
        tool.push_back(t1 - t0);
        ref.push_back(t2 - t1);
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
