// The fleet: a work folder for the run, one forked replay process per
// machine (each with its own process group, so that an interrupted run can
// stop a replay together with its checker), reports collected through pipes
// and printed in order, and every folder removed that --keep does not keep.
// A replay process hands in its report first and removes its folder after,
// so that the next machine starts while the file system deletes.
#include "fleet.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>

namespace fs = std::filesystem;

namespace twreplay {

namespace {

volatile sig_atomic_t g_stop = 0;

void onStopSignal(int sig) {
    g_stop = sig;
}

// A report cannot grow past this; a replay process that writes more is broken.
const size_t kMaxReportBytes = 16u << 20;

struct Running {
    size_t index = 0;
    int fd = -1;
    std::string text;
};

std::string tempRoot() {
    const char* t = getenv("TMPDIR");
    return t != nullptr && *t != '\0' ? t : "/tmp";
}

// A folder of its own for the machine: below the run's work folder, or with
// --keep a new folder in DIR named after the machine.
bool makeMachineDir(const std::string& parent, const std::string& label, std::string& dir) {
    std::string base = label.empty() || label == "." || label == ".." ? "machine" : label;
    for (int n = 1; n < 10000; ++n) {
        dir = parent + "/" + base;
        if (n > 1) {
            dir += '-';
            dir += std::to_string(n);
        }
        if (mkdir(dir.c_str(), 0755) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Runs `fn` in a child process; its exit status says whether it succeeded.
template <typename Fn> bool inChild(Fn fn) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0)
        _exit(fn() ? 0 : 1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Fleet {
  public:
    Fleet(const std::vector<Machine>& machines, const FleetOptions& o)
        : machines_(machines), options_(o), reports_(machines.size()), dirs_(machines.size()) {}

    int run() {
        installSignals();
        char templ[4096];
        snprintf(templ, sizeof templ, "%s/twreplay-XXXXXX", tempRoot().c_str());
        if (mkdtemp(templ) == nullptr) {
            fprintf(stderr, "twreplay: cannot create a work folder in %s: %s\n", tempRoot().c_str(),
                    strerror(errno));
            return 2;
        }
        work_ = templ;
        settings_.checker = options_.checker;
        settings_.checkerArgs = options_.checkerArgs;
        settings_.emptyStore = work_ + "/empty.db";
        if (!options_.keepDir.empty()) {
            std::error_code ec;
            fs::create_directories(options_.keepDir, ec);
            if (!fs::is_directory(options_.keepDir)) {
                fprintf(stderr, "twreplay: cannot create %s\n", options_.keepDir.c_str());
                removeWork();
                return 2;
            }
        }
        std::string error;
        if (!inChild([&] {
                if (CreateEmptyStore(settings_.emptyStore, error))
                    return true;
                fprintf(stderr, "twreplay: %s\n", error.c_str());
                return false;
            }) ||
            g_stop) {
            removeWork();
            return 2;
        }

        bool allReplayed = true;
        size_t next = 0;
        bool outputGone = !emit(Header(options_.format));
        while (!g_stop && !outputGone && (next < machines_.size() || !running_.empty())) {
            while (!g_stop && next < machines_.size() &&
                   running_.size() < static_cast<size_t>(options_.jobs))
                start(next++);
            if (!running_.empty())
                collect();
            reap(false);
            while (printed_ < machines_.size() && reports_[printed_]) {
                const MachineReport& r = *reports_[printed_];
                allReplayed = allReplayed && r.status == MachineReport::kReplayed;
                outputGone = outputGone || !emit(Render(r, options_.format));
                ++printed_;
            }
        }
        if (g_stop || outputGone) {
            stopAll();
            removeWork();
            if (g_stop) {
                signal(g_stop, SIG_DFL);
                raise(g_stop);
            }
            return 2;
        }
        reap(true);
        removeWork();
        return allReplayed ? 0 : 1;
    }

  private:
    // A stop signal ends the run with everything cleaned up. A reader that
    // went away (twreplay ... | head) ends it too, as a failed write rather
    // than SIGPIPE, so that the folders still go; replay processes inherit
    // that, so one whose fleet died still removes its folder.
    void installSignals() {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = onStopSignal;
        sigemptyset(&sa.sa_mask);
        for (int sig : {SIGINT, SIGTERM, SIGHUP})
            sigaction(sig, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);
    }

    static bool emit(const std::string& text) {
        return fputs(text.c_str(), stdout) >= 0 && fflush(stdout) == 0;
    }

    // The report of a machine that could not be replayed at all.
    void notReplayed(size_t index, const std::string& reason) {
        const Machine& m = machines_[index];
        MachineReport r;
        r.path = m.path;
        r.files = m.files;
        r.computer = m.label;
        r.reason = reason;
        reports_[index] = r;
    }

    void start(size_t index) {
        const Machine& m = machines_[index];
        const bool keep = !options_.keepDir.empty();
        std::string dir;
        if (!makeMachineDir(keep ? options_.keepDir : work_, keep ? m.label : std::to_string(index),
                            dir)) {
            notReplayed(index,
                        "cannot create a folder for the replay: " + std::string(strerror(errno)));
            return;
        }
        dirs_[index] = dir;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            notReplayed(index, "cannot start a replay: " + std::string(strerror(errno)));
            removeDir(index);
            return;
        }
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            close(fds[0]);
            for (auto& [other, r] : running_)
                close(r.fd);
            signal(SIGINT, SIG_DFL);
            signal(SIGTERM, SIG_DFL);
            signal(SIGHUP, SIG_DFL);
            std::string text = Encode(ReplayMachine(m, settings_, dir, keep));
            size_t done = 0;
            while (done < text.size()) {
                ssize_t n = write(fds[1], text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            close(fds[1]);
            if (!keep) {
                std::error_code ec;
                fs::remove_all(dir, ec);
            }
            _exit(0);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            notReplayed(index, "cannot start a replay: " + std::string(strerror(errno)));
            removeDir(index);
            return;
        }
        setpgid(pid, pid); // also here, so that a stop never misses the group
        running_[pid] = Running{index, fds[0], std::string()};
    }

    // Waits for output from the running replays and takes in those that ended.
    void collect() {
        std::vector<pollfd> fds;
        std::vector<pid_t> pids;
        for (auto& [pid, r] : running_) {
            fds.push_back({r.fd, POLLIN, 0});
            pids.push_back(pid);
        }
        if (poll(fds.data(), fds.size(), -1) < 0)
            return; // a signal: the caller looks at g_stop
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            Running& r = running_[pids[i]];
            char buf[65536];
            ssize_t n = read(r.fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0 && r.text.size() + static_cast<size_t>(n) <= kMaxReportBytes) {
                r.text.append(buf, static_cast<size_t>(n));
                continue;
            }
            finish(pids[i], n == 0);
        }
    }

    // A replay's pipe closed: its report is in, or it ended without one.
    void finish(pid_t pid, bool complete) {
        Running r = running_[pid];
        running_.erase(pid);
        close(r.fd);
        MachineReport report;
        if (complete && Decode(r.text, report)) {
            reports_[r.index] = report;
            exiting_[pid] = r.index; // removing its folder
            return;
        }
        // Stop whatever is left of it, its checker included, before taking its status.
        kill(-pid, SIGKILL);
        int status = waitFor(pid);
        notReplayed(r.index, WIFSIGNALED(status) ? "the replay ended with signal " +
                                                       std::to_string(WTERMSIG(status))
                                                 : "the replay ended without a report");
        if (options_.keepDir.empty())
            removeDir(r.index);
    }

    // Takes in the replay processes that handed in their reports and have
    // removed their folders (all of them with `block`); a folder one of them
    // left behind is removed here.
    void reap(bool block) {
        for (auto it = exiting_.begin(); it != exiting_.end();) {
            int status = 0;
            if (block)
                waitFor(it->first);
            else if (waitpid(it->first, &status, WNOHANG) == 0) {
                ++it;
                continue;
            }
            if (options_.keepDir.empty())
                removeDir(it->second);
            it = exiting_.erase(it);
        }
    }

    static int waitFor(pid_t pid) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    }

    void stopAll() {
        for (auto& [pid, r] : running_) {
            kill(-pid, SIGKILL);
            close(r.fd);
            waitFor(pid);
        }
        running_.clear();
        for (auto& [pid, index] : exiting_) {
            kill(-pid, SIGKILL);
            waitFor(pid);
        }
        exiting_.clear();
    }

    void removeDir(size_t index) {
        if (dirs_[index].empty())
            return;
        std::error_code ec;
        fs::remove_all(dirs_[index], ec);
        dirs_[index].clear();
    }

    void removeWork() {
        std::error_code ec;
        if (!work_.empty())
            fs::remove_all(work_, ec);
    }

    const std::vector<Machine>& machines_;
    FleetOptions options_;
    ReplaySettings settings_;
    std::string work_;
    std::vector<std::optional<MachineReport>> reports_;
    std::vector<std::string> dirs_;
    std::map<pid_t, Running> running_;
    std::map<pid_t, size_t> exiting_;
    size_t printed_ = 0;
};

} // namespace

int RunFleet(const std::vector<Machine>& machines, const FleetOptions& options) {
    Fleet fleet(machines, options);
    return fleet.run();
}

} // namespace twreplay
