#include "http/download_resume_handler.h"
#include "base/settings.h"
#include "base/error_texts.h"
#include "base/file_helpers.h"
#include "base/text_helpers.h"
#include "base/time_helpers.h"
#include "http/agent_request.h"
#include "http/downloads.h"
#include "http/http_common.h"
#include "http/resumable_internal.h"
#include "base/format.h"
#include "base/log.h"
#include "registry/registry_helpers.h"
#include "registry/registry_key.h"

#include <stdlib.h>
#include <string.h>

using twhttp::LastErrorOf;

namespace twresume {

const char kDefaultRepository[] = "DownloadRepository\\";

std::string MetaKeyPath() {
    return std::string(gv_RegKey) + "\\FileMetaData";
}

std::string SubkeyPath(const std::string& id) {
    return MetaKeyPath() + "\\" + id;
}

TwWString Wide(const char* utf8) {
    if (utf8 == nullptr)
        return TwWString();
    Owned<WCHAR> w(TwUtf8ToWide(utf8));
    return w ? TwWString(w.get()) : TwWString();
}

std::string Narrow(const WCHAR* wide) {
    if (wide == nullptr)
        return std::string();
    Owned<char> n(TwWideToUtf8(wide));
    return n ? std::string(n.get()) : std::string();
}

bool UsableId(const std::string& id) {
    if (id.empty() || id.size() > kMaxIdChars)
        return false;
    for (char c : id) {
        bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

bool UsableRepositoryName(const char* name, std::string* normalised) {
    if (name == nullptr || name[0] == '\0' || name[0] == '\\' || strlen(name) > 200)
        return false;
    std::string n(name);
    if (n.find("..") != std::string::npos)
        return false;
    for (char c : n) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || strchr(":/*?\"<>|", c) != nullptr)
            return false;
    }
    if (n.back() != '\\')
        n += '\\';
    *normalised = n;
    return true;
}

LONGLONG NowUnixMillis() {
    SYSTEMTIME st;
    GetSystemTime(&st);
    LONGLONG seconds = 0;
    SystemTimeToUnixSeconds(st, &seconds);
    return seconds * 1000 + st.wMilliseconds;
}

bool ParseMillis(const char* text, LONGLONG* out) {
    if (text == nullptr)
        return false;
    const char* p = text;
    bool negative = *p == '-';
    if (negative)
        ++p;
    if (*p == '\0' || strlen(p) > 18)
        return false;
    LONGLONG v = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (*p - '0');
    }
    *out = negative ? -v : v;
    return true;
}

LONGLONG FileSizeOf(const WCHAR* path) {
    HANDLE h =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    LARGE_INTEGER size;
    size.QuadPart = -1;
    if (!GetFileSizeEx(h, &size))
        size.QuadPart = -1;
    CloseHandle(h);
    return size.QuadPart;
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
}

} // namespace twresume

using namespace twresume;

