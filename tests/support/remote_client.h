// The Windows test programs' side of the server host (see remote_codec.h):
// one loopback connection per process to the address in TW_SERVER_HOST.
#pragma once

#include "support/remote_codec.h"

namespace twtest::remote {

// Sends one request and returns the answer after its "ok". Throws
// std::runtime_error when the host is unknown or unreachable or answers "error".
Reader Call(const Writer& request);

} // namespace twtest::remote
