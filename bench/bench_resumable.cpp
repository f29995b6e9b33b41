// Resumable downloads through twfetch side by side with the curl command-line
// tool resuming the same file (-C -): a 256 MiB file from a loopback server,
// each side starting from a partial file holding its first half, then from
// nothing. Prints both throughputs and their ratio (aim 0.8, never below
// 0.5), the registry record updates per MiB saved (at most one per save) and
// twfetch's peak memory (aim under 16 MiB plus the 1 MiB save limit).
// Prints; never fails.
#include "bench_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
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
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kLastModified[] = "Wed, 21 Oct 2015 07:28:00 GMT";
const uint64_t kFileBytes = 256ull << 20;
const uint64_t kHalf = kFileBytes / 2;
const double kMiB = 1024.0 * 1024.0;

using twbench::median;
using twbench::sameFile;

// Output and errors of the programs are not the benchmark's.
twbench::RunResult run(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env = {}) {
    return twbench::run(argv, env, false);
}

void writeSourceFile(const std::string& path, uint64_t bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    std::vector<uint64_t> block(1 << 17);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t done = 0; done < bytes; done += block.size() * 8) {
        for (auto& w : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        fwrite(block.data(), 1, std::min<uint64_t>(bytes - done, block.size() * 8), f);
    }
    fclose(f);
}

// The first `bytes` of the source file at `path`.
void writePrefix(const std::string& source, const std::string& path, uint64_t bytes) {
    fs::remove(path);
    fs::copy_file(source, path);
    fs::resize_file(path, bytes);
}

size_t countLines(const std::string& path, const std::string& part) {
    std::ifstream in(path);
    std::string line;
    size_t n = 0;
    while (std::getline(in, line))
        n += line.find(part) != std::string::npos;
    return n;
}

} // namespace

int main(int argc, char** argv) {
    const std::string build = TW_BUILD_DIR, source = TW_SOURCE_DIR;
    const std::string twfetch = build + "/tools/twfetch/twfetch";
    const std::string twreg = build + "/tools/twreg/twreg";
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    // The probe's body is never read: the client leaves while the server sends.
    signal(SIGPIPE, SIG_IGN);

    const std::string dir = build + "/bench-resumable";
    fs::remove_all(dir);
    fs::create_directories(dir + "/drives/c/Agent/logs");
    fs::create_directories(dir + "/drives/c/Agent/DownloadRepository");
    fs::create_directories(dir + "/drives/c/Temp");
    fs::create_directories(dir + "/drives/c/Downloads");
    fs::create_directories(dir + "/curl");
    const std::string file = dir + "/big.bin";
    writeSourceFile(file, kFileBytes);
    twbench::FileServer server({{"/big.bin", file}}, kLastModified);

    const std::string db = dir + "/registry.db";
    const std::map<std::string, std::string> env = {
        {"TW_REGISTRY", db}, {"TW_DRIVE_ROOT", dir + "/drives"}, {"TEMP", "C:\\Temp"}};
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";
    const std::string meta = key + "\\FileMetaData";
    const std::string url = "/big.bin";
    const std::string id = "1700000000424242";
    auto reg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {twreg, "--registry", db});
        return run(args).exitCode;
    };
    auto logLevel = [&](int level) {
        return reg({"add", key, "/v", "TWAgentLogLevel", "/t", "REG_DWORD", "/d",
                    std::to_string(level), "/f"});
    };
    if (reg({"import", source + "/tests/data/resumable/agent-resumable.reg"}) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWServerPort", "/d", std::to_string(server.port()),
             "/f"}) != 0 ||
        reg({"add", meta, "/v", "InterSaveByteLimit", "/t", "REG_DWORD", "/d", "1048576", "/f"}) !=
            0 ||
        logLevel(1) != 0) {
        printf("bench_resumable: cannot prepare the registry with %s\n", twreg.c_str());
        return 0;
    }
    const std::string partial = dir + "/drives/c/Agent/DownloadRepository/" + id;
    const std::string dest = dir + "/drives/c/Downloads/big.bin";
    // The state an interrupted run leaves: half the file and its record.
    auto prepareOurs = [&](uint64_t bytes) {
        fs::remove(dest);
        if (bytes == 0) {
            fs::remove(partial);
            reg({"delete", meta, "/v", url, "/f"});
            return;
        }
        writePrefix(file, partial, bytes);
        reg({"add", meta, "/v", url, "/d", id, "/f"});
        reg({"add", meta + "\\" + id, "/v", "PartialFileSize", "/t", "REG_DWORD", "/d",
             std::to_string(bytes), "/f"});
        reg({"add", meta + "\\" + id, "/v", "LastModifiedTime", "/d", kLastModified, "/f"});
        reg({"add", meta + "\\" + id, "/v", "LastRetryTime", "/d", "0", "/f"});
    };
    const std::vector<std::string> ours = {twfetch, "download", url, "C:\\Downloads\\big.bin"};
    const std::string curlOut = dir + "/curl/big.bin";
    const std::vector<std::string> curl = {
        "curl",
        "-s",
        "-C",
        "-",
        "-o",
        curlOut,
        "http://127.0.0.1:" + std::to_string(server.port()) + url};

    struct Side {
        std::vector<double> rates;
        bool allSame = true;
        long peakKb = 0;
    };
    for (uint64_t start : {kHalf, uint64_t(0)}) {
        Side tw, cu;
        const double transferred = static_cast<double>(kFileBytes - start) / kMiB;
        for (int i = 0; i < rounds; ++i) {
            prepareOurs(start);
            twbench::RunResult r = run(ours, env);
            tw.rates.push_back(transferred / r.seconds);
            tw.allSame = tw.allSame && r.exitCode == 0 && sameFile(file, dest);
            tw.peakKb = std::max(tw.peakKb, r.maxRssKb);

            if (start == 0)
                fs::remove(curlOut);
            else
                writePrefix(file, curlOut, start);
            r = run(curl);
            cu.rates.push_back(transferred / r.seconds);
            cu.allSame = cu.allSame && r.exitCode == 0 && sameFile(file, curlOut);
        }
        const double ratio = median(tw.rates) / median(cu.rates);
        printf("resume from %3llu MiB of 256: twfetch %8.1f MiB/s   curl -C - %8.1f MiB/s   ratio "
               "%.2f (aim 0.80, floor 0.50)%s%s\n",
               static_cast<unsigned long long>(start >> 20), median(tw.rates), median(cu.rates),
               ratio, tw.allSame ? "" : "   TWFETCH FILE DIFFERS",
               cu.allSame ? "" : "   CURL FILE DIFFERS");
        printf(
            "    twfetch peak memory %.1f MiB (aim under %.1f MiB: 16 MiB plus the save limit)\n",
            tw.peakKb / 1024.0, 16.0 + 1.0);
    }

    // One more resume at debug level, to count the saves and record updates.
    const std::string log = dir + "/drives/c/Agent/logs/twfetch.log";
    logLevel(3);
    prepareOurs(kHalf);
    fs::remove(log);
    twbench::RunResult r = run(ours, env);
    const size_t saves = countLines(log, "Inside ProcessDownloadedBuffer");
    const size_t updates = countLines(log, "updated registry entries");
    const double saved = static_cast<double>(kFileBytes - kHalf) / kMiB;
    printf("registry: %zu record updates for %zu saves of %.0f MiB: %.2f updates per MiB, %.2f "
           "per save (at most 1), each writing 3 values%s\n",
           updates, saves, saved, updates / saved, saves ? double(updates) / saves : 0.0,
           r.exitCode == 0 ? "" : "   (run failed)");
    fs::remove_all(dir);
    return 0;
}
