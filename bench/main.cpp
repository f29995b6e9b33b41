// The benchmarks: every row of the report in one run, each measured side by
// side with its reference, printed as a table and written as one JSON file
// (bench/results.json in the build folder) for the next run to compare with.
// Never fails: a row that cannot be measured says so.
//   twbench [--rounds N] [--only startup|log|tables|download|resumable|replay|registry]
#include "rows.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>

int main(int argc, char** argv) {
    twbench::Spawner::start();
    twbench::Report report;
    twbench::Context c;
    c.build = TW_BUILD_DIR;
    c.source = TW_SOURCE_DIR;
    c.work = c.build + "/bench-work";
    c.report = &report;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            c.rounds = std::max(1, atoi(argv[++i]));
        else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
    }
    std::filesystem::remove_all(c.work);
    std::filesystem::create_directories(c.work);
    std::string machineLine;
    std::string machine = twbench::machineJson(&machineLine);
    printf("machine: %s\n", machineLine.c_str());
    printf(
        "wall times are medians of alternating runs; in-process rows compare processor time\n\n");
    report.header();
    struct Part {
        const char* name;
        void (*run)(twbench::Context&);
    } parts[] = {{"startup", twbench::StartupRows},
                 {"log", twbench::LogRows},
                 {"tables", twbench::TableRows},
                 {"download", twbench::DownloadRows},
                 {"resumable", twbench::ResumableRows},
                 {"replay", twbench::ReplayRows},
                 {"registry", twbench::RegistryRows}};
    for (const Part& p : parts)
        if (only.empty() || only == p.name)
            p.run(c);
    std::string json = c.build + "/bench/results.json";
    if (report.writeJson(json, machine))
        printf("\nwritten: %s\n", json.c_str());
    std::error_code ec;
    std::filesystem::remove_all(c.work, ec);
    twbench::Spawner::stop();
    return 0;
}
