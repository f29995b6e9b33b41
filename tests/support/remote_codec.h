// The wire format between the Windows test programs (under Wine) and the
// server host, a Linux program that runs the loopback servers for them
// (tests/server_host). A message is a 4-byte little-endian length and that
// many bytes of fields; a field is a number (8 bytes, little-endian) or a text
// (its length as a number, then its bytes). A request starts with the command
// name; an answer starts with "ok" or "error" and the reason.
#pragma once

#include "support/certs.h"
#include "support/http_server.h"

#include <stdint.h>

#include <string>
#include <vector>

namespace twtest::remote {

// A message may not exceed this (a request body the server recorded is at most 16 MiB).
constexpr uint32_t kMaxMessage = 64u << 20;

class Writer {
  public:
    Writer& num(uint64_t v);
    Writer& text(const std::string& s);
    Writer& behavior(const HttpBehavior& b);
    Writer& request(const RecordedRequest& r);
    Writer& identity(const TlsIdentity& t);
    const std::string& bytes() const { return out_; }

  private:
    std::string out_;
};

// Reads the fields in order; after the first fault every read fails and ok() is false.
class Reader {
  public:
    explicit Reader(std::string bytes) : in_(std::move(bytes)) {}
    uint64_t num();
    std::string text();
    HttpBehavior behavior();
    RecordedRequest request();
    TlsIdentity identity();
    bool ok() const { return ok_; }
    bool atEnd() const { return pos_ == in_.size(); }

  private:
    std::string in_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// A whole message with its length in front.
std::string Frame(const std::string& payload);
// The payload length a 4-byte header announces; false when it is over kMaxMessage.
bool FrameLength(const unsigned char header[4], uint32_t* length);

} // namespace twtest::remote
