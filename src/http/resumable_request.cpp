#include "http/resumable_request.h"
#include "base/settings.h"
#include "base/text_helpers.h"
#include "base/time_helpers.h"
#include "http/agent_request.h"
#include "http/http_calls.h"
#include "http/pacing.h"
#include "http/progress.h"
#include "http/resumable_internal.h"
#include "base/format.h"
#include "base/log.h"
#include "registry/registry_key.h"

#include <stdlib.h>
#include <string.h>

using twhttp::LastErrorOf;
using namespace twresume;
using twhttp::BlockBytesForRate;
using twhttp::kMaxIdleBlocks;
using twhttp::PauseAfterBlock;

namespace {

const DWORD kInitialBuffer = 1048576;
// Bytes asked of WinHttpReadData at once at most, whatever the server announces.
const DWORD kMaxChunk = 1u << 20;
// Starts from byte 0 within one run (the server's file changed, or it ignored
// the range); a file that keeps changing ends the run.
const int kMaxRestarts = 2;

bool IsRecoverable(DWORD e) {
    return e == ERROR_WINHTTP_TIMEOUT || e == ERROR_WINHTTP_CANNOT_CONNECT ||
           e == ERROR_WINHTTP_CONNECTION_ERROR;
}

WCHAR* Dup(const WCHAR* s) {
    return s != nullptr ? TwWideDup(s) : nullptr;
}

const WCHAR* OrEmpty(const WCHAR* s) {
    return s != nullptr ? s : TW_W("");
}

LONGLONG DayMillis(const SYSTEMTIME& t) {
    return ((static_cast<LONGLONG>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 +
           t.wMilliseconds;
}

// A response header as narrow text; empty when it is missing.
std::string HeaderText(HINTERNET request, DWORD query) {
    WCHAR text[128];
    memset(text, 0, sizeof(text));
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    if (!g_httpCalls.QueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes,
                                  WINHTTP_NO_HEADER_INDEX))
        return std::string();
    return Narrow(text);
}

// The Content-Length as text: true when it fits 32 bits (or is absent).
bool LengthFits(HINTERNET request) {
    WCHAR text[64];
    memset(text, 0, sizeof(text));
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    if (!g_httpCalls.QueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH,
                                  WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes,
                                  WINHTTP_NO_HEADER_INDEX))
        return GetLastError() != ERROR_INSUFFICIENT_BUFFER;
    ULONGLONG v = 0;
    for (const WCHAR* p = text; *p != 0; ++p) {
        if (*p < '0' || *p > '9')
            continue;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    return true;
}

} // namespace

namespace twresume {

bool ParseContentRange(const char* text, ULONGLONG* first, ULONGLONG* last, ULONGLONG* total) {
    if (text == nullptr || _strnicmp(text, "bytes", 5) != 0)
        return false;
    const char* p = text + 5;
    if (*p != ' ' && *p != '=')
        return false;
    while (*p == ' ' || *p == '=')
        ++p;
    auto number = [&p](ULONGLONG* out) {
        int digits = 0;
        ULONGLONG v = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 12)
                return false;
            v = v * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        *out = v;
        return digits > 0;
    };
    if (!number(first) || *p++ != '-' || !number(last) || *p++ != '/' || !number(total))
        return false;
    while (*p == ' ')
        ++p;
    return *p == '\0' && *first <= *last && *last < *total;
}

} // namespace twresume

ResumableRequest::ResumableRequest() = default;

ResumableRequest::~ResumableRequest() {
    free(buffer_);
}

