// twfetch's resumable downloads beside the curl command-line tool resuming the
// same file (-C -): 256 MiB from nginx on loopback, each side starting from a
// partial file that holds its first half, then from nothing; the time of
// both, twfetch's peak memory (aim under 16 MiB plus the 1 MiB save limit),
// the peak for 1 GiB, and the registry record updates per save.
#include "rows.h"

#include <stdio.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace twbench {

namespace {

// nginx's Last-Modified for the file, fixed through its modification time.
const char kLastModified[] = "Wed, 21 Oct 2015 07:28:00 GMT";
const time_t kLastModifiedUnix = 1445412480;

// Output and errors of the programs are not the benchmark's.
RunResult quiet(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& env = {}) {
    return run(argv, env, false);
}

// The first `bytes` of `source` at `path`.
void writePrefix(const std::string& source, const std::string& path, uint64_t bytes) {
    fs::remove(path);
    fs::copy_file(source, path);
    fs::resize_file(path, bytes);
}

size_t countLines(const std::string& path, const std::string& part) {
    std::ifstream in(path);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        n += line.find(part) != std::string::npos;
    return n;
}

} // namespace

void ResumableRows(Context& c) {
    const std::string twfetch = c.build + "/tools/twfetch/twfetch";
    const std::string twreg = c.build + "/tools/twreg/twreg";
    const std::string dir = c.work + "/resumable";
    fs::create_directories(dir + "/www");
    fs::create_directories(dir + "/drives/c/Agent/logs");
    fs::create_directories(dir + "/drives/c/Agent/DownloadRepository");
    fs::create_directories(dir + "/drives/c/Temp");
    fs::create_directories(dir + "/drives/c/Downloads");
    fs::create_directories(dir + "/curl");
    const uint64_t fileBytes = 256ull << 20, half = fileBytes / 2;
    const std::string file = dir + "/www/big.bin";
    auto publish = [&](const std::string& path, uint64_t bytes) {
        WritePatternFile(path, bytes);
        timespec times[2] = {{kLastModifiedUnix, 0}, {kLastModifiedUnix, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    };
    publish(file, fileBytes);
    Nginx nginx(dir + "/www", dir + "/nginx");
    if (!nginx.ready()) {
        printf("resumable: nginx did not start (see %s/nginx)\n", dir.c_str());
        return;
    }

    const std::string db = dir + "/registry.db";
    const std::map<std::string, std::string> env = {
        {"TW_REGISTRY", db}, {"TW_DRIVE_ROOT", dir + "/drives"}, {"TEMP", "C:\\Temp"}};
    const std::string key = "HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell\\TWAgent";
    const std::string meta = key + "\\FileMetaData";
    const std::string id = "1700000000424242";
    auto reg = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {twreg, "--registry", db});
        return quiet(args).exitCode;
    };
    auto logLevel = [&](int level) {
        return reg({"add", key, "/v", "TWAgentLogLevel", "/t", "REG_DWORD", "/d",
                    std::to_string(level), "/f"});
    };
    if (reg({"import", c.source + "/tests/data/resumable/agent-resumable.reg"}) != 0 ||
        reg({"add", key + "\\ServerInfo", "/v", "TWServerPort", "/d", std::to_string(nginx.port()),
             "/f"}) != 0 ||
        reg({"add", meta, "/v", "InterSaveByteLimit", "/t", "REG_DWORD", "/d", "1048576", "/f"}) !=
            0 ||
        logLevel(1) != 0) {
        printf("resumable: cannot prepare the registry with %s\n", twreg.c_str());
        return;
    }
    const std::string partial = dir + "/drives/c/Agent/DownloadRepository/" + id;
    const std::string dest = dir + "/drives/c/Downloads/big.bin";
    // The state an interrupted run leaves: the file's first bytes and their record.
    auto prepareOurs = [&](const std::string& url, const std::string& source, uint64_t bytes) {
        fs::remove(dest);
        if (bytes == 0) {
            fs::remove(partial);
            reg({"delete", meta, "/v", url, "/f"});
            return;
        }
        writePrefix(source, partial, bytes);
        reg({"add", meta, "/v", url, "/d", id, "/f"});
        reg({"add", meta + "\\" + id, "/v", "PartialFileSize", "/t", "REG_DWORD", "/d",
             std::to_string(bytes), "/f"});
        reg({"add", meta + "\\" + id, "/v", "LastModifiedTime", "/d", kLastModified, "/f"});
        reg({"add", meta + "\\" + id, "/v", "LastRetryTime", "/d", "0", "/f"});
    };
    const std::string curlOut = dir + "/curl/big.bin";
    auto curlFrom = [&](const std::string& url) {
        return std::vector<std::string>{"curl",
                                        "-s",
                                        "-C",
                                        "-",
                                        "-o",
                                        curlOut,
                                        "http://127.0.0.1:" + std::to_string(nginx.port()) + url};
    };
    const std::vector<std::string> ours = {twfetch, "download", "/big.bin",
                                           "C:\\Downloads\\big.bin"};

    for (uint64_t start : {half, uint64_t(0)}) {
        std::vector<double> tw, cu, ratios;
        long peakKb = 0;
        bool twSame = true, cuSame = true;
        for (int i = 0; i < c.rounds; ++i) {
            auto fetch = [&] {
                prepareOurs("/big.bin", file, start);
                RunResult r = quiet(ours, env);
                tw.push_back(r.seconds);
                twSame = twSame && r.exitCode == 0 && sameFile(file, dest);
                peakKb = std::max(peakKb, r.maxRssKb);
            };
            auto reference = [&] {
                if (start == 0)
                    fs::remove(curlOut);
                else
                    writePrefix(file, curlOut, start);
                RunResult r = quiet(curlFrom("/big.bin"));
                cu.push_back(r.seconds);
                cuSame = cuSame && r.exitCode == 0 && sameFile(file, curlOut);
            };
            inTurn(i, fetch, reference);
            ratios.push_back(tw.back() / cu.back());
        }
        fs::remove(dest);
        fs::remove(curlOut);
        char name[96], note[240];
        snprintf(name, sizeof name, "resumable download from %llu MiB of 256 / curl -C - (time)",
                 static_cast<unsigned long long>(start >> 20));
        snprintf(note, sizeof note, "%s%s%s", Spread("per-round time ratios", ratios).c_str(),
                 twSame ? "" : "; TWFETCH FILE DIFFERS", cuSame ? "" : "; CURL FILE DIFFERS");
        c.report->add({name, median(tw), median(cu), "s", "", median(tw) / median(cu), "<= 1.0",
                       1.0, false, note});
        snprintf(name, sizeof name, "twfetch peak memory, resumable from %llu MiB",
                 static_cast<unsigned long long>(start >> 20));
        c.report->add({name, peakKb / 1024.0, 0, "MiB", "", 0, "< 17", 17, true, ""});
    }

    // The peak for 1 GiB, resumed from nothing.
    {
        const std::string huge = dir + "/www/huge.bin";
        publish(huge, 1ull << 30);
        prepareOurs("/huge.bin", huge, 0);
        RunResult r = quiet({twfetch, "download", "/huge.bin", "C:\\Downloads\\huge.bin"}, env);
        bool same = r.exitCode == 0 && sameFile(huge, dir + "/drives/c/Downloads/huge.bin");
        fs::remove(huge);
        fs::remove(dir + "/drives/c/Downloads/huge.bin");
        c.report->add({"twfetch peak memory, resumable 1 GiB", r.maxRssKb / 1024.0, 0, "MiB", "", 0,
                       "report", 0, false, same ? "" : "FILE DIFFERS OR FAILED"});
    }

    // One more resume at debug level, to count the saves and record updates.
    const std::string log = dir + "/drives/c/Agent/logs/twfetch.log";
    logLevel(3);
    prepareOurs("/big.bin", file, half);
    fs::remove(log);
    RunResult r = quiet(ours, env);
    const size_t saves = countLines(log, "Inside ProcessDownloadedBuffer");
    const size_t updates = countLines(log, "updated registry entries");
    char note[160];
    snprintf(note, sizeof note, "%zu record updates for %zu saves of 128 MiB, 3 values each%s",
             updates, saves, r.exitCode == 0 ? "" : "; the run failed");
    c.report->add({"registry record updates per save", saves ? double(updates) / saves : 0, 1, "",
                   "", saves ? double(updates) / saves : 0, "<= 1", 1.0, false, note});
}

} // namespace twbench
