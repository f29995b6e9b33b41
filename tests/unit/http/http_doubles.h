// A test double around the WinHTTP calls: every call is recorded and passed
// on to the real function, except the failures a test scripts for it. Sleep
// is recorded and never waits; GetLocalTime answers scripted times first.
#pragma once

#include "http_fixture.h"

#include <windows.h>
#include <winhttp.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace httptest {

struct Fake {
    // Scripted failures, taken one per call from the front; 0 passes the call on.
    std::deque<DWORD> sendErrors;
    std::deque<DWORD> receiveErrors;
    // WinHttpQueryDataAvailable fails with dataError `dataFailures` times once
    // at least `dataFailAfter` body bytes were read through ReadData.
    DWORD dataError = 0;
    int dataFailures = 0;
    unsigned long long dataFailAfter = 0;
    std::vector<unsigned long long> readAtDataFailure;
    // WinHttpQueryHeaders for the Content-Length answers this instead (when set).
    bool fakeContentLength = false;
    DWORD contentLength = 0;
    // Called after every successful WinHttpReadData.
    std::function<void()> onRead;
    // Times GetLocalTime answers before the clock is asked.
    std::deque<SYSTEMTIME> times;

    // What happened.
    int opens = 0; // WinHttpOpen
    int connects = 0;
    int requestsOpened = 0; // WinHttpOpenRequest
    int sends = 0;          // WinHttpSendRequest, also failed ones
    int receives = 0;
    int closes = 0;
    int writes = 0; // WinHttpWriteData
    unsigned long long bytesRead = 0;
    std::vector<DWORD> accessTypes; // per WinHttpOpen
    std::vector<std::u16string> verbs, objectNames;
    std::vector<std::u16string> headersAdded;
    std::vector<OptionCall> options; // successful and failed WinHttpSetOption calls
    std::vector<DWORD> sleeps;
    std::vector<DWORD> headerQueryErrors; // errors of failed WinHttpQueryHeaders calls

    bool optionSet(DWORD option) const;
    const OptionCall* lastOption(DWORD option) const;
};

extern Fake g_fake;

// Resets g_fake and puts the double in g_httpCalls, passing calls on to `real`.
void InstallDoubles(const HttpCalls& real);

SYSTEMTIME ClockAt(int hour, int minute, int second, int millisecond);

} // namespace httptest
