// Pieces shared by the resumable downloader's two classes.
#pragma once

#include "http/download_resume_handler.h"

#include <windows.h>

#include <string>

namespace twresume {

// The longest unique id taken from the registry.
constexpr size_t kMaxIdChars = 40;

// gv_RegKey + "\FileMetaData", and the subkey of one unique id below it.
std::string MetaKeyPath();
std::string SubkeyPath(const std::string& id);

// UTF-8 <-> UTF-16 without logging; empty for null or unconvertible text.
TwWString Wide(const char* utf8);
std::string Narrow(const WCHAR* wide);

// An id names a file and a subkey: letters, digits, '-' and '_' only, so that
// no registry text builds a path outside the repository folder.
bool UsableId(const std::string& id);
// A folder name below the installation folder: relative, no "..", no drive,
// no wildcard; `normalised` gets it with its trailing backslash.
bool UsableRepositoryName(const char* name, std::string* normalised);

// Milliseconds since 1970, now.
LONGLONG NowUnixMillis();
// Decimal milliseconds as stored in "LastRetryTime".
bool ParseMillis(const char* text, LONGLONG* out);
// Size of a file, -1 when it cannot be read.
LONGLONG FileSizeOf(const WCHAR* path);
LONG SetDword(HKEY key, const char* name, DWORD value);
// "bytes first-last/total" of a Content-Range header; false unless well formed
// with first <= last < total.
bool ParseContentRange(const char* text, ULONGLONG* first, ULONGLONG* last, ULONGLONG* total);

} // namespace twresume
