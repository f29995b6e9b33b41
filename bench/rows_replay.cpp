// Machines replayed per second by twreplay (import, checker run, report and
// clean-up), side by side with as many bare twprereqhandler runs on stores
// prepared beforehand from the same exports, in the same folder, offline
// alike. Measured on disk (the bench's work folder) and, where there is one,
// in a memory file system (/dev/shm), since the file system's syncs and
// deletions weigh on both.
#include "rows.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace twbench {

namespace {

// The machines of the example fleet that replay (the malformed one is left out).
const char* const kMachines[] = {"appsrv02", "fileserv01", "legacy-pc03", "vdi-pc17", "kiosk-07"};
const int kCopies = 8;
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
        if (run({twreg, "import", f}, env, false).exitCode != 0)
            return false;
    for (const char* install :
         {"C:\\Program Files (x86)\\Tidewell\\Agent", "C:\\Program Files\\Tidewell\\Agent"})
        run({twreg, "mkpath", install}, env, false);
    return true;
}

std::string kindOf(const std::string& dir) {
    struct statfs st;
    if (statfs(dir.c_str(), &st) != 0)
        return "?";
    return st.f_type == 0x01021994 ? "memory" : "disk"; // TMPFS_MAGIC
}

void measure(Context& c, const std::string& base) {
    std::string templ = base + "/tw-bench-replay-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        return;
    std::string dir = buf.data();
    std::string checker = c.build + "/twprereqhandler";
    std::string twreplay = c.build + "/tools/twreplay/twreplay";
    const std::string label = "replay on " + kindOf(dir);

    // The fleet: each example machine copied kCopies times.
    std::string fleet = dir + "/fleet";
    std::vector<std::string> machineDirs;
    for (int k = 0; k < kCopies; ++k) {
        for (const char* m : kMachines) {
            std::string to = fleet + "/" + m + "-" + std::to_string(k);
            fs::create_directories(to);
            fs::copy(c.source + "/examples/fleet/" + m, to);
            machineDirs.push_back(to);
        }
    }
    const size_t n = machineDirs.size();
    std::vector<std::string> bareArgs = {checker};
    bareArgs.insert(bareArgs.end(), std::begin(kCheckerArgs), std::end(kCheckerArgs));
    std::map<std::string, std::string> replayEnv = {{"TMPDIR", dir}};

    std::vector<double> bare, replay, ratios, cpuRatios;
    for (int round = 0; round < c.rounds; ++round) {
        // The reference: stores prepared (not timed), then the bare runs.
        for (size_t i = 0; i < n; ++i) {
            if (!prepare(c.build, machineDirs[i], dir + "/bare/" + std::to_string(i))) {
                printf("%s: cannot prepare the stores\n", label.c_str());
                fs::remove_all(dir);
                return;
            }
        }
        double wall = 0, cpu = 0;
        for (size_t i = 0; i < n; ++i) {
            RunResult r = run(bareArgs, machineEnv(dir + "/bare/" + std::to_string(i)));
            wall += r.seconds;
            cpu += r.cpuSeconds;
        }
        fs::remove_all(dir + "/bare");
        RunResult r = run({twreplay, "-j", "1", fleet}, replayEnv);
        bare.push_back(wall);
        replay.push_back(r.seconds);
        // Each round's own ratios: the two runs side by side see the same load.
        ratios.push_back(r.seconds / wall);
        cpuRatios.push_back(cpu > 0 ? r.cpuSeconds / cpu : 0);
    }
    const double b = median(bare), r = median(replay);
    char note[200];
    snprintf(note, sizeof note,
             "%zu machines: %.1f replayed/s with -j 1 against %.1f bare runs/s on prepared stores; "
             "processor time ratio %.2f",
             n, n / r, n / b, median(cpuRatios));
    c.report->add({label + ": twreplay per machine / bare checker run", r / n * 1e3, b / n * 1e3,
                   "ms", "(bare)", median(ratios), "<= 1.5", 1.5, false, note});
    std::error_code ec;
    fs::remove_all(dir, ec);
}

} // namespace

void ReplayRows(Context& c) {
    measure(c, c.work);
    if (access("/dev/shm", W_OK) == 0)
        measure(c, "/dev/shm");
}

} // namespace twbench
