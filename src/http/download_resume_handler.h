// The partial file of one resumable download and its registry record under
// the agent key's "\FileMetaData" subkey: whether an earlier attempt can be
// continued, the periodic saves, the delivery and the cleaning afterwards.
#pragma once

#include <windows.h>

#include "base/owned.h"

class DownloadResumeHandler {
  public:
    DownloadResumeHandler();
    ~DownloadResumeHandler();
    DownloadResumeHandler(const DownloadResumeHandler&) = delete;
    DownloadResumeHandler& operator=(const DownloadResumeHandler&) = delete;

    // Finds or makes the URL's record and decides where this attempt starts.
    // 0, or 13 on an internal failure.
    DWORD Initialize(const WCHAR* destinationPath, const char* serverLastModified,
                     const WCHAR* url);
    // Whether the recorded partial file can be continued; the in-progress mark.
    DWORD GetFileDataFromRegistry();
    // Forms the unique id when there is none, and the partial file path.
    DWORD FormUniqueFileName();
    // Appends bytes to the partial file and records the new size. 0 or an error.
    DWORD ProcessDownloadedBuffer(const char* bytes, DWORD length, bool periodic);
    // Puts the finished partial file at the destination and cleans. 0 or an error.
    DWORD SaveToDestFile();
    // Reads the finished partial file into a new text (CR LF read as LF) and cleans.
    bool LoadDatafromFile(char** out);
    // Removes the partial file and the URL's record. 0, or 13.
    DWORD CleanFileAndRegistry();
    // Starts the attempt at byte 0: deletes the partial file.
    void PreDownloadCleaningOfPartialFile();

    // Drops what the partial file holds (the server's file is not the one it
    // began with) and records the new Last-Modified. 0, or 13.
    DWORD RestartFromZero(const char* serverLastModified);
    // Raises the save limit (a chunk larger than it arrived).
    void RaiseSaveLimit(DWORD limit);
    // Makes sure the partial file exists, also when it is to stay empty. 0 or an error.
    DWORD TouchPartialFile();

    DWORD ResumeOffset() const { return resumeOffset_; }
    DWORD PartialSizeAtStart() const { return partialSizeAtStart_; }
    DWORD BytesSavedThisRun() const { return bytesSavedThisRun_; }
    DWORD SaveLimit() const { return saveLimit_; }
    bool IsTemporary() const { return temporary_; }
    const WCHAR* PartialFilePath() const { return partialFilePath_.c_str(); }
    const char* UniqueId() const { return uniqueId_.c_str(); }

  private:
    enum class LockState { Acquired, Held, Unavailable };
    // The lock file beside the partial file tells a live attempt from one that
    // died: the system releases a dead process's lock.
    LockState TakeLock();
    void ReleaseLock(bool removeFile);
    // Writes the record's size and times in the id's subkey. 0 or an error.
    DWORD WriteRecord(bool final);
    // Abandons the current id for a new one that starts at byte 0.
    void StartWithNewId();
    bool StoreUniqueIdForUrl(HKEY metaKey);

    TwWString destinationPath_;
    TwWString partialFilePath_;
    TwWString repositoryName_;
    TwWString url_;
    std::string storedLastModified_;
    std::string serverLastModified_;
    std::string uniqueId_;
    std::string urlUtf8_;
    DWORD retryCount_ = 0;
    DWORD resumeOffset_ = 0;
    DWORD partialSizeAtStart_ = 0;
    DWORD bytesSavedThisRun_ = 0;
    DWORD saveLimit_ = 1048576;
    LONGLONG lastRetryTime_ = 0;
    bool temporary_ = false;

    HANDLE lock_;
    bool markSet_ = false; // this attempt set or took over the in-progress mark
    bool recordCleaned_ = false;
};

// Save limits outside these bounds are taken as their nearest bound.
constexpr DWORD kMinSaveLimit = 4096;
constexpr DWORD kMaxSaveLimit = 64u << 20;
