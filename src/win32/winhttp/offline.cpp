// The offline switch: a replay of an exported machine (twreplay) must never
// reach the servers that machine names, and must log what that machine logs
// when it cannot reach them. Read at every connection, so that a process can
// turn it on and off.
#include "winhttp/offline.h"

#include <stdlib.h>
#include <string.h>

namespace tw::winhttp {

bool Offline() {
    const char* v = getenv("TW_OFFLINE");
    return v != nullptr && *v != '\0' && strcmp(v, "0") != 0;
}

} // namespace tw::winhttp
