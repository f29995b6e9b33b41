// The clock as the other modules of the Linux Win32 layer read it (not part
// of the Win32 surface).
#pragma once

namespace tw {

// Milliseconds since 1970 of the current time.
long long NowUnixMillis();

} // namespace tw
