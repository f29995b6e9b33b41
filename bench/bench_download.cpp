// Downloads through twfetch side by side with the curl command-line tool:
// a 256 MiB file from a loopback server, throughput of both and their ratio
// (aim 0.8, never below 0.5), and twfetch's peak memory (aim under 16 MiB);
// then the throttled variant's achieved rate against the pacing rule (blocks
// of rate x 500 bytes, block starts at least 600 ms apart). Prints; never fails.
#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

using twbench::FileServer;
using twbench::median;
using twbench::run;
using twbench::RunResult;
using twbench::sameFile;

void writePatternFile(const std::string& path, uint64_t bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    std::vector<unsigned char> block(1 << 20);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t done = 0; done < bytes;) {
        for (size_t i = 0; i < block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(&block[i], &x, 8);
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), bytes - done));
        fwrite(block.data(), 1, n, f);
        done += n;
    }
    fclose(f);
}

} // namespace

int main(int argc, char** argv) {
    const std::string build = TW_BUILD_DIR, source = TW_SOURCE_DIR;
    const std::string twfetch = build + "/tools/twfetch/twfetch";
    const std::string twreg = build + "/tools/twreg/twreg";
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const uint64_t bigBytes = 256ull << 20;

    std::string dir = build + "/bench-download";
    fs::remove_all(dir);
    fs::create_directories(dir + "/drives/c/Agent/logs");
    fs::create_directories(dir + "/drives/c/Temp");
    fs::create_directories(dir + "/drives/c/out");
    fs::create_directories(dir + "/curl");
    std::string big = dir + "/big.bin", small = dir + "/small.bin";
    writePatternFile(big, bigBytes);
    writePatternFile(small, 5ull << 20);

    FileServer server({{"/big.bin", big}, {"/small.bin", small}});
    std::string db = dir + "/registry.db";
    std::map<std::string, std::string> env = {
        {"TW_REGISTRY", db}, {"TW_DRIVE_ROOT", dir + "/drives"}, {"TEMP", "C:\\Temp"}};
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";
    auto reg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {twreg, "--registry", db});
        return run(args, {}).exitCode;
    };
    if (reg({"import", source + "/tests/data/http/agent-loopback.reg"}) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWServerPort", "/d", std::to_string(server.port()),
             "/f"}) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWLastAccessName", "/d", "127.0.0.1", "/f"}) !=
            0 ||
        reg({"add", key, "/v", "TWAgentLogLevel", "/t", "REG_DWORD", "/d", "1", "/f"}) != 0) {
        printf("bench_download: cannot prepare the registry with %s\n", twreg.c_str());
        return 0;
    }

    // Plain download: twfetch and curl, alternately.
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/big.bin";
    std::vector<double> tw, cu;
    long peakKb = 0;
    bool allSame = true;
    std::vector<double> ratios;
    for (int i = 0; i < rounds; ++i) {
        // Alternate which runs first, so that neither always meets the other's writeback.
        auto fetch = [&] {
            fs::remove(dir + "/drives/c/out/big.bin");
            RunResult a = run({twfetch, "download", "/big.bin", "C:\\out\\big.bin"}, env);
            allSame = allSame && a.exitCode == 0 && sameFile(big, dir + "/drives/c/out/big.bin");
            tw.push_back(a.seconds);
            peakKb = std::max(peakKb, a.maxRssKb);
        };
        auto reference = [&] {
            fs::remove(dir + "/curl/big.bin");
            cu.push_back(run({"curl", "-s", "-o", dir + "/curl/big.bin", url}, {}).seconds);
        };
        if (i % 2 == 0) {
            fetch();
            reference();
        } else {
            reference();
            fetch();
        }
        ratios.push_back(cu.back() / tw.back());
    }
    RunResult startup = run({twfetch, "get", "/small.bin.none"}, env);
    double mb = static_cast<double>(bigBytes) / (1 << 20);
    double twRate = mb / median(tw), cuRate = mb / median(cu);
    printf("download 256 MiB      twfetch %8.1f MiB/s   curl %8.1f MiB/s   ratio %.2f "
           "(aim >= 0.8, never < 0.5)%s\n",
           twRate, cuRate, twRate / cuRate, allSame ? "" : "   [file differs or failed]");
    std::sort(ratios.begin(), ratios.end());
    printf("  per-round ratios over %d rounds: lowest %.2f, median %.2f, highest %.2f\n", rounds,
           ratios.front(), median(ratios), ratios.back());
    printf("twfetch peak RSS      %8.1f MiB (aim < 16 MiB); a run without a body takes %.0f ms\n",
           peakKb / 1024.0, startup.seconds * 1e3);

    // Throttled download of 5 MiB at 1024 KBps: 512000-byte blocks.
    const int rateKBps = 1024;
    reg({"add", key, "/v", "DataTransferRate_KBps", "/d", std::to_string(rateKBps), "/f"});
    server.clearStarts();
    fs::remove(dir + "/drives/c/out/small.bin");
    RunResult t =
        run({twfetch, "download", "/small.bin", "C:\\out\\small.bin", "--throttled"}, env);
    std::vector<double> starts = server.rangedStarts();
    double defined = rateKBps * 500.0 / 0.6; // bytes per second by the pacing rule
    if (t.exitCode != 0 || starts.size() < 2 || !sameFile(small, dir + "/drives/c/out/small.bin")) {
        printf("throttled download failed (exit %d, %zu blocks)\n", t.exitCode, starts.size());
        return 0;
    }
    double span = starts.back() - starts.front();
    double achieved = (starts.size() - 1) * rateKBps * 500.0 / span;
    printf("throttled 5 MiB @ %d KBps  %zu blocks, achieved %.0f B/s vs %.0f B/s by the pacing "
           "rule: ratio %.3f (aim within 5%%); whole run %.2f s\n",
           rateKBps, starts.size(), achieved, defined, achieved / defined, t.seconds);
    fs::remove_all(dir);
    return 0;
}