DWORD ResumableRequest::Fill(BYTE proxyFlag, const char* protocol, const WCHAR* server, int port,
                             const WCHAR* proxyServer, const WCHAR* proxyBypass,
                             const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                             const WCHAR* objectPath, const WCHAR* destinationPath,
                             char** dataOutput, int requestKind, BYTE keepAlive) {
    keepAlive_ = keepAlive;
    proxyFlag_ = proxyFlag;
    objectPath_.reset(Dup(objectPath));
    server_.reset(Dup(server));
    destinationPath_.reset(Dup(destinationPath));
    proxyBypass_.reset(Dup(proxyBypass));
    proxyUserName_.reset(Dup(proxyUserName));
    proxyPassword_.reset(Dup(proxyPassword));
    proxyServer_.reset(Dup(proxyServer));
    char* time = nullptr;
    GetTimeText(true, &time);
    startStamp_ = TwFormat("\n %s\t\t%10s\t", GetDateText(), time != nullptr ? time : "");
    free(time);
    protocol_ = protocol != nullptr ? protocol : "";
    requestKind_ = requestKind;
    port_ = port;

    const char* problem = nullptr;
    if (objectPath == nullptr || objectPath[0] == 0)
        problem = "no URL to get";
    else if (server == nullptr || server[0] == 0)
        problem = "no server";
    else if (port < 0 || port > 65535)
        problem = "the port is out of range";
    else if (requestKind == GET_DATA && dataOutput == nullptr)
        problem = "no place for the data in memory";
    else if (requestKind != GET_DATA && (destinationPath == nullptr || destinationPath[0] == 0))
        problem = "no destination file";
    else if (gv_agentInstallDir == nullptr || gv_agentInstallDir[0] == '\0')
        problem = "no installation folder for the download repository";
    if (problem != nullptr) {
        LogError("ResumableRequest : Invalid request, %s (port %d) \n", problem, port);
        return RESULT_INVALID_INPUT;
    }
    free(buffer_);
    buffer_ = static_cast<char*>(calloc(kInitialBuffer, 1));
    bufferSize_ = buffer_ != nullptr ? kInitialBuffer : 0;
    buffered_ = 0;
    return buffer_ != nullptr ? 0 : static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY);
}

DWORD ResumableRequest::Send(InternetRequestHandles* handles) {
    return GetInternetRequestHandle(
        proxyFlag_, protocol_.c_str(), server_.get(), static_cast<INTERNET_PORT>(port_),
        proxyServer_.get(), proxyBypass_.get(), proxyUserName_.get(), proxyPassword_.get(),
        objectPath_.get(), destinationPath_.get(), nullptr, requestKind_,
        handles->requestMode == REQUEST_MODE_GET ? keepAlive_ : 1, handles);
}

DWORD ResumableRequest::PreDownloadHandling() {
    try {
        InternetRequestHandles h = MakeInternetRequestHandles(REQUEST_MODE_GET);
        DWORD rc = Send(&h);
        if (rc != 0) {
            LogError("PreDownloadHandling: ERROR in GetInternetRequestHandle - %d\n", rc);
            CloseInternetHandles(&h);
            return rc;
        }
        if (h.statusCode == 304) {
            LogInfo("PreDownloadHandling :File not modified since the time: %S\n", TW_W(""));
            CloseInternetHandles(&h);
            return RESULT_NOT_MODIFIED;
        }
        if (h.statusCode != 200) {
            LogError("PreDownloadHandling : Failed with the http status code, %d \n", h.statusCode);
            CloseInternetHandles(&h);
            return h.statusCode;
        }
        WCHAR* lastModified = nullptr;
        if (GetFilelastmodifiedTime(h.hRequest, &lastModified) == 0)
            serverLastModified_ = Narrow(lastModified);
        free(lastModified);
        DWORD length = 0;
        DWORD result = 0;
        if (!twhttp::QueryContentLength(h.hRequest, &length)) {
            DWORD e = GetLastError();
            if (e == ERROR_WINHTTP_HEADER_NOT_FOUND) {
                // Without the size no range can be asked for, and no end of the
                // file told from a cut connection.
                LogError("PreDownloadHandling : The response has no Content-Length, the file "
                         "cannot be downloaded in parts \n");
                result = e;
            } else if (e != ERROR_INSUFFICIENT_BUFFER) {
                e = e != 0 ? e : static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR);
                LogError("PreDownloadHandling :  Error in Content Length Header -> %d \n", e);
                HttpGetLastError(e);
                result = e;
            }
        }
        if (result == 0 && !LengthFits(h.hRequest)) {
            LogError("PreDownloadHandling : The file is larger than 4 GB \n");
            result = ERROR_FILE_TOO_LARGE;
        }
        if (result == 0) {
            contentLength_ = length;
            LogInfo("PreDownloadHandling : Content Length of the request file: %u Bytes\n", length);
        }
        CloseInternetHandles(&h);
        return result;
    } catch (...) {
        LogError("preDownloadHandling failed\n");
        return RESULT_INVALID_INPUT;
    }
}

