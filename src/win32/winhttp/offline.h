// The offline switch of the Linux WinHTTP (offline.cpp; not part of the Win32
// surface).
#pragma once

namespace tw::winhttp {

// True while the environment variable TW_OFFLINE is set to anything but ""
// or "0": every connection then fails at once with
// ERROR_WINHTTP_CANNOT_CONNECT, as on a machine that cannot reach any
// server, before any name is looked up.
bool Offline();

} // namespace tw::winhttp
