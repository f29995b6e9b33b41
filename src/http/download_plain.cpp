#include "base/file_helpers.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/download_internal.h"
#include "http/downloads.h"
#include "http/http_calls.h"
#include "http/progress.h"
#include "base/log.h"

using namespace twhttp;

namespace {

// Steps 4 to 8: the Content-Length, the temporary file and the read loop.
DWORD ReadBody(const DownloadCall& call, InternetRequestHandles* h, Owned<WCHAR>* tempPath) {
    DWORD contentLength = 0;
    if (!QueryContentLength(h->hRequest, &contentLength)) {
        DWORD e = GetLastError();
        if (e != ERROR_INSUFFICIENT_BUFFER && e != ERROR_WINHTTP_HEADER_NOT_FOUND) {
            e = e != 0 ? e : static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR);
            LogError("InternetGetRequestEx :  Error in Content Length Header -> %d \n", e);
            HttpGetLastError(e);
            return e;
        }
        contentLength = 0;
    }
    LogInfo("InternetGetRequestEx : Content Length of the request file: %u Bytes\n", contentLength);

    if (call.requestKind == DOWNLOAD_FILE && CreateFolder(call.destinationPath) != 0)
        LogError("InternetGetRequestEx : Failed to create the destination directory for the "
                 "destination file %S \n",
                 call.destinationPath);
    tempPath->reset(MakeTempFilePath(call));
    if (!*tempPath)
        return ERROR_NOT_ENOUGH_MEMORY;
    HANDLE file = CreateTempFile(tempPath->get());
    if (file == INVALID_HANDLE_VALUE) {
        DWORD e = LastErrorOf();
        LogError("InternetGetRequestEx : Error occured while creating the file --> %d \n", e);
        HttpGetLastError(e);
        return e;
    }
    Owned<char> buffer(static_cast<char*>(malloc(kReadChunk + 1)));
    if (!buffer) {
        CloseHandle(file);
        return ERROR_NOT_ENOUGH_MEMORY;
    }

    DWORD result = 0;
    ULONGLONG total = 0;
    bool logTotal = true;
    TimeoutRecoveries recoveries;
    for (;;) {
        DWORD available = 0;
        if (!g_httpCalls.QueryDataAvailable(h->hRequest, &available)) {
            DWORD e = LastErrorOf();
            LogError("InternetGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n",
                     e);
            HttpGetLastError(e);
            result = e;
            if (e != ERROR_WINHTTP_TIMEOUT || !recoveries.mayRecover(total))
                break;
            // Ask again for the bytes not yet written.
            LogInfo("Total Bytes read so far:%u\n", static_cast<DWORD>(total));
            LogInfo("InternetGetRequestEx : second attempt to recover from previous error\n");
            CloseHandlesQuietly(h);
            WCHAR range[200];
            if (total == 0)
                TwWideFormat(range, 200, "Range: bytes=0-%u", contentLength);
            else
                TwWideFormat(range, 200, "Range: bytes=%u-%u", static_cast<DWORD>(total),
                             contentLength);
            LogDebug("InternetGetRequestByBitrate: Content-Range Header message: %S\n", range);
            *h = MakeInternetRequestHandles(REQUEST_MODE_GET_WITH_HEADER, range);
            result = RequestFor(call, call.keepAlive, h);
            h->extraHeader = nullptr;
            if (result != 0)
                break;
            if (h->statusCode == 200 && total != 0) {
                // The server ignored the range and sends the whole body again:
                // start the file afresh rather than append it.
                LogInfo("InternetGetRequestEx : The server sent the whole file again, reading it "
                        "from the start \n");
                if (!RewindFile(file)) {
                    result = LastErrorOf();
                    LogError("InternetGetRequestEx :  Error in WriteFile --> %d \n", result);
                    logTotal = false;
                    break;
                }
                total = 0;
            } else if (h->statusCode != 200 && h->statusCode != 206) {
                // Anything else is not the rest of this body and must not be appended to it.
                LogError("InternetGetRequestEx : Failed with the http status code, %d \n",
                         h->statusCode);
                result = h->statusCode;
                break;
            }
            if (!g_httpCalls.QueryDataAvailable(h->hRequest, &available)) {
                e = LastErrorOf();
                LogError(
                    "InternetGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n",
                    e);
                HttpGetLastError(e);
                result = e;
                break;
            }
        }
        if (available == 0)
            break;
        DWORD want = available < kReadChunk ? available : kReadChunk;
        DWORD got = 0;
        if (!g_httpCalls.ReadData(h->hRequest, buffer.get(), want, &got)) {
            result = LastErrorOf();
            LogError("InternetGetRequestEx :  Error in WinHttpReadData --> %d \n", result);
            HttpGetLastError(result);
            logTotal = false;
            break;
        }
        total += got;
        ReportTransfer(total, contentLength);
        if (got != 0) {
            DWORD e = WriteAll(file, buffer.get(), got);
            if (e != 0) {
                LogError("InternetGetRequestEx :  Error in WriteFile --> %d \n", e);
                result = e;
                logTotal = false;
                break;
            }
        }
        if (total == contentLength) {
            LogInfo("Bytes read reached the contenlength\n");
            break;
        }
        if (got == 0)
            break;
    }