DWORD ResumableRequest::Begin(const char* function) {
    DWORD rc =
        handler_.Initialize(destinationPath_.get(), serverLastModified_.c_str(), objectPath_.get());
    if (rc != 0)
        return rc;
    if (handler_.SaveLimit() > bufferSize_)
        GrowBuffer(handler_.SaveLimit());
    if (handler_.PartialSizeAtStart() > contentLength_) {
        LogError("%s : The partial file holds more than the content length, starting from byte "
                 "0 \n",
                 function);
        handler_.PreDownloadCleaningOfPartialFile();
    }
    bytesReceived_ = handler_.PartialSizeAtStart();
    // An empty file is delivered from an empty partial file.
    if (contentLength_ == 0)
        return handler_.TouchPartialFile();
    return 0;
}

bool ResumableRequest::GrowBuffer(DWORD bytes) {
    if (bytes <= bufferSize_)
        return true;
    auto* bigger = static_cast<char*>(calloc(bytes, 1));
    if (bigger == nullptr)
        return false;
    if (buffer_ != nullptr && buffered_ != 0)
        memcpy(bigger, buffer_, buffered_);
    free(buffer_);
    buffer_ = bigger;
    bufferSize_ = bytes;
    return true;
}

DWORD ResumableRequest::SaveBuffered(bool periodic) {
    DWORD e = handler_.ProcessDownloadedBuffer(buffer_, buffered_, periodic);
    // The bytes are not held: the next attempt asks for them again. The
    // buffer is not zeroed: only the bytes read next are ever saved from it,
    // and clearing it was one more pass over every byte of the download.
    if (e != 0)
        bytesReceived_ -= buffered_;
    buffered_ = 0;
    return e;
}

ResumableRequest::Answer ResumableRequest::CheckAnswer(InternetRequestHandles* handles, DWORD start,
                                                       const char* function, DWORD* error) {
    HINTERNET request = handles->hRequest;
    const std::string lastModified = HeaderText(request, WINHTTP_QUERY_LAST_MODIFIED);
    ULONGLONG size = 0;
    ULONGLONG first = 0, last = 0;
    if (handles->statusCode == 206) {
        std::string range = HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
        if (!ParseContentRange(range.c_str(), &first, &last, &size)) {
            LogError("%s : The answer to the range request has no usable Content-Range (%s) \n",
                     function, range.c_str());
            *error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
            return Answer::Fail;
        }
    } else {
        DWORD length = 0;
        if (!twhttp::QueryContentLength(request, &length) || !LengthFits(request)) {
            LogError("%s : The whole file came without a usable Content-Length \n", function);
            *error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
            return Answer::Fail;
        }
        size = length;
    }
    const bool changed =
        size != contentLength_ ||
        (!lastModified.empty() && _stricmp(lastModified.c_str(), serverLastModified_.c_str()) != 0);
    const bool fromZero = handles->statusCode == 200 && (start != 0 || changed);
    if (!changed && !fromZero) {
        if (handles->statusCode == 206 && first != start) {
            // Appending these bytes would put them at the wrong place.
            LogError("%s : The server sent bytes from %llu where %u were asked for \n", function,
                     first, start);
            *error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
            return Answer::Fail;
        }
        return Answer::Continue;
    }
    if (size > 0xFFFFFFFFull) {
        LogError("%s : The file is larger than 4 GB \n", function);
        *error = ERROR_FILE_TOO_LARGE;
        return Answer::Fail;
    }
    if (++restarts_ > kMaxRestarts) {
        LogError("%s : The file keeps changing on the server \n", function);
        *error = ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
        return Answer::Fail;
    }
    // What the partial file holds belongs to another version of the file, or
    // the server answers from byte 0: the download starts over.
    if (fromZero)
        LogInfo("%s : The server sent the whole file (%llu bytes), reading it from byte 0 \n",
                function, size);
    else
        LogInfo("%s : The file changed on the server (%llu bytes, last modified %s), starting "
                "again from byte 0 \n",
                function, size, lastModified.c_str());
    contentLength_ = static_cast<DWORD>(size);
    if (!lastModified.empty())
        serverLastModified_ = lastModified;
    buffered_ = 0;
    bytesReceived_ = 0;
    handler_.RestartFromZero(serverLastModified_.c_str());
    if (contentLength_ == 0)
        handler_.TouchPartialFile();
    return fromZero ? Answer::Continue : Answer::Again;
}

