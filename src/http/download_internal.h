// Pieces shared by the two plain download functions.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "http/download_handover.h"
#include "http/http_common.h"
#include "http/request_setup.h"

namespace twhttp {

// Bytes read from the network per WinHttpReadData call at most, whatever the
// server announces.
constexpr DWORD kReadChunk = 256u << 10;

// The read-time-out recoveries of one download. Each costs a full time-out,
// so one is asked for only while the one before it brought a byte the file
// did not hold yet (a server that stalls at the same place again costs one
// more time-out, not ten), and 10 at most.
class TimeoutRecoveries {
  public:
    // Whether a recovery may be asked for now, the file holding `held` body
    // bytes; counts it when so.
    bool mayRecover(ULONGLONG held) {
        if (used_ >= kMax || (used_ > 0 && held <= heldAtLast_))
            return false;
        ++used_;
        heldAtLast_ = held;
        return true;
    }

  private:
    static constexpr int kMax = 10;
    int used_ = 0;
    ULONGLONG heldAtLast_ = 0;
};

// 13 with a logged line when the call cannot be served: no object path, a port
// outside 0..65535, GET_DATA without an output, a file download without a
// destination.
DWORD CheckDownloadArguments(const char* function, const DownloadCall& call);

// The temporary file of a download: the GET_DATA file of this thread, or the
// destination with the thread id and ".tmp" appended. Null when it cannot be made.
WCHAR* MakeTempFilePath(const DownloadCall& call);

// Creates (always anew) the temporary file for writing, shared for reading.
HANDLE CreateTempFile(const WCHAR* path);

// Empties the temporary file and puts its pointer at the start.
bool RewindFile(HANDLE file);

// Calls GetInternetRequestHandle with the download's arguments.
DWORD RequestFor(const DownloadCall& call, BYTE keepAlive, InternetRequestHandles* handles);

// Closes the handles that are set, logging failures as "<function> :  Error in
// WinHttpCloseHandle hRequest --> %d" with the explanation of the code.
void CloseHandlesLogged(const char* function, InternetRequestHandles* handles);
// Closes the handles that are set, without checks.
void CloseHandlesQuietly(InternetRequestHandles* handles);

// Writes all of `size` bytes. 0 or the error.
DWORD WriteAll(HANDLE file, const void* data, DWORD size);

// Delivers a finished download: the GET_DATA text into call.dataOutput, or the
// temporary file over the destination, with the messages of the variant.
// Returns 0 or the result.
DWORD DeliverDownload(DownloadVariant variant, const DownloadCall& call, const WCHAR* tempPath);

// 16-bit seconds of the day times 1000 plus milliseconds: the pacing clock.
DWORD PacingMillis(const SYSTEMTIME& t);

} // namespace twhttp
