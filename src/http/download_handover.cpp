#include "http/download_handover.h"
#include "base/settings.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/resumable_request.h"
#include "base/format.h"
#include "base/log.h"
#include "base/owned.h"
#include "http/downloads.h"
#include "registry/registry_helpers.h"

#include <new>
#include <string>

namespace {

// Documents (".xml", ".json", case-sensitive) always take the plain path.
bool IsDocumentPath(const WCHAR* objectPath) {
    return objectPath != nullptr && (TwWideStr(objectPath, TW_W(".xml")) != nullptr ||
                                     TwWideStr(objectPath, TW_W(".json")) != nullptr);
}

// DownloadMode under the agent key's "Settings" subkey; 0 when it cannot be read.
DWORD ReadDownloadMode() {
    std::string settingsKey = std::string(gv_RegKey) + "\\Settings";
    DWORD mode = 0;
    if (ReadDwordRegistryData(HKEY_LOCAL_MACHINE, settingsKey.c_str(), "DownloadMode", &mode) !=
        ERROR_SUCCESS)
        mode = 0;
    return mode;
}

bool ModeTakesResumablePath(DWORD mode, DownloadVariant variant, int requestKind) {
    return mode == 1 && (variant == DownloadVariant::Throttled || requestKind == DOWNLOAD_FILE);
}

} // namespace

bool TakesResumablePath(const char* url, int requestKind, int transferType) {
    if (transferType == TRANSFER_NONE || (requestKind != GET_DATA && requestKind != DOWNLOAD_FILE))
        return false;
    Owned<WCHAR> path(TwUtf8ToWide(url != nullptr ? url : ""));
    if (!path || IsDocumentPath(path.get()))
        return false;
    auto variant =
        transferType == TRANSFER_THROTTLED ? DownloadVariant::Throttled : DownloadVariant::Plain;
    return ModeTakesResumablePath(ReadDownloadMode(), variant, requestKind);
}

bool CheckDownloadHandOver(DownloadVariant variant, const DownloadCall& call, DWORD* result) {
    if (IsDocumentPath(call.objectPath))
        return false;
    LogInfo("InternetGetDownloader : Tidewell Server & Port -> %S : %d \n", call.server, call.port);
    DWORD mode = ReadDownloadMode();
    if (ModeTakesResumablePath(mode, variant, call.requestKind) &&
        HandOverToResumableDownload(variant, call, result))
        return true;
    LogInfo("InternetGetDownloader : Download Mode %d\n", mode);
    return false;
}

bool HandOverToResumableDownload(DownloadVariant variant, const DownloadCall& call, DWORD* result) {
    ResumableRequest* request = new (std::nothrow) ResumableRequest();
    if (request == nullptr) {
        LogError("InternetGetDownloader : No memory for the resumable download \n");
        *result = ERROR_NOT_ENOUGH_MEMORY;
        return true;
    }
    if (variant == DownloadVariant::Plain)
        *result = request->ResumeGetRequestEx(
            call.proxyFlag, call.protocol, call.server, call.port, call.proxyServer,
            call.proxyBypass, call.proxyUserName, call.proxyPassword, call.objectPath,
            call.destinationPath, call.dataOutput, call.requestKind, call.keepAlive);
    else
        *result = request->ResumeGetRequestByBitrate(
            call.proxyFlag, call.protocol, call.server, call.port, call.proxyServer,
            call.proxyBypass, call.proxyUserName, call.proxyPassword, call.objectPath,
            call.destinationPath, call.dataOutput, call.requestKind, call.keepAlive);
    delete request;
    return true;
}
