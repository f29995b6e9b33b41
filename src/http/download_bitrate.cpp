#include "base/settings.h"
#include "base/file_helpers.h"
#include "base/text_helpers.h"
#include "http/agent_request.h"
#include "http/download_internal.h"
#include "http/downloads.h"
#include "http/http_calls.h"
#include "http/pacing.h"
#include "http/progress.h"
#include "base/log.h"

using namespace twhttp;

namespace {

const char kEndBanner[] = "@@@@@@@@ End Of InternetGetRequestByBitrate Method @@@@@@@@ \n";

// The size request: HEAD, status, Content-Length. 0 with *length set, or the result.
DWORD RequestSize(const DownloadCall& call, DWORD* length) {
    InternetRequestHandles head = MakeInternetRequestHandles(REQUEST_MODE_HEAD);
    DWORD result = RequestFor(call, 1, &head);
    if (result == 0) {
        if (head.statusCode == 304) {
            LogInfo("InternetGetRequestByBitrate : File not modified since the time: %S\n",
                    TW_W(""));
            result = RESULT_NOT_MODIFIED;
        } else if (head.statusCode != 200) {
            LogError("InternetGetRequestByBitrate : Failed with the http status code: %d \n",
                     head.statusCode);
            result = head.statusCode;
        } else {
            *length = 0;
            if (!QueryContentLength(head.hRequest, length) &&
                GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
                result = LastErrorOf();
                LogError("InternetGetRequestByBitrate :  Error in Content Length Header -> %d \n",
                         result);
                HttpGetLastError(result);
            } else {
                LogInfo("InternetGetRequestByBitrate : Content Length of the request file: %u "
                        "Bytes\n",
                        *length);
            }
        }
    }
    CloseHandlesQuietly(&head);
    return result;
}

// Sleeps so that block starts keep the pacing of pacing.h.
void Pace(const SYSTEMTIME& blockStart) {
    SYSTEMTIME now;
    g_httpCalls.GetLocalTime(&now);
    DWORD elapsed = PacingMillis(now) - PacingMillis(blockStart);
    g_httpCalls.Sleep(PauseAfterBlock(elapsed));
}

// Step 6: the paced ranged requests into the open temporary file.
DWORD FetchBlocks(const DownloadCall& call, HANDLE file, DWORD contentLength,
                  InternetRequestHandles* block, DWORD* totalOut) {
    DWORD blockSize = BlockBytesForRate(DataTransferRate_KBps);
    LogDebug("InternetGetRequestByBitrate: Block of bytes to read: %u\n", blockSize);

    Owned<char> buffer(static_cast<char*>(malloc(kReadChunk + 1)));
    if (!buffer)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD result = 0;
    DWORD& total = *totalOut;
    total = 0;
    bool secondAttempt = false;
    TimeoutRecoveries recoveries;
    int idleBlocks = 0;
    DWORD lastDataError = 0;
    while (total < contentLength) {
        SYSTEMTIME blockStart;
        g_httpCalls.GetLocalTime(&blockStart);
        // With no rate the whole rest comes in one block; the end is lowered to
        // the Content-Length and never wraps below the start.
        DWORD start = total;
        ULONGLONG end =
            blockSize == 0 ? contentLength : static_cast<ULONGLONG>(start) + blockSize - 1;
        if (end > contentLength)
            end = contentLength;
        WCHAR range[200];
        TwWideFormat(range, 200, "Range: bytes=%u-%u", start, static_cast<DWORD>(end));
        LogDebug("InternetGetRequestByBitrate: Content-Range Header message: %S\n", range);

        CloseHandlesQuietly(block);
        *block = MakeInternetRequestHandles(REQUEST_MODE_GET_WITH_HEADER, range);
        DWORD rc = RequestFor(call, 1, block);
        block->extraHeader = nullptr;
        LogDebug("InternetGetRequestByBitrate: GetInternetRequestHandle function return code: %u\n",
                 rc);
        if (rc == ERROR_WINHTTP_TIMEOUT)
            return ERROR_WINHTTP_TIMEOUT;
        if (block->statusCode != 200 && block->statusCode != 206) {
            LogError("InternetGetRequestByBitrate : Failed with the http status code %d \n",
                     block->statusCode);
            return block->statusCode != 0 ? block->statusCode : rc;
        }
        if (block->statusCode == 200 && start != 0) {
            // The server ignored the range: its body is the whole file from byte 0.
            LogInfo("InternetGetRequestByBitrate : The server sent the whole file, reading it from "
                    "the start \n");
            if (!RewindFile(file)) {
                DWORD e = LastErrorOf();
                LogError("InternetGetRequestByBitrate :  Error in WriteFile --> %d \n", e);
                HttpGetLastError(e);
                return e;
            }
            total = 0;
        }

        DWORD before = total;
        for (;;) {
            DWORD available = 0;
            if (!g_httpCalls.QueryDataAvailable(block->hRequest, &available)) {
                DWORD e = LastErrorOf();
                LogError("InternetGetRequestByBitrate : Error occured in WinHttpQueryDataAvailable "
                         "--> %d \n",
                         e);
                HttpGetLastError(e);
                lastDataError = e;
                available = 0;
                if (e == ERROR_WINHTTP_TIMEOUT) {
                    CloseHandlesQuietly(block);
                    if (secondAttempt || !recoveries.mayRecover(total))
                        return ERROR_WINHTTP_TIMEOUT;
                    secondAttempt = true;
                }
            } else {
                secondAttempt = false;
            }
            LogDebug("InternetGetRequestByBitrate: Bytes Available to read now: %u\n", available);
            if (available == 0)
                break;
            DWORD want = available < kReadChunk ? available : kReadChunk;
            DWORD got = 0;
            if (!g_httpCalls.ReadData(block->hRequest, buffer.get(), want, &got)) {
                DWORD e = LastErrorOf();
                LogError("InternetGetRequestByBitrate :  Error in WinHttpReadData --> %d \n", e);
                HttpGetLastError(e);
                return e;
            }
            if (got == 0)
                break;
            // The body of one request cannot pass 4 GiB: the Content-Length is 32 bits.
            if (got > 0xFFFFFFFFu - total) {
                LogError("InternetGetRequestByBitrate : More data than the Content-Length \n");
                return RESULT_PARTIAL_DOWNLOAD;
            }
            total += got;
            ReportTransfer(total, contentLength);
            SetEndOfFile(file);
            DWORD e = WriteAll(file, buffer.get(), got);
            if (e != 0) {
                LogError("InternetGetRequestByBitrate :  Error in WriteFile --> %d \n", e);
                HttpGetLastError(e);
                return e;
            }
        }
        LogDebug("InternetGetRequestByBitrate: Bytes Read: %d\n", total);
        if (secondAttempt) {
            LogInfo("InternetGetRequestByBitrate : second attempt of the previous request\n");
            continue;
        }
        CloseHandlesQuietly(block);
        result = 0;
        if (total == before) {
            if (++idleBlocks >= kMaxIdleBlocks) {
                LogError("InternetGetRequestByBitrate : No data received for %d blocks in a row, "
                         "giving up \n",
                         idleBlocks);
                return lastDataError != 0 ? lastDataError : RESULT_PARTIAL_DOWNLOAD;
            }
        } else {
            idleBlocks = 0;
        }
        Pace(blockStart);
    }
    return result;
}

} // namespace

