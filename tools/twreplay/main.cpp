// twreplay: what twprereqhandler answers on machines given as regedit
// exports, offline, for one machine or a whole fleet.
//
//   twreplay [-j N] [--json | --csv] [--keep DIR] [--checker PROGRAM]
//            MACHINE... [-- CHECKER-ARGS]
//
// A machine is a .reg file, or a folder of .reg files (merged in name
// order). A folder with no .reg file in it is a fleet: each of its
// subfolders that holds .reg files is a machine. The checker's arguments
// default to -m 1 -r 1 -e 1 -q 1. Exit status 0 when every machine
// replayed, 1 when some could not be, 2 for a usage error.
#include "fleet.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

using twreplay::Format;
using twreplay::Machine;

const char kUsage[] =
    "usage: twreplay [-j N] [--json | --csv] [--keep DIR] [--checker PROGRAM] MACHINE... "
    "[-- CHECKER-ARGS]\n";

int usage(const std::string& why) {
    fprintf(stderr, "twreplay: %s\n%s", why.c_str(), kUsage);
    return 2;
}

bool isRegFile(const fs::directory_entry& e) {
    std::error_code ec;
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 0x20 : c); });
    return ext == ".reg" && e.is_regular_file(ec);
}

// The .reg files directly in `dir`, in name order.
std::vector<std::string> regFilesIn(const fs::path& dir, std::error_code& ec) {
    std::vector<std::string> files;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (isRegFile(*it))
            files.push_back(it->path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string labelOf(const fs::path& p) {
    fs::path clean = p.lexically_normal();
    return clean.has_filename() ? clean.filename().string()
                                : clean.parent_path().filename().string();
}

// The machines an argument names.
void machinesOf(const std::string& arg, std::vector<Machine>& out) {
    std::error_code ec;
    fs::path p(arg);
    Machine m;
    m.path = arg;
    m.label = labelOf(p);
    if (!fs::is_directory(p, ec)) {
        if (!fs::exists(p, ec))
            m.problem = "no such file or folder";
        else
            m.files = {arg};
        if (m.label.size() > 4 && m.label.substr(m.label.size() - 4) == ".reg")
            m.label.resize(m.label.size() - 4);
        out.push_back(m);
        return;
    }
    m.files = regFilesIn(p, ec);
    if (ec) {
        m.problem = "cannot read the folder: " + ec.message();
        out.push_back(m);
        return;
    }
    if (!m.files.empty()) {
        out.push_back(m);
        return;
    }
    // A fleet: its subfolders with .reg files, in name order.
    std::vector<fs::path> subs;
    for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec))
            subs.push_back(it->path());
    std::sort(subs.begin(), subs.end());
    size_t found = 0;
    for (const auto& sub : subs) {
        std::error_code subEc;
        Machine s;
        s.path = sub.string();
        s.label = sub.filename().string();
        s.files = regFilesIn(sub, subEc);
        if (subEc)
            s.problem = "cannot read the folder: " + subEc.message();
        if (!s.files.empty() || subEc) {
            out.push_back(s);
            ++found;
        }
    }
    if (found == 0) {
        m.problem = "no .reg files in the folder or its subfolders";
        out.push_back(m);
    }
}

// The checker beside this program, as installed, or in the build tree.
std::string defaultChecker() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (const fs::path& candidate :
             {self.parent_path() / "twprereqhandler",
              self.parent_path().parent_path().parent_path() / "twprereqhandler"}) {
            if (access(candidate.c_str(), X_OK) == 0)
                return candidate.string();
        }
    }
    const char* path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/twprereqhandler";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return "";
}

bool parseJobs(const std::string& text, int& jobs) {
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    jobs = atoi(text.c_str());
    return jobs >= 1;
}

int run(int argc, char** argv) {
    twreplay::FleetOptions o;
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    o.jobs = cores > 0 ? static_cast<int>(cores) : 1;
    o.checkerArgs = {"-m", "1", "-r", "1", "-e", "1", "-q", "1"};
    std::vector<std::string> machineArgs;
    bool formatGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--") {
            o.checkerArgs.assign(argv + i + 1, argv + argc);
            break;
        } else if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "-j" || a.rfind("-j", 0) == 0) {
            v = a.size() > 2 ? a.substr(2) : "";
            if ((v.empty() && !value(v)) || !parseJobs(v, o.jobs))
                return usage("-j needs a number of machines from 1 to 9999");
        } else if (a == "--json" || a == "--csv") {
            if (formatGiven)
                return usage("give one of --json and --csv");
            formatGiven = true;
            o.format = a == "--json" ? Format::kJson : Format::kCsv;
        } else if (a == "--keep") {
            if (!value(o.keepDir) || o.keepDir.empty())
                return usage("--keep needs a folder");
        } else if (a == "--checker") {
            if (!value(o.checker) || o.checker.empty())
                return usage("--checker needs a program");
        } else if (a.size() > 1 && a[0] == '-') {
            return usage("unknown option " + a);
        } else {
            machineArgs.push_back(a);
        }
    }
    if (machineArgs.empty())
        return usage("name at least one machine");
    if (o.checker.empty())
        o.checker = defaultChecker();
    if (o.checker.empty() || access(o.checker.c_str(), X_OK) != 0)
        return usage("cannot find the twprereqhandler program; name it with --checker");
    o.checker = fs::absolute(o.checker).string();
    if (!o.keepDir.empty())
        o.keepDir = fs::absolute(o.keepDir).string();

    std::vector<Machine> machines;
    for (const auto& a : machineArgs)
        machinesOf(a, machines);
    return twreplay::RunFleet(machines, o);
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        fprintf(stderr, "twreplay: internal error: %s\n", e.what());
        return 2;
    }
}
