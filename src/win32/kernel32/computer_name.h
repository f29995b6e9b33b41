// The computer's names as GetComputerNameExW gives them, for the other modules
// of the Linux Win32 layer (not part of the Win32 surface).
#pragma once

#include <string>

namespace tw {

// The host name as the machine profile or the host gives it: the DNS host
// name (first label) and the primary DNS suffix (may be empty).
std::u16string MachineDnsHostName();
std::u16string MachineDnsDomain();

// Whether a server or machine name given to an API names this computer: empty,
// ".", "localhost", or its NetBIOS, DNS or full name, with or without "\\".
bool IsLocalMachineName(const std::u16string& name);

} // namespace tw
