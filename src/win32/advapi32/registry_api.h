// What the Reg* functions (registry_api.cpp) share with the rest of the Linux
// Win32 layer (not part of the Win32 surface).
#pragma once

namespace tw {

// True when the machine the registry describes is AMD64: the stored
// PROCESSOR_ARCHITECTURE under HKLM\SYSTEM\CurrentControlSet\Control\Session
// Manager\Environment, else the host (x86_64 is AMD64). Decides whether the
// WOW64 view exists at all.
bool MachineIsAmd64();

namespace reg {

// Forgets every open key handle (the store is being closed).
void ForgetAllHandles();

} // namespace reg
} // namespace tw
