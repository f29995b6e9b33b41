// Machines replayed per second by twreplay (import, checker run, report and
// clean-up), side by side with as many bare twprereqhandler runs on stores
// prepared beforehand from the same exports, in the same folder, offline
// alike. Measured in /tmp and, where there is one, in a memory file system
// (/dev/shm), since the file system's syncs and deletions weigh on both.
// Prints the ratios; never fails.
#include "bench_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/statfs.h>

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
const int kRounds = 5;
const char* const kCheckerArgs[] = {"-m", "1", "-r", "1", "-e", "1", "-q", "1"};

// The environment of a replay's checker run, for a store in `dir`.
std::map<std::string, std::string> machineEnv(const std::string& dir) {
    return {{"TW_REGISTRY", dir + "/registry.db"}, {"TW_DRIVE_ROOT", dir + "/drives"},
            {"TW_SERVICE_DIR", dir + "/services"}, {"TEMP", dir + "/temp"},
            {"TW_DMI_DIR", dir + "/firmware"},     {"TW_OFFLINE", "1"}};
}

// A store with the machine's exports imported and its agent folder made, as
// a replay has it just before the checker runs.
bool prepare(const std::string& build, const std::string& machineDir, const std::string& dir) {
    for (const char* sub : {"drives", "services", "temp", "firmware"})
        fs::create_directories(dir + "/" + sub);
    auto env = machineEnv(dir);
    std::string twreg = build + "/tools/twreg/twreg";
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(machineDir))
        files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    for (const auto& f : files)
        if (twbench::run({twreg, "import", f}, env, false).exitCode != 0)
            return false;
    for (const char* install :
         {"C:\\Program Files (x86)\\Tidewell\\Agent", "C:\\Program Files\\Tidewell\\Agent"})
        twbench::run({twreg, "mkpath", install}, env, false);
    return true;
}

// Processor time of all waited-for children so far (user and system).
double childCpuSeconds() {
    rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::string kindOf(const std::string& dir) {
    struct statfs st;
    if (statfs(dir.c_str(), &st) != 0)
        return "?";
    return st.f_type == 0x01021994 ? "memory" : "disk"; // TMPFS_MAGIC
}

void measure(const std::string& base, const std::string& build, const std::string& source) {
    std::string templ = base + "/tw-bench-replay-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        return;
    std::string dir = buf.data();
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
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    std::vector<std::string> bareArgs = {checker};
    bareArgs.insert(bareArgs.end(), std::begin(kCheckerArgs), std::end(kCheckerArgs));
    std::map<std::string, std::string> replayEnv = {{"TMPDIR", dir}};

    std::vector<double> bare, replay, replayParallel, ratios, cpuRatios;
    for (int round = 0; round < kRounds; ++round) {
        // The reference: stores prepared (not timed), then the bare runs.
        for (size_t i = 0; i < n; ++i) {
            if (!prepare(build, machineDirs[i], dir + "/bare/" + std::to_string(i))) {
                printf("bench_replay: cannot prepare the stores\n");
                fs::remove_all(dir);
                return;
            }
        }
        double t0 = nowSeconds(), c0 = childCpuSeconds();
        for (size_t i = 0; i < n; ++i)
            twbench::run(bareArgs, machineEnv(dir + "/bare/" + std::to_string(i)));
        bare.push_back(nowSeconds() - t0);
        double bareCpu = childCpuSeconds() - c0;
        fs::remove_all(dir + "/bare");

        c0 = childCpuSeconds();
        replay.push_back(twbench::run({twreplay, "-j", "1", fleet}, replayEnv).seconds);
        double replayCpu = childCpuSeconds() - c0;
        // Each round's own ratios: the two runs side by side see the same load.
        ratios.push_back(replay.back() / bare.back());
        cpuRatios.push_back(replayCpu / bareCpu);
        replayParallel.push_back(
            twbench::run({twreplay, "-j", std::to_string(cores), fleet}, replayEnv).seconds);
    }
    double b = median(bare), r = median(replay), rp = median(replayParallel);
    double ratio = median(ratios);
    std::string label = "replay in " + base + " (" + kindOf(dir) + ")";
    printf("%-34s twreplay -j 1 %6.1f machines/s   bare checker %6.1f runs/s   ratio %.2f "
           "(aim <= 1.5)\n",
           label.c_str(), n / r, n / b, ratio);
    printf("%-34s twreplay -j %-2ld %5.1f machines/s   processor time ratio %.2f   (%zu machines, "
           "median of %d)\n",
           "", cores, n / rp, median(cpuRatios), n, kRounds);
    std::error_code ec;
    fs::remove_all(dir, ec);
}

} // namespace

int main() {
    std::string build = TW_BUILD_DIR;
    std::string source = TW_SOURCE_DIR;
    measure("/tmp", build, source);
    if (access("/dev/shm", W_OK) == 0)
        measure("/dev/shm", build, source);
    return 0;
}
