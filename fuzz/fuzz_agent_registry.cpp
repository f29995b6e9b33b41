// Registry data as the agent reads it: values of any type and size in place
// of the settings InitializeAgentParameters reads and of a resumable
// download's record, then the start-up's configuration load and the record's
// reading as a download does it.
//
// Input: records of a slot byte (which value), a type byte (0xFF deletes the
// value), a byte n, a 16-bit little-endian size and n bytes of data, repeated
// or cut to the size, so that a short input can make a large value.
// Every input starts from the same machine: a database of this process's
// own holds a complete agent configuration and one download record, and each
// input's values and everything the agent writes are rolled back afterwards
// (one registry batch per input), which also keeps the target fast.
#include "agent/agent_params.h"
#include "base/settings.h"
#include "base/text_helpers.h"
#include "http/download_resume_handler.h"
#include "http/http_calls.h"
#include "registry/registry_helpers.h"
#include "fuzz_support.h"

#include <tw_linux.h>

#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

const char kAgentKey[] = "Software\\Brightmoor\\Tidewell\\TWAgent";
const char kInstallDir[] = "C:\\Program Files (x86)\\Tidewell\\Agent\\";
const char kUrl[] = "/pkg/setup.msi";
const char kId[] = "1700000000123456";
const char kLastModified[] = "Mon, 01 Jan 2024 00:00:00 GMT";

struct Slot {
    const char* subkey; // below the agent key; "" is the key itself
    const char* name;
    DWORD type;         // of the value the machine starts with
    const char* data;   // text, or a decimal DWORD; null: absent at the start
};

const char kMeta[] = "FileMetaData";
const char kRecord[] = "FileMetaData\\1700000000123456";

const Slot kSlots[] = {
    {"", "TWAgentInstallDir", REG_SZ, kInstallDir},
    {"", "TWAgentVersion", REG_SZ, "11.2.1021"},
    {"", "AgentServiceName", REG_SZ, "TidewellAgent"},
    {"", "EnableDistributionServer", REG_SZ, "no"},
    {"", "ProxyEnabled", REG_SZ, "no"},
    {"", "ProxyServerName", REG_SZ, "proxy.example:3128"},
    {"", "ProxyUserName", REG_SZ, "agent"},
    {"", "ProxyPassword", REG_SZ, "c2VjcmV0"},
    {"", "ProxyByPass", REG_SZ, "<local>"},
    {"", "MSPName", REG_SZ, "Harbour IT Services"},
    {"", "CustomerName", REG_SZ, "Contoso Shipping"},
    {"", "CustomerId", REG_SZ, "CONTOSO-0042"},
    {"", "TWProductCode", REG_SZ, "TWEX"},
    {"", "RemoteOfficeName", REG_SZ, "Head Office"},
    {"", "RemoteOfficeID", REG_SZ, "1"},
    {"", "EnableRemoteOfficeMgmt", REG_SZ, "NO"},
    {"", "HTTPRequestTimeout", REG_DWORD, "60000"},
    {"", "HTTPConnectionTimeout", REG_DWORD, "30000"},
    {"", "DataTransferRate_KBps", REG_SZ, "0"},
    {"", "EnableDSRoute", REG_SZ, "no"},
    {"", "BlockCrashedConfig", REG_DWORD, nullptr},
    {"", "ShutdownBlocked", REG_DWORD, nullptr},
    {"", "EnableChecksum", REG_SZ, "yes"},
    {"", "ImagedComputer", REG_DWORD, nullptr},
    {"ServerInfo", "TWServerName", REG_SZ, "tidewell.contoso.example"},
    {"ServerInfo", "TWServerFlatName", REG_SZ, "TIDEWELL01"},
    {"ServerInfo", "TWServerIPAddress", REG_SZ, "192.0.2.10"},
    {"ServerInfo", "TWServerSecIPAddress", REG_SZ, "192.0.2.11"},
    {"ServerInfo", "TWLastAccessName", REG_SZ, "192.0.2.10"},
    {"ServerInfo", "TWServerInstalledTime", REG_SZ, "2025-11-03 09:12:44"},
    {"ServerInfo", "TWServerPort", REG_SZ, "8020"},
    {"ServerInfo", "TWServerSecurePort", REG_SZ, "8383"},
    {"ServerInfo", "TWServerProtocol", REG_SZ, "https"},
    {"ServerInfo", "DistributionServerName", REG_SZ, "ds.contoso.example"},
    {"ServerInfo", "DistributionServerFlatName", REG_SZ, "DS01"},
    {"ServerInfo", "DistributionServerIPAddress", REG_SZ, "192.0.2.20"},
    {"ServerInfo", "DistributionServerSecIPAddress", REG_SZ, "192.0.2.21"},
    {"ServerInfo", "DistributionLastAccessName", REG_SZ, "192.0.2.20"},
    {"ServerInfo", "DistributionServerPort", REG_SZ, "8020"},
    {"ServerInfo", "DistributionServerSecurePort", REG_SZ, "8383"},
    {"ServerInfo", "DistributionServerProtocol", REG_SZ, "http"},
    {"SystemDetails", "TWAgentResourceID", REG_SZ, "RES-1001"},
    {"SystemDetails", "LocalDomainName", REG_SZ, "contoso.example"},
    {kMeta, "IntermediateRepositoryName", REG_SZ, "DownloadRepository\\"},
    {kMeta, "InterSaveByteLimit", REG_DWORD, "1048576"},
    {kMeta, "DownloadCount", REG_DWORD, "3"},
    {kMeta, kUrl, REG_SZ, kId},
    {kRecord, "LastModifiedTime", REG_SZ, kLastModified},
    {kRecord, "PartialFileSize", REG_DWORD, "100"},
    {kRecord, "LastRetryTime", REG_SZ, "1700000000000"},
    {kRecord, "RetryCount", REG_DWORD, "1"},
    {kRecord, "downloadInProgress", REG_DWORD, nullptr},
};
const size_t kSlotCount = sizeof kSlots / sizeof kSlots[0];

