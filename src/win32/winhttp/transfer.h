// The transfer engine of the Linux WinHTTP: a request's exchange driven on
// curl's multi and easy handles, with the bounded receive buffer between the
// network and WinHttpReadData (not part of the Win32 surface).
#pragma once

#include <windows.h>

#include "headers.h"

#include <stddef.h>

namespace tw::winhttp {

// Bytes a request buffers at most between the network and WinHttpReadData.
constexpr size_t kReceiveBufferBytes = 256 * 1024;

// The most bytes any request has held in its receive buffer since the last
// reset (process-wide).
size_t PeakBufferedBytes();
void ResetPeakBufferedBytes();

struct Request;

// curl's global set-up, once per process.
void GlobalInit();

// (Re)starts curl on r.url with r.currentVerb and the body described by
// bodyTotal and the upload sources.
DWORD StartTransfer(Request& r);

// What a call waits for.
enum class Wait { Sent, Written, Headers, Body };
// Drives curl until `what` holds or the transfer ends. Returns 0, or the
// error of the wait itself: time-out, cancellation, a curl fault.
DWORD Pump(Request& r, Wait what);
// Follows redirects until the final response's headers are in.
DWORD AwaitResponse(Request& r);

// The WinHTTP error of a transfer that ended without a final response.
DWORD TransferError(const Request& r);
// The error of a transfer that ended before the request was on the wire
// (resolving, connecting, TLS, the proxy tunnel, writing), or 0: what happens
// after that is the receive's to report. `allTaken`: curl took everything the
// calling send or write handed over.
DWORD SendFailure(const Request& r, bool allTaken);
// Ends the exchange after a failed wait; later calls report the same error.
BOOL FailExchange(Request& r, DWORD error);
// Keeps what curl has not taken of the caller's optional data once the call
// that lent it returns (all of it when a proxy challenge may need it again).
void KeepOptionalRemainder(Request& r);

// The headers as they go out, for queries with WINHTTP_QUERY_FLAG_REQUEST_HEADERS.
HeaderBlock RequestBlock(const Request& r);

} // namespace tw::winhttp
