// A stand-in Windows service for tests: listens on <dir>/<name>.ctl as the
// Linux Service Control Manager expects (see src/win32/include/winsvc.h),
// records every control code it receives and answers it.
#pragma once

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace twtest {

class ServiceListener {
  public:
    enum class Mode {
        Answer, // reply with the configured result and a running status
        HangUp, // read the code, then close without replying
    };

    // Binds and starts listening at once; the socket file is removed on destruction.
    ServiceListener(const std::string& dir, const std::string& name);
    ~ServiceListener();
    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;

    // The Win32 result sent back (0 accepts the control).
    void setResult(uint32_t result);
    void setMode(Mode mode);
    // Stops accepting but leaves the socket file behind, like a crashed service.
    void stopListening();

    std::vector<uint32_t> codes() const;
    const std::string& socketPath() const { return path_; }

  private:
    void run();
    void serve(int client);

    std::string path_;
    int listenFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<uint32_t> codes_;
    uint32_t result_ = 0;
    Mode mode_ = Mode::Answer;
};

} // namespace twtest
