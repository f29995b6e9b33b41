// Debian's tinyproxy as a real proxy for the tests: started on a free loopback
// port with its configuration, log and pid file in a temporary folder, and
// stopped by the destructor.
#pragma once

#include "support/test_support.h"

#include <stdint.h>

#include <string>

namespace twtest {

class TinyProxy {
  public:
    static constexpr const char* kProgram = "/usr/bin/tinyproxy";

    // With a user name the proxy demands these Basic credentials.
    explicit TinyProxy(const std::string& user = "", const std::string& password = "");
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    bool running() const { return pid_ > 0; }
    uint16_t port() const { return port_; }
    std::string address() const; // "127.0.0.1:<port>"
    std::string log() const;     // tinyproxy's own log so far
    // Why the start failed, when it did.
    const std::string& error() const { return error_; }

  private:
    bool startOnce(const std::string& user, const std::string& password);

    TempDir dir_;
    int pid_ = -1;
    uint16_t port_ = 0;
    std::string error_;
};

} // namespace twtest
