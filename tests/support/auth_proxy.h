// A small forwarding proxy on 127.0.0.1 that demands credentials with one
// scheme, Basic or Digest (MD5, qop "auth"), and records every request it got
// with its Proxy-Authorization. A request without the right credentials gets
// 407 and the challenge (the connection stays open); one with them goes to
// the origin on 127.0.0.1 named by its absolute URL (or by Host, for a path
// alone), and the origin's answer comes back. Plain HTTP only (no CONNECT).
#pragma once

#include "support/http_server.h"

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

namespace twtest {

class AuthProxy {
  public:
    enum class Scheme { Basic, Digest };

    AuthProxy(Scheme scheme, const std::string& user, const std::string& password);
    ~AuthProxy();
    AuthProxy(const AuthProxy&) = delete;
    AuthProxy& operator=(const AuthProxy&) = delete;

    uint16_t port() const;
    std::string address() const; // "127.0.0.1:<port>"
    // The requests as received, in order (bodies are not kept).
    std::vector<RecordedRequest> requests() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace twtest
