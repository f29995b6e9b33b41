// A whole run of twprereqhandler on the demo machine beside a trivial program
// linked with the same libraries, that program beside /bin/true, and LogInfo
// lines beside a plain formatted write and flush per line.
#include "base/lock_table.h"
#include "base/log.h"

#include "rows.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

namespace twbench {

namespace {

struct Sample {
    std::vector<double> wall, cpu;
    void add(const RunResult& r) {
        wall.push_back(r.seconds);
        cpu.push_back(r.cpuSeconds);
    }
};

} // namespace

void StartupRows(Context& c) {
    const std::string dir = c.work + "/startup";
    std::filesystem::create_directories(dir);
    const std::map<std::string, std::string> env = {{"TW_REGISTRY", dir + "/registry.db"},
                                                    {"TW_DRIVE_ROOT", dir + "/drives"},
                                                    {"TW_SERVICE_DIR", dir},
                                                    {"TEMP", dir}};
    const std::string twreg = c.build + "/tools/twreg/twreg";
    const std::string tool = c.build + "/twprereqhandler";
    const std::string trivial = c.build + "/bench/trivial_linked";
    if (run({twreg, "import", c.source + "/examples/demo-workstation.reg"}, env).exitCode != 0 ||
        run({twreg, "mkpath", "C:\\Program Files (x86)\\Tidewell\\Agent"}, env).exitCode != 0) {
        printf("startup: cannot prepare the demo machine\n");
        return;
    }
    const std::vector<std::string> toolArgs = {tool, "-m", "1", "-r", "1", "-q", "1"};
    run(toolArgs, env); // creates the log folder and warms the caches
    Sample ours, linked, bare;
    const int rounds = 20 * c.rounds;
    for (int i = 0; i < rounds; ++i) {
        ours.add(run(toolArgs, env));
        linked.add(run({trivial}, env));
        bare.add(run({"/bin/true"}, env));
    }
    const double tool_ms = median(ours.wall) * 1e3, linked_ms = median(linked.wall) * 1e3,
                 bare_ms = median(bare.wall) * 1e3;
    char note[200];
    snprintf(note, sizeof note,
             "medians of %d alternating runs; processor time %.2f ms vs %.2f ms (ratio %.2f)",
             rounds, median(ours.cpu) * 1e3, median(linked.cpu) * 1e3,
             median(ours.cpu) / median(linked.cpu));
    c.report->add({"whole run (-m 1 -r 1 -q 1) / trivial program, same libraries", tool_ms,
                   linked_ms, "ms", "", tool_ms / linked_ms, "<= 1.2", 1.2, false, note});
    c.report->add({"trivial program, same libraries / /bin/true", linked_ms, bare_ms, "ms", "",
                   linked_ms / bare_ms, "report", 0, false, ""});
    c.report->add({"the tool's whole run", tool_ms, linked_ms, "ms", "(trivial)",
                   tool_ms / linked_ms, "<= 10", 10, true, ""});
}

void LogRows(Context& c) {
    const std::string dir = c.work + "/log";
    std::filesystem::create_directories(dir);
    InitMutex();
    SetLogDefaults();
    SetLogConfig("bench.log", dir.c_str(), 1);
    OpenLogFile("w");
    FILE* plain = fopen((dir + "/plain.log").c_str(), "w");
    // Chunks of lines, each side in turn, compared by the processor time of
    // this thread (the write calls included).
    const int chunks = 4 * c.rounds, lines = 20000;
    std::vector<double> ours, reference, ratios;
    unsigned n = 0;
    for (int k = 0; k < chunks; ++k) {
        double t0 = threadCpuSeconds();
        for (int i = 0; i < lines; ++i, ++n)
            LogInfo("bench line %d of %s with a number %u\n", static_cast<int>(n), "LogInfo",
                    4096u + n);
        double t1 = threadCpuSeconds();
        for (int i = 0; i < lines; ++i, ++n) {
            fprintf(plain, "[ %s ] [ %d ] [INFO] bench line %d of %s with a number %u\n",
                    "2026-12-08 10:00:00:000", 4242, static_cast<int>(n), "plain", 4096u + n);
            fflush(plain);
        }
        double t2 = threadCpuSeconds();
        ours.push_back(t1 - t0);
        reference.push_back(t2 - t1);
        ratios.push_back((t1 - t0) / (t2 - t1));
        // Files do not grow without bound.
        if (k % 4 == 3) {
            CloseLogFile();
            OpenLogFile("w");
            freopen((dir + "/plain.log").c_str(), "w", plain);
        }
    }
    CloseLogFile();
    FreeLogConfig();
    fclose(plain);
    const double oursRate = lines / median(ours), plainRate = lines / median(reference);
    std::sort(ratios.begin(), ratios.end());
    char note[160];
    snprintf(note, sizeof note, "per-chunk time ratios over %d chunks of %d lines: %.2f to %.2f",
             chunks, lines, ratios.front(), ratios.back());
    c.report->add({"LogInfo lines / formatted write + flush per line", oursRate / 1000,
                   plainRate / 1000, "k lines/s", "", plainRate / oursRate, "<= 1.2", 1.2, false,
                   note});
}

} // namespace twbench