DWORD ResumableRequest::OpenAt(InternetRequestHandles* handles, Stage stage, DWORD blockSize,
                               DWORD* sendResult) {
    const char* function =
        stage == Stage::Block ? "ResumeGetRequestByBitrate" : "ResumeGetRequestEx";
    for (;;) {
        const DWORD start = bytesReceived_;
        ULONGLONG end = contentLength_;
        if (stage == Stage::Block && blockSize != 0 &&
            static_cast<ULONGLONG>(start) + blockSize - 1 < end)
            end = static_cast<ULONGLONG>(start) + blockSize - 1;
        WCHAR header[64];
        TwWideFormat(header, 64, "Range: bytes=%u-%u", start, static_cast<DWORD>(end));
        if (stage == Stage::First)
            LogError("ResumeGetRequestEx: Content-Range Header message: %S\n", header);
        else
            LogDebug("%s: Content-Range Header message: %S\n", function, header);

        CloseInternetHandles(handles);
        *handles = MakeInternetRequestHandles(REQUEST_MODE_GET_WITH_HEADER, header);
        DWORD rc = Send(handles);
        handles->extraHeader = nullptr;
        *sendResult = rc;
        const DWORD status = handles->statusCode;
        if (stage == Stage::First)
            LogDebug("ResumeGetRequestEx: GetInternetRequestHandle function return code: %u\n", rc);
        else if (stage == Stage::Block)
            LogError("ResumeGetRequestByBitrate: GetInternetRequestHandle function return code: "
                     "%u  %d\n",
                     rc, status);
        if (stage == Stage::Reopen) {
            if (rc != 0)
                return rc;
            // Whatever answers the reopen must continue the file, or it is not read.
            if (status != 200 && status != 206) {
                LogError("ResumeGetRequestEx : Failed with the http status code, %d \n", status);
                return status;
            }
        } else {
            if (rc == ERROR_WINHTTP_TIMEOUT)
                return rc;
            if (status != 200 && status != 206)
                return rc != 0 ? rc : status;
        }
        DWORD error = 0;
        Answer answer = CheckAnswer(handles, start, function, &error);
        if (answer == Answer::Fail)
            return error;
        if (answer == Answer::Continue)
            return 0;
    }
}