namespace {

// The URL's value is named by the URL itself, passed as UTF-16 so that every
// character of it names the same value whatever the code page.
LONG ReadUrlId(HKEY meta, const WCHAR* url, std::string* id) {
    WCHAR text[128];
    memset(text, 0, sizeof(text));
    DWORD bytes = sizeof(text) - sizeof(WCHAR);
    DWORD type = 0;
    LONG rc = RegQueryValueExW(meta, url, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (type != REG_SZ)
        return ERROR_INVALID_DATA;
    *id = Narrow(text);
    return ERROR_SUCCESS;
}

LONG WriteUrlId(HKEY meta, const WCHAR* url, const std::string& id) {
    TwWString text = Wide(id.c_str());
    return RegSetValueExW(meta, url, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

} // namespace

namespace {

const REGSAM kAccess = KEY_ALL_ACCESS | KEY_WOW64_32KEY;
// A mark older than this belongs to a download that is taken for dead.
const LONGLONG kStaleMarkMillis = 90LL * 60 * 1000;

} // namespace

DownloadResumeHandler::DownloadResumeHandler() : lock_(INVALID_HANDLE_VALUE) {
    try {
        repositoryName_ = Wide(kDefaultRepository);
    } catch (...) {
        LogError("Error caught in constructor DownloadResumeHandler\n");
    }
}

DownloadResumeHandler::~DownloadResumeHandler() {
    try {
        if (markSet_ && !temporary_ && !recordCleaned_ && UsableId(uniqueId_))
            deleteValue(HKEY_LOCAL_MACHINE, SubkeyPath(uniqueId_).c_str(), "downloadInProgress");
        // No record names a temporary partial file: nothing could ever resume it.
        if (temporary_ && !partialFilePath_.empty())
            DeleteFileW(partialFilePath_.c_str());
        ReleaseLock(false);
    } catch (...) {
        LogError("Error caught in destructor ~DownloadResumeHandler\n");
    }
}

DownloadResumeHandler::LockState DownloadResumeHandler::TakeLock() {
    if (lock_ != INVALID_HANDLE_VALUE)
        return LockState::Acquired;
    if (!UsableId(uniqueId_) || partialFilePath_.empty())
        return LockState::Unavailable;
    TwWString path = partialFilePath_ + TW_W(".lock");
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LockState::Unavailable;
    // One byte at 4 GiB: beyond any partial file, so no data is ever locked.
    if (LockFile(h, 0, 1, 1, 0)) {
        lock_ = h;
        return LockState::Acquired;
    }
    DWORD e = GetLastError();
    CloseHandle(h);
    return e == ERROR_LOCK_VIOLATION ? LockState::Held : LockState::Unavailable;
}

void DownloadResumeHandler::ReleaseLock(bool removeFile) {
    if (lock_ == INVALID_HANDLE_VALUE)
        return;
    // Removed while still held, so that no other attempt locks the old file
    // in between; otherwise the file stays for the next attempt on this id.
    if (removeFile)
        DeleteFileW((partialFilePath_ + TW_W(".lock")).c_str());
    UnlockFile(lock_, 0, 1, 1, 0);
    CloseHandle(lock_);
    lock_ = INVALID_HANDLE_VALUE;
}

bool DownloadResumeHandler::StoreUniqueIdForUrl(HKEY metaKey) {
    LONG rc = WriteUrlId(metaKey, url_.c_str(), uniqueId_);
    if (rc == ERROR_SUCCESS)
        return true;
    // Without the URL's value no later attempt finds the record: keep none.
    LogError("DownloadResumeHandler::Initialize : The unique id could not be stored for the URL "
             "(%d), downloading without a record \n",
             rc);
    temporary_ = true;
    return false;
}

DWORD DownloadResumeHandler::Initialize(const WCHAR* destinationPath,
                                        const char* serverLastModified, const WCHAR* url) {
    try {
        LogInfo("Inside DownloadResumeHandler::Initialize\n");
        resumeOffset_ = 0;
        destinationPath_ = destinationPath != nullptr ? destinationPath : TW_W("");
        serverLastModified_ = serverLastModified != nullptr ? serverLastModified : "";
        url_ = url != nullptr ? url : TW_W("");
        char* utf8 = nullptr;
        if (url != nullptr && ChangeWideToUtf8Str(url, &utf8) && utf8 != nullptr)
            urlUtf8_ = utf8;
        free(utf8);
        if (gv_agentInstallDir == nullptr || urlUtf8_.empty()) {
            LogError("DownloadResumeHandler::Initialize : No installation folder or no URL \n");
            return RESULT_INVALID_INPUT;
        }

        RegistryKey meta;
        const std::string metaPath = MetaKeyPath();
        if (meta.Open(HKEY_LOCAL_MACHINE, metaPath.c_str(), kAccess) != ERROR_SUCCESS) {
            LogDebug("failure in openeing reg key\n");
            DWORD disposition = 0;
            LONG rc = meta.Create(HKEY_LOCAL_MACHINE, metaPath.c_str(), nullptr, 0, kAccess,
                                  nullptr, &disposition);
            repositoryName_ = Wide(kDefaultRepository);
            if (rc == ERROR_SUCCESS)
                meta.SetStringValue("IntermediateRepositoryName", kDefaultRepository);
            FormUniqueFileName();
            if (rc != ERROR_SUCCESS) {
                LogError("DownloadResumeHandler::Initialize : The FileMetaData key cannot be "
                         "created (%d), downloading without a record \n",
                         rc);
                temporary_ = true;
            } else {
                StoreUniqueIdForUrl(meta.Handle());
                SetDword(meta.Handle(), "InterSaveByteLimit", saveLimit_);
            }
            meta.Close();
            if (!temporary_)
                TakeLock();
            return 0;
        }

        LogDebug("reading folder info\n");
        char text[256];
        DWORD bytes = 255;
        memset(text, 0, sizeof(text));
        std::string repository;
        LONG rc = meta.QueryStringValue("IntermediateRepositoryName", text, &bytes);
        if (rc == ERROR_SUCCESS && UsableRepositoryName(text, &repository)) {
            repositoryName_ = Wide(repository.c_str());
        } else {
            if (rc == ERROR_SUCCESS)
                LogError("DownloadResumeHandler::Initialize : The repository folder name %s is not "
                         "a folder below the installation folder, using the default \n",
                         text);
            repositoryName_ = Wide(kDefaultRepository);
            meta.SetStringValue("IntermediateRepositoryName", kDefaultRepository);
        }
        DWORD limit = 0;
        rc = meta.QueryDWORDValue("InterSaveByteLimit", &limit);
        LogDebug("reading periodic limit  info\n");
        if (rc != ERROR_SUCCESS) {
            limit = 1048576;
            SetDword(meta.Handle(), "InterSaveByteLimit", limit);
        }
        // The limit sizes the transfer buffer: kept to what memory allows.
        saveLimit_ = limit < kMinSaveLimit   ? kMinSaveLimit
                     : limit > kMaxSaveLimit ? kMaxSaveLimit
                                             : limit;
        LogInfo("Download folder = %S\tperiodic save limit = %d\n", repositoryName_.c_str(),
                saveLimit_);

        std::string recordedId;
        rc = ReadUrlId(meta.Handle(), url_.c_str(), &recordedId);
        bool recorded = rc == ERROR_SUCCESS && UsableId(recordedId);
        if (rc == ERROR_SUCCESS && !recorded)
            LogError("DownloadResumeHandler::Initialize : The recorded unique id %s is not usable, "
                     "forming a new one \n",
                     recordedId.c_str());
        if (!recorded) {
            uniqueId_.clear();
            FormUniqueFileName();
            StoreUniqueIdForUrl(meta.Handle());
        } else {
            uniqueId_ = recordedId;
            FormUniqueFileName();
            LogInfo("Unique id for the file is %s\n", uniqueId_.c_str());
            GetFileDataFromRegistry();
            if (!temporary_)
                StoreUniqueIdForUrl(meta.Handle());
        }

        LogInfo("ResumeGetRequestEx : To update download count\n");
        DWORD count = 0;
        if (meta.QueryDWORDValue("DownloadCount", &count) != ERROR_SUCCESS)
            count = 0;
        SetDword(meta.Handle(), "DownloadCount", count + 1);
        meta.Close();
        if (!temporary_)
            TakeLock();
        LogInfo("End of DownloadResumeHandler::Initialize\n");
        return 0;
    } catch (...) {
        LogError("Error caught in DownloadResumeHandler::Initialize\n");
        return RESULT_INVALID_INPUT;
    }
}

DWORD DownloadResumeHandler::FormUniqueFileName() {
    try {
        if (uniqueId_.empty()) {
            SYSTEMTIME now;
            GetLocalTime(&now);
            uniqueId_ =
                TwFormat("%d%d%d", GetTimeInSeconds(now), static_cast<int>(GetCurrentProcessId()),
                         static_cast<int>(GetCurrentThreadId()));
            LogInfo("Formed Unique id for the file is %s\n", uniqueId_.c_str());
        }
        TwWString folder = Wide(gv_agentInstallDir);
        if (!folder.empty() && folder.back() != '\\' && folder.back() != '/')
            folder += '\\';
        folder += repositoryName_;
        partialFilePath_ = folder + Wide(uniqueId_.c_str());
        CreateDirectoryW(folder.c_str(), nullptr);
        LogInfo("Temporary file path is %S\n", folder.c_str());
        return 0;
    } catch (...) {
        LogError("Error caught in FormUniqueFileName\n");
        return RESULT_INVALID_INPUT;
    }
}

void DownloadResumeHandler::StartWithNewId() {
    ReleaseLock(false);
    uniqueId_.clear();
    FormUniqueFileName();
    resumeOffset_ = 0;
    partialSizeAtStart_ = 0;
    markSet_ = false;
    recordCleaned_ = false;
}

DWORD DownloadResumeHandler::GetFileDataFromRegistry() {
    try {
        LogInfo("Inside GetFileDataFromRegistry\n");
        const LockState lock = TakeLock();
        if (lock == LockState::Held) {
            // A live download holds this record, whatever its mark says.
            LogInfo("Another download in progress - hence procedding for temporary download\n");
            temporary_ = true;
            StartWithNewId();
            return 0;
        }
        RegistryKey sub;
        if (sub.Open(HKEY_LOCAL_MACHINE, SubkeyPath(uniqueId_).c_str(), kAccess) != ERROR_SUCCESS) {
            LogError("GetFileDataFromRegistry; Registry subkey not found\n");
            PreDownloadCleaningOfPartialFile();
            return 0;
        }

        bool valid = false;
        char text[256];
        DWORD bytes = 255;
        memset(text, 0, sizeof(text));
        if (sub.QueryStringValue("LastModifiedTime", text, &bytes) == ERROR_SUCCESS) {
            storedLastModified_ = text;
            LogInfo("GetFileDataFromRegistry last modified time in registry   %s from server %s\n",
                    text, serverLastModified_.c_str());
            DWORD size = 0;
            if (_stricmp(text, serverLastModified_.c_str()) == 0 &&
                sub.QueryDWORDValue("PartialFileSize", &size) == ERROR_SUCCESS) {
                resumeOffset_ = size;
                partialSizeAtStart_ = size;
                LONGLONG actual = FileSizeOf(partialFilePath_.c_str());
                LogInfo("GetFileDataFromRegistry partial downloaded filesize  in registry %d from "
                        "file  %d\n",
                        size, static_cast<int>(actual));
                valid = actual == static_cast<LONGLONG>(size);
            }
        }
        if (valid) {
            bytes = 255;
            memset(text, 0, sizeof(text));
            LONGLONG millis = 0;
            if (sub.QueryStringValue("LastRetryTime", text, &bytes) == ERROR_SUCCESS &&
                ParseMillis(text, &millis))
                lastRetryTime_ = millis;
            DWORD retries = 0;
            if (sub.QueryDWORDValue("RetryCount", &retries) == ERROR_SUCCESS)
                retryCount_ = retries;
        }

        DWORD mark = 0;
        if (sub.QueryDWORDValue("downloadInProgress", &mark) != ERROR_SUCCESS) {
            SetDword(sub.Handle(), "downloadInProgress", 1);
            markSet_ = true;
        } else {
            LogInfo("GetFileDataFromRegistry - dwonload in progress flag is set\n");
            const LONGLONG age = NowUnixMillis() - lastRetryTime_;
            if (age > kStaleMarkMillis) {
                LogInfo("GetFileDataFromRegistry - download in progress flag was set before 90 "
                        "mins so cleaning files and proceeding\n");
                sub.Close();
                CleanFileAndRegistry();
                StartWithNewId();
                return 0;
            }
            if (lock == LockState::Acquired) {
                // The attempt that set the mark ended without removing it
                // (killed): its lock is gone, so its partial file is continued.
                LogInfo("GetFileDataFromRegistry - the download that set the in progress flag "
                        "has ended, continuing its partial file\n");
                markSet_ = true;
            } else {
                LogInfo("Another download in progress - hence procedding for temporary download\n");
                sub.Close();
                temporary_ = true;
                StartWithNewId();
                return 0;
            }
        }
        sub.Close();
        if (!valid)
            PreDownloadCleaningOfPartialFile();
        return 0;
    } catch (...) {
        LogError("Error caught in GetFileDataFromRegistry\n");
        return RESULT_INVALID_INPUT;
    }
}

void DownloadResumeHandler::PreDownloadCleaningOfPartialFile() {
    try {
        LogInfo("Performing PreDownloadCleaningOfPartialFile\n");
        resumeOffset_ = 0;
        partialSizeAtStart_ = 0;
        if (!partialFilePath_.empty())
            DeleteFileW(partialFilePath_.c_str());
    } catch (...) {
        LogError("Error caught in PreDownloadCleaningOfPartialFile\n");
    }
}

DWORD DownloadResumeHandler::WriteRecord(bool final) {
    const std::string path = SubkeyPath(uniqueId_);
    addRegistryKey(HKEY_LOCAL_MACHINE, path.c_str());
    RegistryKey key;
    // Registry failures leave the download without a usable record; the next
    // attempt then starts over, which is safe.
    if (key.Open(HKEY_LOCAL_MACHINE, path.c_str(), kAccess) != ERROR_SUCCESS)
        return 0;
    const DWORD size = partialSizeAtStart_ + bytesSavedThisRun_;
    SetDword(key.Handle(), "PartialFileSize", size);
    LogDebug("updated registry entries  %d \n", size);
    key.SetStringValue("LastModifiedTime", serverLastModified_.c_str());
    Owned<WCHAR> now(GetCurrentTimeMillisText());
    key.SetStringValue("LastRetryTime", Narrow(now.get()).c_str());
    if (final) {
        LogInfo(
            "ProcessDownloadedBuffer : Saved %u bytes, last modified time %s, retry count %d \n",
            size, serverLastModified_.c_str(), retryCount_);
        ++retryCount_;
        SetDword(key.Handle(), "RetryCount", retryCount_);
        RegDeleteValueA(key.Handle(), "downloadInProgress");
        markSet_ = false;
    }
    key.Close();
    return 0;
}

DWORD DownloadResumeHandler::ProcessDownloadedBuffer(const char* bytes, DWORD length,
                                                     bool periodic) {
    try {
        if (length == 0)
            return 0;
        LogDebug("Inside ProcessDownloadedBuffer\n");
        HANDLE file = CreateFileW(partialFilePath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == nullptr) {
            LogError("File Handle is NULL\n");
            return LastErrorOf();
        }
        if (file == INVALID_HANDLE_VALUE) {
            LogError("Invalid File Handle\n");
            return LastErrorOf();
        }
        // Bytes go exactly behind what this attempt knows the file holds; a
        // file changed by someone else is never appended to.
        const ULONGLONG expected = static_cast<ULONGLONG>(partialSizeAtStart_) + bytesSavedThisRun_;
        LARGE_INTEGER size;
        size.QuadPart = -1;
        if (!GetFileSizeEx(file, &size) || size.QuadPart != static_cast<LONGLONG>(expected)) {
            LogError(
                "ProcessDownloadedBuffer : The partial file holds %lld bytes, %llu expected \n",
                static_cast<long long>(size.QuadPart), static_cast<unsigned long long>(expected));
            CloseHandle(file);
            return ERROR_FILE_INVALID;
        }
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(expected);
        DWORD written = 0;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
            !WriteFile(file, bytes, length, &written, nullptr) || written != length) {
            DWORD e = written != length && GetLastError() == 0 ? ERROR_WRITE_FAULT : LastErrorOf();
            LogError("ProcessDownloadedBuffer :  Error in WriteFile --> %d \n", e);
            FlushFileBuffers(file);
            CloseHandle(file);
            return e;
        }
        bytesSavedThisRun_ += length;
        LogDebug("File updated with data.\n");
        // No flush to disk here: a flush per save holds the transfer to the
        // disk's write speed. The record follows the write, which is all a
        // killed process needs; only a power cut can leave it ahead of the disk.
        CloseHandle(file);
        if (temporary_)
            return 0;
        return WriteRecord(!periodic);
    } catch (...) {
        LogError("Error caught in ProcessDownloadedBuffer\n");
        return RESULT_INVALID_INPUT;
    }
}

DWORD DownloadResumeHandler::RestartFromZero(const char* serverLastModified) {
    try {
        PreDownloadCleaningOfPartialFile();
        bytesSavedThisRun_ = 0;
        serverLastModified_ = serverLastModified != nullptr ? serverLastModified : "";
        // The record follows at once, so that no later attempt trusts its old size.
        if (!temporary_)
            WriteRecord(false);
        return 0;
    } catch (...) {
        LogError("Error caught in RestartFromZero\n");
        return RESULT_INVALID_INPUT;
    }
}

void DownloadResumeHandler::RaiseSaveLimit(DWORD limit) {
    if (limit > saveLimit_)
        saveLimit_ = limit;
}

DWORD DownloadResumeHandler::TouchPartialFile() {
    HANDLE file = CreateFileW(partialFilePath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorOf();
    CloseHandle(file);
    return 0;
}

DWORD DownloadResumeHandler::SaveToDestFile() {
    try {
        resumeOffset_ = 0;
        LogInfo("Inside SaveToDestFile from %S to %S\n", partialFilePath_.c_str(),
                destinationPath_.c_str());
        // 183 means the folder is a drive's root, which exists.
        DWORD rc = CreateFolder(destinationPath_.c_str());
        if (rc != 0 && rc != ERROR_ALREADY_EXISTS)
            return rc;
        // On one volume a rename puts the file in place without copying it again.
        if (!MoveFileExW(partialFilePath_.c_str(), destinationPath_.c_str(),
                         MOVEFILE_REPLACE_EXISTING) &&
            !CopyFileW(partialFilePath_.c_str(), destinationPath_.c_str(), FALSE)) {
            DWORD e = LastErrorOf();
            LogError("InternetGetRequestEx : could n't copy from %S file to %S ,\n",
                     partialFilePath_.c_str(), destinationPath_.c_str());
            LogErrorText(e);
            return e;
        }
        CleanFileAndRegistry();
        return 0;
    } catch (...) {
        LogError("Error caught in SaveToDestFile\n");
        return RESULT_INVALID_INPUT;
    }
}

bool DownloadResumeHandler::LoadDatafromFile(char** out) {
    try {
        if (out == nullptr)
            return false;
        HANDLE file =
            CreateFileW(partialFilePath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            LogError("LoadDatafromFile: failed to open the file\n");
            return false;
        }
        LARGE_INTEGER size;
        size.QuadPart = -1;
        if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
            size.QuadPart > static_cast<LONGLONG>(kMaxInMemoryBody)) {
            LogError("LoadDatafromFile: the file cannot be held in memory (%lld bytes) \n",
                     static_cast<long long>(size.QuadPart));
            CloseHandle(file);
            return false;
        }
        const DWORD total = static_cast<DWORD>(size.QuadPart);
        Owned<char> text(static_cast<char*>(calloc(static_cast<size_t>(total) + 1, 1)));
        if (!text) {
            CloseHandle(file);
            return false;
        }
        DWORD got = 0;
        BOOL ok = ReadFile(file, text.get(), total, &got, nullptr);
        CloseHandle(file);
        if (!ok || got != total) {
            LogError("LoadDatafromFile: failed to open the file\n");
            return false;
        }
        // Text-mode reading: CR LF arrives as LF.
        char* p = text.get();
        DWORD kept = 0;
        for (DWORD i = 0; i < got; ++i) {
            if (p[i] == '\r' && i + 1 < got && p[i + 1] == '\n')
                continue;
            p[kept++] = p[i];
        }
        memset(p + kept, 0, static_cast<size_t>(total) + 1 - kept);
        *out = text.release();
        CleanFileAndRegistry();
        return true;
    } catch (...) {
        LogError("Error caught in loadDataFromFile\n");
        return false;
    }
}

DWORD DownloadResumeHandler::CleanFileAndRegistry() {
    try {
        LogInfo("Inside CleanFileAndRegistry\n");
        if (!partialFilePath_.empty())
            DeleteFileW(partialFilePath_.c_str());
        // A temporary attempt owns no record: the URL's value belongs to the
        // download that runs beside it.
        if (!temporary_ && UsableId(uniqueId_)) {
            RegistryKey meta;
            std::string recordedId;
            bool ours =
                meta.Open(HKEY_LOCAL_MACHINE, MetaKeyPath().c_str(), kAccess) == ERROR_SUCCESS &&
                ReadUrlId(meta.Handle(), url_.c_str(), &recordedId) == ERROR_SUCCESS &&
                uniqueId_ == recordedId;
            meta.Close();
            if (ours)
                deleteValue(HKEY_LOCAL_MACHINE, Wide(MetaKeyPath().c_str()).c_str(), url_.c_str());
            deleteKeyTree(HKEY_LOCAL_MACHINE, SubkeyPath(uniqueId_).c_str());
            recordCleaned_ = true;
            markSet_ = false;
        }
        ReleaseLock(true);
        return 0;
    } catch (...) {
        LogError("Error caught in CleanFileAndRegistry\n");
        return RESULT_INVALID_INPUT;
    }
}