    if (logTotal) {
        LogInfo("InternetGetRequestEx : Total bytes read = %u\n", static_cast<DWORD>(total));
        if (result == 0) {
            LARGE_INTEGER size;
            size.QuadPart = -1;
            if (!GetFileSizeEx(file, &size))
                size.QuadPart = -1;
            if (size.QuadPart == static_cast<LONGLONG>(contentLength)) {
                LogInfo("InternetGetRequestEx : GetFileSize returns :  %u\n", contentLength);
                LogInfo("InternetGetRequestEx : File completely downloaded..!\n");
            } else {
                LogInfo("InternetGetRequestEx : Error in downloading..!\n");
                LogInfo("InternetGetRequestEx : Only partial file downloaded. GetFileSize returns "
                        ":  %u\n",
                        static_cast<DWORD>(size.QuadPart));
                result = RESULT_PARTIAL_DOWNLOAD;
            }
        }
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    return result;
}

} // namespace

DWORD InternetGetRequestEx(BYTE proxyFlag, const char* protocol, const WCHAR* server, int port,
                           const WCHAR* proxyServer, const WCHAR* proxyBypass,
                           const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                           const WCHAR* objectPath, const WCHAR* destinationPath, char** dataOutput,
                           int requestKind, BYTE keepAlive) {
    const DownloadCall call{proxyFlag,   protocol,      server,        port,       proxyServer,
                            proxyBypass, proxyUserName, proxyPassword, objectPath, destinationPath,
                            dataOutput,  requestKind,   keepAlive};
    DWORD handedOver = 0;
    if (CheckDownloadHandOver(DownloadVariant::Plain, call, &handedOver))
        return handedOver;

    LogDebug("@@@@@@@@ Inside InternetGetRequestEx Method @@@@@@@@ \n");
    LogInfo("InternetGetRequestEx : Tidewell Server & Port -> %S : %d \n", server, port);
    LogDebug("InternetGetRequestEx : URL to Get -> %S \n", objectPath);
    DWORD result = CheckDownloadArguments("InternetGetRequestEx", call);
    if (result != 0) {
        LogDebug("@@@@@@@@ End Of InternetGetRequestEx Method @@@@@@@@ \n");
        return result;
    }

    InternetRequestHandles h = MakeInternetRequestHandles();
    Owned<WCHAR> tempPath;
    result = RequestFor(call, keepAlive, &h);
    if (result == 0) {
        if (h.statusCode == 304) {
            LogInfo("InternetGetRequestEx :File not modified since the time: %S\n", TW_W(""));
            result = RESULT_NOT_MODIFIED;
        } else if (h.statusCode != 200) {
            LogError("InternetGetRequestEx : Failed with the http status code, %d \n",
                     h.statusCode);
            result = h.statusCode;
        } else {
            result = ReadBody(call, &h, &tempPath);
        }
    }
    CloseHandlesLogged("InternetGetRequestEx", &h);

    if (result == 0 && tempPath)
        result = DeliverDownload(DownloadVariant::Plain, call, tempPath.get());
    if (tempPath)
        DeleteFileW(tempPath.get());
    LogDebug("@@@@@@@@ End Of InternetGetRequestEx Method @@@@@@@@ \n");
    return result;
}
