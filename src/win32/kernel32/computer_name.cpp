// GetComputerNameExW for the Linux build. The names come from the values a
// Windows machine keeps (Tcpip\Parameters "Hostname" and "Domain",
// ComputerName\ActiveComputerName and ComputerName\ComputerName
// "ComputerName") when the registry store has them, else from the host's
// gethostname.
#include "kernel32/computer_name.h"

#include "kernel32/machine_profile.h"
#include "kernel32/run_report.h"
#include "kernel32/text.h"

#include <limits.h>
#include <unistd.h>

#include <string>

namespace tw {

namespace {

const char16_t kTcpipParameters[] = u"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
const char16_t kActiveComputerName[] =
    u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
const char16_t kComputerName[] = u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

const size_t kMaxNetBiosName = 15; // MAX_COMPUTERNAME_LENGTH

std::string hostName() {
    char buf[HOST_NAME_MAX + 2] = {};
    if (gethostname(buf, sizeof buf - 1) != 0)
        return std::string();
    buf[sizeof buf - 1] = '\0';
    return buf;
}

std::u16string netBiosName() {
    std::u16string name;
    if (ReadMachineString(kActiveComputerName, u"ComputerName", name) && !name.empty())
        return name;
    if (ReadMachineString(kComputerName, u"ComputerName", name) && !name.empty())
        return name;
    // Windows derives the NetBIOS name from the host name: upper case, at
    // most 15 characters.
    name = MachineDnsHostName();
    if (name.size() > kMaxNetBiosName)
        name.resize(kMaxNetBiosName);
    for (auto& c : name)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 32);
    return name;
}

} // namespace

std::u16string MachineDnsHostName() {
    std::u16string name;
    if (ReadMachineString(kTcpipParameters, u"Hostname", name) && !name.empty())
        return name;
    std::string host = hostName();
    name = Utf8ToUtf16(host.substr(0, host.find('.')));
    NoteAssumption(kTcpipParameters, u"Hostname", name, AssumedFrom::Host);
    return name;
}

std::u16string MachineDnsDomain() {
    std::u16string domain;
    if (ReadMachineString(kTcpipParameters, u"Domain", domain))
        return domain;
    // A stored host name without a stored domain has none: never mix the
    // profile's name with the host's suffix.
    std::u16string storedHost;
    if (ReadMachineString(kTcpipParameters, u"Hostname", storedHost) && !storedHost.empty())
        return std::u16string();
    // Only what the host name itself says; asking DNS could hang.
    std::string host = hostName();
    size_t dot = host.find('.');
    domain = dot == std::string::npos ? std::u16string() : Utf8ToUtf16(host.substr(dot + 1));
    NoteAssumption(kTcpipParameters, u"Domain", domain, AssumedFrom::Host);
    return domain;
}

bool IsLocalMachineName(const std::u16string& machine) {
    std::u16string name = machine;
    if (name.size() >= 2 && name[0] == u'\\' && name[1] == u'\\')
        name = name.substr(2);
    if (name.empty() || name == u"." || EqualNoCase(name, u"localhost"))
        return true;
    std::u16string host = MachineDnsHostName();
    std::u16string domain = MachineDnsDomain();
    return EqualNoCase(name, netBiosName()) || EqualNoCase(name, host) ||
           (!domain.empty() && EqualNoCase(name, host + u"." + domain));
}

} // namespace tw

extern "C" {

BOOL GetComputerNameExW(COMPUTER_NAME_FORMAT format, LPWSTR buffer, LPDWORD size) {
    if (size == nullptr || format < ComputerNameNetBIOS || format >= ComputerNameMax ||
        (buffer == nullptr && *size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        std::u16string name;
        switch (format) {
        case ComputerNameNetBIOS:
        case ComputerNamePhysicalNetBIOS:
            name = tw::netBiosName();
            break;
        case ComputerNameDnsHostname:
        case ComputerNamePhysicalDnsHostname:
            name = tw::MachineDnsHostName();
            break;
        case ComputerNameDnsDomain:
        case ComputerNamePhysicalDnsDomain:
            name = tw::MachineDnsDomain();
            break;
        default: {
            name = tw::MachineDnsHostName();
            std::u16string domain = tw::MachineDnsDomain();
            if (!domain.empty())
                name += u"." + domain;
            break;
        }
        }
        // Sizes are in characters; the terminator counts only in the size
        // asked for when the buffer is too small.
        if (*size < name.size() + 1) {
            *size = static_cast<DWORD>(name.size() + 1);
            SetLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        name.copy(buffer, name.size());
        buffer[name.size()] = u'\0';
        *size = static_cast<DWORD>(name.size());
        return TRUE;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
}

} // extern "C"
