// twfetch's downloads beside the curl command-line tool: 256 MiB from nginx
// on loopback (throughput of both and twfetch's peak memory), the peak for a
// 1 GiB file, and the throttled variant's achieved rate against the pacing
// rule (blocks of rate x 500 bytes, block starts at least 600 ms apart).
#include "rows.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace twbench {

void WritePatternFile(const std::string& path, uint64_t bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t done = 0; f != nullptr && done < bytes;) {
        for (auto& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size() * 8, bytes - done));
        fwrite(block.data(), 1, n, f);
        done += n;
    }
    if (f != nullptr)
        fclose(f);
}

std::string Spread(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    char b[160];
    snprintf(b, sizeof b, "%s: lowest %.2f, median %.2f, highest %.2f over %zu rounds", what,
             v.front(), median(v), v.back(), v.size());
    return b;
}

void DownloadRows(Context& c) {
    const std::string twfetch = c.build + "/tools/twfetch/twfetch";
    const std::string twreg = c.build + "/tools/twreg/twreg";
    const std::string dir = c.work + "/download";
    fs::create_directories(dir + "/www");
    fs::create_directories(dir + "/drives/c/Agent/logs");
    fs::create_directories(dir + "/drives/c/Temp");
    fs::create_directories(dir + "/drives/c/out");
    fs::create_directories(dir + "/curl");
    const std::string big = dir + "/www/big.bin", small = dir + "/small.bin";
    const uint64_t bigBytes = 256ull << 20;
    WritePatternFile(big, bigBytes);
    WritePatternFile(small, 5ull << 20);

    Nginx nginx(dir + "/www", dir + "/nginx");
    if (!nginx.ready()) {
        printf("download: nginx did not start (see %s/nginx)\n", dir.c_str());
        return;
    }
    const std::string db = dir + "/registry.db";
    const std::map<std::string, std::string> env = {
        {"TW_REGISTRY", db}, {"TW_DRIVE_ROOT", dir + "/drives"}, {"TEMP", "C:\\Temp"}};
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";
    auto reg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {twreg, "--registry", db});
        return run(args).exitCode;
    };
    auto serverPort = [&](uint16_t port) {
        return reg(
            {"add", key + "\\ServerInfo", "/v", "TWServerPort", "/d", std::to_string(port), "/f"});
    };
    if (reg({"import", c.source + "/tests/data/http/agent-loopback.reg"}) != 0 ||
        serverPort(nginx.port()) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWLastAccessName", "/d", "127.0.0.1", "/f"}) !=
            0 ||
        reg({"add", key, "/v", "TWAgentLogLevel", "/t", "REG_DWORD", "/d", "1", "/f"}) != 0) {
        printf("download: cannot prepare the registry with %s\n", twreg.c_str());
        return;
    }

    // Plain download: twfetch and curl in turn, each starting first every other round.
    const std::string url = "http://127.0.0.1:" + std::to_string(nginx.port()) + "/big.bin";
    const std::string ours = dir + "/drives/c/out/big.bin", theirs = dir + "/curl/big.bin";
    std::vector<double> tw, cu, twCpu, cuCpu, ratios;
    long peakKb = 0;
    bool allSame = true;
    for (int i = 0; i < c.rounds; ++i) {
        auto fetch = [&] {
            fs::remove(ours);
            RunResult a = run({twfetch, "download", "/big.bin", "C:\\out\\big.bin"}, env);
            allSame = allSame && a.exitCode == 0 && sameFile(big, ours);
            tw.push_back(a.seconds);
            twCpu.push_back(a.cpuSeconds);
            peakKb = std::max(peakKb, a.maxRssKb);
        };
        auto reference = [&] {
            fs::remove(theirs);
            RunResult a = run({"curl", "-s", "-o", theirs, url});
            cu.push_back(a.seconds);
            cuCpu.push_back(a.cpuSeconds);
        };
        inTurn(i, fetch, reference);
        ratios.push_back(cu.back() / tw.back());
    }
    fs::remove(ours);
    fs::remove(theirs);
    const double mib = static_cast<double>(bigBytes) / (1 << 20);
    const double twRate = mib / median(tw), cuRate = mib / median(cu);
    char note[240];
    snprintf(note, sizeof note, "%s; processor time %.0f ms vs %.0f ms%s",
             Spread("per-round throughput ratios", ratios).c_str(), median(twCpu) * 1e3,
             median(cuCpu) * 1e3, allSame ? "" : "; FILE DIFFERS OR FAILED");
    c.report->add({"twfetch download 256 MiB from nginx / curl -o", twRate, cuRate, "MiB/s", "",
                   twRate / cuRate, ">= 0.95", 0.95, false, note});
    c.report->add({"twfetch peak memory, 256 MiB download", peakKb / 1024.0, 0, "MiB", "", 0,
                   "< 17", 17, true, ""});

    // The peak for 1 GiB.
    {
        const std::string huge = dir + "/www/huge.bin";
        WritePatternFile(huge, 1ull << 30);
        fs::remove(dir + "/drives/c/out/huge.bin");
        RunResult a = run({twfetch, "download", "/huge.bin", "C:\\out\\huge.bin"}, env);
        bool same = a.exitCode == 0 && sameFile(huge, dir + "/drives/c/out/huge.bin");
        fs::remove(huge);
        fs::remove(dir + "/drives/c/out/huge.bin");
        c.report->add({"twfetch peak memory, 1 GiB download", a.maxRssKb / 1024.0, 0, "MiB", "", 0,
                       "report", 0, false, same ? "" : "FILE DIFFERS OR FAILED"});
    }

    // Throttled download of 5 MiB at 1024 KBps: 512000-byte blocks, whose
    // start times the loopback server notes.
    FileServer server({{"/small.bin", small}});
    serverPort(server.port());
    const int rateKBps = 1024;
    reg({"add", key, "/v", "DataTransferRate_KBps", "/d", std::to_string(rateKBps), "/f"});
    fs::remove(dir + "/drives/c/out/small.bin");
    RunResult t =
        run({twfetch, "download", "/small.bin", "C:\\out\\small.bin", "--throttled"}, env);
    std::vector<double> starts = server.rangedStarts();
    if (t.exitCode != 0 || starts.size() < 2 || !sameFile(small, dir + "/drives/c/out/small.bin")) {
        printf("throttled download failed (exit %d, %zu blocks)\n", t.exitCode, starts.size());
        return;
    }
    const double defined = rateKBps * 500.0 / 0.6; // bytes per second by the pacing rule
    const double achieved =
        (starts.size() - 1) * rateKBps * 500.0 / (starts.back() - starts.front());
    snprintf(note, sizeof note, "%zu blocks of 5 MiB at %d KBps; whole run %.2f s; aim within 5%%",
             starts.size(), rateKBps, t.seconds);
    c.report->add({"throttled download: achieved rate / pacing rule", achieved / 1024,
                   defined / 1024, "KiB/s", "", achieved / defined, "report", 0, false, note});
}

} // namespace twbench
