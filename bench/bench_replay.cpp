// Machines replayed per second by twreplay (import, checker run, report and
// clean-up), side by side with as many bare twprereqhandler runs on stores
// prepared beforehand with the same exports, in the same folder, offline
// alike. Prints the ratio; never fails.
#include "bench_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using twbench::median;
using twbench::nowSeconds;

// The machines of the example fleet that replay (the malformed one is left out).
const char* const kMachines[] = {"appsrv02", "fileserv01", "legacy-pc03", "vdi-pc17", "kiosk-07"};
const int kCopies = 8;
const int kRounds = 3;

std::vector<std::string> checkerArgs() {
    return {"-m", "1", "-r", "1", "-e", "1", "-q", "1"};
}

struct Prepared {
    std::string dir;
    std::map<std::string, std::string> env;
};

// A store with the machine's exports imported, and its agent folder, as a
// replay has them just before the checker runs.
bool prepare(const std::string& build, const std::string& machineDir, const std::string& dir,
             Prepared& p) {
    fs::create_directories(dir + "/drives");
    fs::create_directories(dir + "/services");
    fs::create_directories(dir + "/temp");
    fs::create_directories(dir + "/firmware");
    p.dir = dir;
    p.env = {{"TW_REGISTRY", dir + "/registry.db"},
             {"TW_DRIVE_ROOT", dir + "/drives"},
             {"TW_SERVICE_DIR", dir + "/services"},
             {"TEMP", dir + "/temp"},
             {"TW_DMI_DIR", dir + "/firmware"},
             {"TW_OFFLINE", "1"}};
    std::string twreg = build + "/tools/twreg/twreg";
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(machineDir))
        files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& f : files)
        if (twbench::run({twreg, "import", f}, p.env, false).exitCode != 0)
            return false;
    for (const char* install : {"C:\\Program Files (x86)\\Tidewell\\Agent", "C:\\Program Files\\Tidewell\\Agent"})
        twbench::run({twreg, "mkpath", install}, p.env, false);
    return true;
}

} // namespace

int main() {
    std::string build = TW_BUILD_DIR;
    std::string source = TW_SOURCE_DIR;
    char templ[] = "/tmp/tw-bench-replay-XXXXXX";
    if (!mkdtemp(templ))
        return 0;
    std::string dir = templ;
    std::string checker = build + "/twprereqhandler";
    std::string twreplay = build + "/tools/twreplay/twreplay";

    // The fleet: each example machine copied kCopies times.
    std::string fleet = dir + "/fleet";
    std::vector<std::string> machineDirs;
    for (int c = 0; c < kCopies; ++c) {
        for (const char* m : kMachines) {
            std::string to = fleet + "/" + m + "-" + std::to_string(c);
            fs::create_directories(to);
            fs::copy(source + "/examples/fleet/" + m, to);
            machineDirs.push_back(to);
        }
    }
    const size_t n = machineDirs.size();

    std::vector<double> bare, replay, replayParallel;
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    for (int round = 0; round < kRounds; ++round) {
        // The reference: prepared stores (not timed), then the bare runs.
        std::vector<Prepared> stores(n);
        for (size_t i = 0; i < n; ++i) {
            if (!prepare(build, machineDirs[i], dir + "/bare/" + std::to_string(i), stores[i])) {
                printf("bench_replay: cannot prepare the stores\n");
                return 0;
            }
        }
        std::vector<std::string> args = {checker};
        for (const auto& a : checkerArgs())
            args.push_back(a);
        double t0 = nowSeconds();
        for (size_t i = 0; i < n; ++i)
            twbench::run(args, stores[i].env);
        bare.push_back(nowSeconds() - t0);
        fs::remove_all(dir + "/bare");

        // twreplay, one machine at a time, its work folders in the same place.
        std::map<std::string, std::string> env = {{"TMPDIR", dir}};
        replay.push_back(twbench::run({twreplay, "-j", "1", fleet}, env).seconds);
        replayParallel.push_back(
            twbench::run({twreplay, "-j", std::to_string(cores), fleet}, env).seconds);
    }
    double b = median(bare), r = median(replay), rp = median(replayParallel);
    printf("%-34s twreplay -j 1 %7.1f machines/s   bare checker runs %7.1f runs/s   ratio %.2f "
           "(aim <= 1.5)\n",
           ("replay, " + std::to_string(n) + " machines").c_str(), n / r, n / b, r / b);
    printf("%-34s twreplay -j %ld %7.1f machines/s\n", "", cores, n / rp);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