std::u16string Utf16(const std::string& s) {
    return std::u16string(s.begin(), s.end()); // the names here are ASCII
}

std::string KeyOf(const Slot& s) {
    return *s.subkey ? std::string(kAgentKey) + "\\" + s.subkey : std::string(kAgentKey);
}

// Stores the bytes as they are (the wide call keeps string data unconverted).
void Put(const Slot& s, DWORD type, const std::string& bytes, bool remove) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyOf(s).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr) != 0)
        return;
    std::u16string name = Utf16(s.name);
    if (remove)
        RegDeleteValueW(key, name.c_str());
    else
        RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

void PutStart(const Slot& s) {
    if (s.data == nullptr) {
        Put(s, 0, std::string(), true);
    } else if (s.type == REG_DWORD) {
        DWORD v = static_cast<DWORD>(strtoul(s.data, nullptr, 10));
        Put(s, REG_DWORD, std::string(reinterpret_cast<const char*>(&v), sizeof v), false);
    } else {
        std::u16string text = Utf16(s.data);
        Put(s, s.type,
            std::string(reinterpret_cast<const char*>(text.c_str()),
                        (text.size() + 1) * sizeof(char16_t)),
            false);
    }
}

std::string HostInstallDir() {
    return twfuzz::PrivateFolder() + "/drives/c/Program Files (x86)/Tidewell/Agent";
}

// The partial file of the download record, as the last attempt left it.
void ResetPartialFile() {
    const std::string repository = HostInstallDir() + "/DownloadRepository";
    std::error_code ignored;
    std::filesystem::remove_all(repository, ignored);
    std::filesystem::create_directories(repository, ignored);
    std::ofstream(repository + "/" + kId, std::ios::binary) << std::string(100, 'p');
}

BOOL WINAPI SendFails(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
    return FALSE;
}

void WINAPI NoPause(DWORD) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    twfuzz::PrivateFolder();
    TwLinuxSetProcessIs64Bit(0);
    twfuzz::OpenNullLog();
    // The adapter table the machine facts print.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    // Without a resource identifier the agent asks its server: the request
    // fails as if no server answered, and nothing leaves this machine.
    g_httpCalls.SendRequest = SendFails;
    g_httpCalls.Sleep = NoPause;
    for (const Slot& s : kSlots)
        PutStart(s);
    std::filesystem::create_directories(HostInstallDir());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetPartialFile();
    if (TwLinuxRegistryBeginBatch() != ERROR_SUCCESS)
        abort();
    size_t at = 0;
    while (at + 5 <= size) {
        const size_t slot = data[at] % kSlotCount;
        const uint8_t type = data[at + 1];
        const size_t given = data[at + 2] < size - at - 5 ? data[at + 2] : size - at - 5;
        const size_t length = data[at + 3] | (static_cast<size_t>(data[at + 4]) << 8);
        const uint8_t* from = data + at + 5;
        at += 5 + given;
        std::string bytes;
        bytes.reserve(length);
        for (size_t i = 0; i < length; ++i)
            bytes.push_back(given > 0 ? static_cast<char>(from[i % given]) : '\0');
        Put(kSlots[slot], type, bytes, type == 0xFF);
    }

    InitializeAgentParameters();

    // The record is read for a download into the installation folder this
    // machine starts with, wherever the input moved it.
    free(gv_agentInstallDir);
    gv_agentInstallDir = strdup(kInstallDir);
    {
        DownloadResumeHandler handler;
        handler.Initialize(TW_W("C:\\Downloads\\setup.msi"), kLastModified, TW_W("/pkg/setup.msi"));
    }
    TwLinuxRegistryEndBatch(FALSE);
    return 0;
}
