// The one entry through which the agent library talks to its servers: server
// choice, URL rewriting for the product edition, failover across the server's
// addresses and the remembered last-access address.
#pragma once

#include <windows.h>

#include <string>

// Request kinds.
constexpr int GET_DATA = 11001; // body returned in memory
constexpr int POST_DATA = 11002;
constexpr int DOWNLOAD_FILE = 11003; // body stored in a destination file
constexpr int POST_REQUEST = 11004;
constexpr int POST_MULTIPART = 11005;
constexpr int UPLOAD_FILE = 11006;

// Transfer types of the downloading kinds.
constexpr int TRANSFER_PLAIN = 0;     // InternetGetRequestEx
constexpr int TRANSFER_THROTTLED = 1; // InternetGetRequestByBitrate
constexpr int TRANSFER_NONE = 2;

// Results besides 0, HTTP statuses and Windows / WinHTTP error codes.
constexpr DWORD RESULT_DATA_NOT_READABLE = 6; // GET_DATA body could not be read back
constexpr DWORD RESULT_INVALID_INPUT = 13;    // missing or invalid input, nothing to post
constexpr DWORD RESULT_PARTIAL_DOWNLOAD = 707;
constexpr DWORD RESULT_NOT_MODIFIED = 90001; // counted as success

// A result of AgentSendRequest explained in one line of words, for a person.
std::string RequestResultText(DWORD result);

// url: server-relative path and query. destination: destination file (DOWNLOAD_FILE)
// or text (GET_DATA), or the data / file name to post. dataOutput: receives the
// GET_DATA body (or a post's response) as a new text freed with free.
// toMainServer 1 forces the main server. postSize: post size (POST_MULTIPART) or
// chunk size (UPLOAD_FILE). Returns 0 or 90001 on success.
DWORD AgentSendRequest(const char* url, const char* destination, char** dataOutput, int requestKind,
                       BYTE keepAlive, BYTE toMainServer, DWORD postSize, int transferType);

// The resource-identity form: GET_DATA from the main server, plain transfer.
DWORD AgentSendRequest(const char* url, char** dataOutput, BYTE keepAlive);

// Seconds of the local time (daylight bias applied), for the resumable downloads.
int GetLocalTimeInSeconds();