DWORD ResumableRequest::ReadChunk(HINTERNET request, DWORD available, const char* function,
                                  bool bitrate, DWORD* got) {
    *got = 0;
    // Never a byte beyond the content length, whatever the server sends.
    DWORD want = available < kMaxChunk ? available : kMaxChunk;
    const DWORD room = contentLength_ - bytesReceived_;
    if (want > room)
        want = room;
    if (want == 0)
        return 0;
    // The buffer is never below the save limit unless memory ran short; then
    // its size is the limit.
    const DWORD limit = handler_.SaveLimit() < bufferSize_ ? handler_.SaveLimit() : bufferSize_;
    if (static_cast<ULONGLONG>(buffered_) + want > limit) {
        DWORD e = SaveBuffered(true);
        if (e != 0) {
            LogError("%s :  Error in WriteFile --> %d \n", function, e);
            return e;
        }
    }
    if (want > limit) {
        if (want > handler_.SaveLimit()) {
            handler_.RaiseSaveLimit(want);
            if (bitrate)
                LogInfo("Reallocating buffer to %d\n", want);
        }
        if (!GrowBuffer(want))
            want = bufferSize_;
    }
    if (want == 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD read = 0;
    if (!g_httpCalls.ReadData(request, buffer_ + buffered_, want, &read)) {
        DWORD e = LastErrorOf();
        LogError("%s :  Error in WinHttpReadData --> %d \n", function, e);
        HttpGetLastError(e);
        return e;
    }
    if (read > want)
        read = want;
    bytesReceived_ += read;
    ReportTransfer(bytesReceived_, contentLength_, handler_.PartialSizeAtStart());
    buffered_ += read;
    *got = read;
    return 0;
}

void ResumableRequest::CountFailure() {
    RegistryKey meta;
    if (meta.Open(HKEY_LOCAL_MACHINE, MetaKeyPath().c_str(), KEY_ALL_ACCESS | KEY_WOW64_32KEY) !=
        ERROR_SUCCESS)
        return;
    DWORD count = 0;
    if (meta.QueryDWORDValue("DownloadFailureCount", &count) == ERROR_SUCCESS) {
        ++count;
        SetDword(meta.Handle(), "DownloadFailureCount", count);
        LogInfo("DownloadFailureCount set to %d\n", count);
    } else {
        SetDword(meta.Handle(), "DownloadFailureCount", 1);
        LogError("The DownloadFailureCount value could not be read.Resetting to 1\n");
    }
}

DWORD ResumableRequest::ResumeGetRequestEx(BYTE proxyFlag, const char* protocol,
                                           const WCHAR* server, int port, const WCHAR* proxyServer,
                                           const WCHAR* proxyBypass, const WCHAR* proxyUserName,
                                           const WCHAR* proxyPassword, const WCHAR* objectPath,
                                           const WCHAR* destinationPath, char** dataOutput,
                                           int requestKind, BYTE keepAlive) {
    static const char kEnd[] = "@@@@@@@@ End Of ResumeGetRequestEx Method @@@@@@@@ \n";
    try {
        LogDebug("@@@@@@@@ Inside ResumeGetRequestEx Method @@@@@@@@ \n");
        LogDebug("ResumeGetRequestEx : URL to Get -> %S \n", OrEmpty(objectPath));
        DWORD result =
            Fill(proxyFlag, protocol, server, port, proxyServer, proxyBypass, proxyUserName,
                 proxyPassword, objectPath, destinationPath, dataOutput, requestKind, keepAlive);
        if (result == 0)
            result = PreDownloadHandling();
        if (result != 0) {
            PostDownloadHandling(nullptr, &result, dataOutput);
            LogError(kEnd);
            return result;
        }
        InternetRequestHandles h = MakeInternetRequestHandles();
        result = Begin("ResumeGetRequestEx");
        if (result != 0) {
            PostDownloadHandling(&h, &result, dataOutput);
            LogDebug(kEnd);
            return result;
        }
        if (handler_.PartialSizeAtStart() == contentLength_) {
            PostDownloadHandling(&h, &result, dataOutput);
            LogError(
                "@@@@@@@@ End Of ResumeGetRequestEx Method @@@@@@@@ Full File already exist\n");
            return result;
        }

        DWORD rc = 0;
        result = OpenAt(&h, Stage::First, 0, &rc);
        if (result != 0) {
            // Nothing was read: there is nothing to save.
            PostDownloadHandling(&h, &result, dataOutput);
            LogDebug(kEnd);
            return result;
        }
        result = rc;

        for (;;) {
            DWORD available = 0;
            if (!g_httpCalls.QueryDataAvailable(h.hRequest, &available)) {
                DWORD e = LastErrorOf();
                LogError(
                    "ResumeGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n", e);
                HttpGetLastError(e);
                result = e;
                if (!IsRecoverable(e))
                    break;
                LogInfo("ResumeGetRequestEx : Total Bytes read so far:%u\n", bytesReceived_);
                LogInfo("ResumeGetRequestEx : second attempt to recover from previous error\n");
                result = OpenAt(&h, Stage::Reopen, 0, &rc);
                if (result != 0)
                    break;
                if (bytesReceived_ >= contentLength_)
                    break;
                if (!g_httpCalls.QueryDataAvailable(h.hRequest, &available)) {
                    e = LastErrorOf();
                    LogError(
                        "ResumeGetRequestEx : Error occured in WinHttpQueryDataAvailable --> %d \n",
                        e);
                    HttpGetLastError(e);
                    result = e;
                    break;
                }
            }
            if (available == 0)
                break;
            DWORD got = 0;
            DWORD e = ReadChunk(h.hRequest, available, "ResumeGetRequestEx", false, &got);
            if (e != 0) {
                result = e;
                break;
            }
            if (bytesReceived_ == contentLength_) {
                LogInfo("ResumeGetRequestEx : Bytes read reached the contenlength\n");
                break;
            }
            if (got == 0)
                break;
        }

        LogInfo("ResumeGetRequestEx: Total bytes read = %u\n", bytesReceived_);
        if (contentLength_ > bytesReceived_)
            CountFailure();
        if (result == 0 && bytesReceived_ < contentLength_) {
            // An incomplete file never reaches the destination; its bytes stay
            // in the partial file for the next attempt.
            LogError("ResumeGetRequestEx : The transfer ended at %u of %u bytes, the partial file "
                     "is kept for the next attempt \n",
                     bytesReceived_, contentLength_);
            result = RESULT_PARTIAL_DOWNLOAD;
        }
        // What was read is saved whatever ended the transfer: the bytes are
        // the file's, and the next attempt continues behind them.
        DWORD saved = SaveBuffered(false);
        if (saved != 0) {
            LogError("ResumeGetRequestEx :  Error in WriteFile --> %d \n", saved);
            if (result == 0)
                result = saved;
        }
        PostDownloadHandling(&h, &result, dataOutput);
        LogDebug(kEnd);
        return result;
    } catch (...) {
        LogError("Error caught in ResumeGetRequestEx\n");
        return RESULT_INVALID_INPUT;
    }
}

DWORD ResumableRequest::ResumeGetRequestByBitrate(
    BYTE proxyFlag, const char* protocol, const WCHAR* server, int port, const WCHAR* proxyServer,
    const WCHAR* proxyBypass, const WCHAR* proxyUserName, const WCHAR* proxyPassword,
    const WCHAR* objectPath, const WCHAR* destinationPath, char** dataOutput, int requestKind,
    BYTE keepAlive) {
    static const char kEnd[] = "@@@@@@@@ End Of ResumeGetRequestByBitrate Method @@@@@@@@ \n";
    try {
        LogDebug("@@@@@@@@ Inside ResumeGetRequestByBitrate Method @@@@@@@@ \n");
        LogInfo("ResumeGetRequestByBitrate : Tidewell Server & Port -> %S : %d \n", OrEmpty(server),
                port);
        LogDebug("ResumeGetRequestByBitrate : URL to Get -> %S \n", OrEmpty(objectPath));
        DWORD result =
            Fill(proxyFlag, protocol, server, port, proxyServer, proxyBypass, proxyUserName,
                 proxyPassword, objectPath, destinationPath, dataOutput, requestKind, keepAlive);
        if (result == 0)
            result = PreDownloadHandling();
        InternetRequestHandles h = MakeInternetRequestHandles();
        if (result == 0)
            result = Begin("ResumeGetRequestByBitrate");
        if (result != 0) {
            PostDownloadHandling(&h, &result, dataOutput);
            LogDebug(kEnd);
            return result;
        }

        const DWORD blockSize = BlockBytesForRate(DataTransferRate_KBps);
        LogDebug("ResumeGetRequestByBitrate: Block of bytes to read: %u\n", blockSize);

        bool secondAttempt = false;
        int idleBlocks = 0;
        while (bytesReceived_ < contentLength_) {
            SYSTEMTIME noted;
            g_httpCalls.GetLocalTime(&noted);
            const DWORD before = bytesReceived_;
            DWORD rc = 0;
            DWORD opened = OpenAt(&h, Stage::Block, blockSize, &rc);
            if (opened != 0) {
                result = opened;
                break;
            }
            result = rc;

            bool endTransfer = false;
            for (;;) {
                DWORD available = 0;
                if (!g_httpCalls.QueryDataAvailable(h.hRequest, &available)) {
                    DWORD e = LastErrorOf();
                    LogError("ResumeGetRequestByBitrate : Error occured in "
                             "WinHttpQueryDataAvailable --> %d \n",
                             e);
                    HttpGetLastError(e);
                    result = e;
                    if (IsRecoverable(e)) {
                        CloseInternetHandles(&h);
                        // The block is asked for once more; a second failure in a row ends it.
                        if (secondAttempt)
                            endTransfer = true;
                        secondAttempt = true;
                    } else {
                        endTransfer = true;
                    }
                    break;
                }
                secondAttempt = false;
                if (available == 0)
                    break;
                DWORD got = 0;
                DWORD e = ReadChunk(h.hRequest, available, "ResumeGetRequestByBitrate", true, &got);
                if (e != 0) {
                    result = e;
                    endTransfer = true;
                    break;
                }
                if (bytesReceived_ == contentLength_) {
                    LogInfo("ResumeGetRequestByBitrate : Bytes read reached the contenlength\n");
                    break;
                }
                if (got == 0)
                    break;
            }
            LogInfo("ResumeGetRequestByBitrate: Bytes Read: %d\n", bytesReceived_);
            if (endTransfer)
                break;
            if (secondAttempt) {
                LogInfo("ResumeGetRequestByBitrate : second attempt of the previous request\n");
                continue;
            }
            result = 0;
            CloseInternetHandles(&h);
            if (bytesReceived_ == before) {
                if (++idleBlocks >= kMaxIdleBlocks) {
                    LogError("ResumeGetRequestByBitrate : No data received for %d blocks in a "
                             "row, giving up \n",
                             idleBlocks);
                    result = RESULT_PARTIAL_DOWNLOAD;
                    break;
                }
            } else {
                idleBlocks = 0;
            }
            SYSTEMTIME now;
            g_httpCalls.GetLocalTime(&now);
            const LONGLONG elapsed = DayMillis(now) - DayMillis(noted);
            g_httpCalls.Sleep(PauseAfterBlock(elapsed));
        }

        LogInfo("ResumeGetRequestByBitrate: Total bytes read = %u\n", bytesReceived_);
        if (result == 0 && bytesReceived_ < contentLength_)
            result = RESULT_PARTIAL_DOWNLOAD;
        DWORD saved = SaveBuffered(false);
        if (saved != 0) {
            LogError("ResumeGetRequestByBitrate :  Error in WriteFile --> %d \n", saved);
            if (result == 0)
                result = saved;
        }
        PostDownloadHandling(&h, &result, dataOutput);
        LogDebug(kEnd);
        return result;
    } catch (...) {
        LogError("Error caught in ResumeGetRequestByBitrate\n");
        return RESULT_INVALID_INPUT;
    }
}

void ResumableRequest::PostDownloadHandling(InternetRequestHandles* handles, DWORD* result,
                                            char** dataOutput) {
    try {
        LogInfo("Proceeding for PostDownloadHandling \n");
        if (handles != nullptr)
            CloseInternetHandles(handles);
        free(buffer_);
        buffer_ = nullptr;
        bufferSize_ = 0;
        buffered_ = 0;
        if (*result == 0) {
            if (requestKind_ == GET_DATA) {
                char* text = nullptr;
                if (dataOutput != nullptr && handler_.LoadDatafromFile(&text)) {
                    *dataOutput = text;
                    LogInfo("PostDownloadHandling Data in memory : %s\n", text);
                } else {
                    LogError("PostDownloadHandling : could n't read the data from .tmp file \n");
                    *result = RESULT_DATA_NOT_READABLE;
                }
            } else {
                DWORD rc = handler_.SaveToDestFile();
                if (rc != 0) {
                    *result = rc;
                    LogInfo("PostDownloadHandling : failed\n");
                } else {
                    LogInfo("PostDownloadHandling : Successfully downloaded the file %S from the "
                            "server %S to the destination file %S \n",
                            OrEmpty(objectPath_.get()), OrEmpty(server_.get()),
                            OrEmpty(destinationPath_.get()));
                }
            }
        }
        PrintHTTPAccessLog(*result);
    } catch (...) {
        LogError("Error caught in PostDownloadHandling\n");
        *result = RESULT_INVALID_INPUT;
    }
}
