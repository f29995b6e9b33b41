#include "http/http_calls.h"

namespace {
HttpCalls systemCalls() {
    return HttpCalls{&::WinHttpOpen,
                     &::WinHttpConnect,
                     &::WinHttpOpenRequest,
                     &::WinHttpAddRequestHeaders,
                     &::WinHttpSetOption,
                     &::WinHttpQueryOption,
                     &::WinHttpSendRequest,
                     &::WinHttpWriteData,
                     &::WinHttpReceiveResponse,
                     &::WinHttpQueryHeaders,
                     &::WinHttpQueryDataAvailable,
                     &::WinHttpReadData,
                     &::WinHttpCloseHandle,
                     &::Sleep,
                     &::GetLocalTime};
}
} // namespace

HttpCalls g_httpCalls = systemCalls();

void RestoreHttpCalls() {
    g_httpCalls = systemCalls();
}