DWORD InternetGetRequestByBitrate(BYTE proxyFlag, const char* protocol, const WCHAR* server,
                                  int port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                                  const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                                  const WCHAR* objectPath, const WCHAR* destinationPath,
                                  char** dataOutput, int requestKind, BYTE keepAlive) {
    const DownloadCall call{proxyFlag,   protocol,      server,        port,       proxyServer,
                            proxyBypass, proxyUserName, proxyPassword, objectPath, destinationPath,
                            dataOutput,  requestKind,   keepAlive};
    DWORD handedOver = 0;
    if (CheckDownloadHandOver(DownloadVariant::Throttled, call, &handedOver))
        return handedOver;

    LogDebug("@@@@@@@@ Inside InternetGetRequestByBitrate Method @@@@@@@@ \n");
    LogInfo("InternetGetRequestByBitrate : Tidewell Server & Port -> %S : %d \n", server, port);
    LogDebug("InternetGetRequestByBitrate : URL to Get -> %S \n", objectPath);
    DWORD result = CheckDownloadArguments("InternetGetRequestByBitrate", call);
    DWORD contentLength = 0;
    if (result == 0)
        result = RequestSize(call, &contentLength);
    if (result != 0) {
        LogDebug(kEndBanner);
        return result;
    }

    if (requestKind == DOWNLOAD_FILE && CreateFolder(destinationPath) != 0)
        LogError("InternetGetRequestByBitrate : Failed to create the destination directory for the "
                 "destination file %S \n",
                 destinationPath);
    Owned<WCHAR> tempPath(MakeTempFilePath(call));
    if (!tempPath) {
        LogDebug(kEndBanner);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    InternetRequestHandles block = MakeInternetRequestHandles();
    HANDLE file = CreateTempFile(tempPath.get());
    DWORD total = 0;
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorOf();
        LogError("InternetGetRequestByBitrate: Error occured while creating the file --> %d \n",
                 result);
        HttpGetLastError(result);
    } else {
        result = FetchBlocks(call, file, contentLength, &block, &total);
        FlushFileBuffers(file);
        CloseHandle(file);
    }
    LogInfo("InternetGetRequestByBitrate: Total bytes read = %u\n", total);
    CloseHandlesQuietly(&block);

    if (result == 0)
        result = DeliverDownload(DownloadVariant::Throttled, call, tempPath.get());
    DeleteFileW(tempPath.get());
    LogDebug(kEndBanner);
    return result;
}
