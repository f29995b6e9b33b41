// One resumable download: the request's arguments, the probe for the file's
// size and Last-Modified, the ranged requests (one for the whole remainder,
// or paced blocks), the transfer buffer saved to the partial file, the
// delivery and the access-log row. Created and destroyed by the plain
// download functions when DownloadMode is 1.
#pragma once

#include "http/download_resume_handler.h"
#include "http/http_common.h"
#include "http/request_setup.h"

#include <windows.h>

#include <string>

class ResumableRequest {
  public:
    ResumableRequest();
    ~ResumableRequest();
    ResumableRequest(const ResumableRequest&) = delete;
    ResumableRequest& operator=(const ResumableRequest&) = delete;

    // The two variants take the arguments of the plain download functions.
    // Result: 0; 90001 not modified; 707 the transfer ended before the
    // content length without an error (the partial file is kept); an HTTP
    // status; a Windows or WinHTTP error code; 6 when a GET_DATA body cannot
    // be read back; 13 on an invalid request or an internal failure.
    DWORD ResumeGetRequestEx(BYTE proxyFlag, const char* protocol, const WCHAR* server, int port,
                             const WCHAR* proxyServer, const WCHAR* proxyBypass,
                             const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                             const WCHAR* objectPath, const WCHAR* destinationPath,
                             char** dataOutput, int requestKind, BYTE keepAlive);
    DWORD ResumeGetRequestByBitrate(BYTE proxyFlag, const char* protocol, const WCHAR* server,
                                    int port, const WCHAR* proxyServer, const WCHAR* proxyBypass,
                                    const WCHAR* proxyUserName, const WCHAR* proxyPassword,
                                    const WCHAR* objectPath, const WCHAR* destinationPath,
                                    char** dataOutput, int requestKind, BYTE keepAlive);

    // Copies the arguments and allocates the transfer buffer. 0, or 13 for an
    // invalid request, or the allocation's error.
    DWORD Fill(BYTE proxyFlag, const char* protocol, const WCHAR* server, int port,
               const WCHAR* proxyServer, const WCHAR* proxyBypass, const WCHAR* proxyUserName,
               const WCHAR* proxyPassword, const WCHAR* objectPath, const WCHAR* destinationPath,
               char** dataOutput, int requestKind, BYTE keepAlive);
    // The probe: one GET whose status, Last-Modified and Content-Length are
    // kept; its body is never read. 0 or the result to end with.
    DWORD PreDownloadHandling();
    // Closes the handles (null: none), frees the buffer, delivers the file
    // when *result is 0 (which may change it) and writes the access-log row.
    void PostDownloadHandling(InternetRequestHandles* handles, DWORD* result, char** dataOutput);
    // Appends this download's row to the success or failure access log.
    void PrintHTTPAccessLog(DWORD result);

    DWORD ContentLength() const { return contentLength_; }
    DWORD BytesReceived() const { return bytesReceived_; }
    const DownloadResumeHandler& Handler() const { return handler_; }

  private:
    enum class Stage { First, Reopen, Block };
    enum class Answer { Continue, Again, Fail };

    // Initialize, the buffer's size and the bytes already held. 0 or a result.
    DWORD Begin(const char* function);
    // Sends a ranged request from the bytes received and checks that its
    // answer continues the partial file. 0 when the body is to be read;
    // otherwise the result to end with. *sendResult gets the set-up's result.
    DWORD OpenAt(InternetRequestHandles* handles, Stage stage, DWORD blockSize, DWORD* sendResult);
    Answer CheckAnswer(InternetRequestHandles* handles, DWORD start, const char* function,
                       DWORD* error);
    // Reads one announced chunk behind the buffered bytes, saving them first
    // when the buffer would overflow. 0 or the error (logged).
    DWORD ReadChunk(HINTERNET request, DWORD available, const char* function, bool bitrate,
                    DWORD* got);
    DWORD SaveBuffered(bool periodic);
    bool GrowBuffer(DWORD bytes);
    DWORD Send(InternetRequestHandles* handles);
    void CountFailure();

    BYTE keepAlive_ = 0;
    BYTE proxyFlag_ = 0;
    Owned<WCHAR> objectPath_;
    Owned<WCHAR> server_;
    Owned<WCHAR> destinationPath_;
    Owned<WCHAR> proxyBypass_;
    Owned<WCHAR> proxyUserName_;
    Owned<WCHAR> proxyPassword_;
    Owned<WCHAR> proxyServer_;
    std::string startStamp_;
    std::string protocol_;
    std::string serverLastModified_;
    DownloadResumeHandler handler_;
    char* buffer_ = nullptr;
    DWORD bufferSize_ = 0;
    DWORD buffered_ = 0;
    int requestKind_ = 0;
    int port_ = 0;
    DWORD contentLength_ = 0;
    DWORD bytesReceived_ = 0;
    int restarts_ = 0; // times this run started over from byte 0
};
