// The point where a plain download may be handed to the resumable downloader.
#pragma once

#include <windows.h>

// The arguments every download function takes, bundled for the hand-over.
struct DownloadCall {
    BYTE proxyFlag;
    const char* protocol;
    const WCHAR* server;
    int port;
    const WCHAR* proxyServer;
    const WCHAR* proxyBypass;
    const WCHAR* proxyUserName;
    const WCHAR* proxyPassword;
    const WCHAR* objectPath;
    const WCHAR* destinationPath;
    char** dataOutput;
    int requestKind;
    BYTE keepAlive;
};

enum class DownloadVariant { Plain, Throttled };

// The check at the start of both download functions: for resources other than
// ".xml" and ".json" it reads DownloadMode. Returns true when the download was
// handed over; *result then holds the result to return.
bool CheckDownloadHandOver(DownloadVariant variant, const DownloadCall& call, DWORD* result);

// Hands the download to the resumable downloader. Returns false when the plain
// path is to go on.
bool HandOverToResumableDownload(DownloadVariant variant, const DownloadCall& call, DWORD* result);
