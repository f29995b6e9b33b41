#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace twtest {

std::string BuildDir() { return TW_BUILD_DIR; }
std::string SourceDir() { return TW_SOURCE_DIR; }

std::string ToolPath(const std::string& name) {
    if (name == "twprereqhandler")
        return BuildDir() + "/twprereqhandler";
    return BuildDir() + "/tools/" + name + "/" + name;
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::string base = BuildDir() + "/tmp";
    std::filesystem::create_directories(base);
    std::string templ = base + "/t" + std::to_string(getpid()) + "_" +
                        std::to_string(counter++) + "_XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

static void drainInto(int fd, std::string& out, bool& open) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        out.append(buf, static_cast<size_t>(n));
    else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN))
        open = false;
}

static ProcessResult runWith(const std::string& program, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env,
                             const std::string& workDir, bool errOnTerminal) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0)
        throw std::runtime_error("pipe failed");
    // A terminal's reading end reports EIO once the program is gone, as a pipe reports its end.
    if (errOnTerminal ? openpty(&errPipe[0], &errPipe[1], nullptr, nullptr, nullptr) != 0
                      : pipe(errPipe) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        close(outPipe[1]);
        close(errPipe[1]);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(126);
        for (const auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ProcessResult r;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            drainInto(outPipe[0], r.out, outOpen);
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            drainInto(errPipe[0], r.err, errOpen);
    }
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.exitCode = 128 + WTERMSIG(status);
    return r;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env,
                         const std::string& workDir) {
    return runWith(program, args, env, workDir, false);
}

ProcessResult RunProcessOnTerminal(const std::string& program,
                                   const std::vector<std::string>& args,
                                   const std::map<std::string, std::string>& env,
                                   const std::string& workDir) {
    return runWith(program, args, env, workDir, true);
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

} // namespace twtest
