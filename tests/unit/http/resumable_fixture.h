// Shared set-up of the resumable-download tests: an installation folder on
// the private drive, a loopback server whose files carry a Last-Modified
// header, and helpers that read and write the download records.
#pragma once

#include "http_doubles.h"
#include "http_fixture.h"

#include "http/agent_request.h"
#include "http/resumable_request.h"

#include <windows.h>

#include <string>
#include <vector>

namespace resumabletest {

extern const char kLastModified[];
extern const char kOtherLastModified[];

// `bytes` pattern bytes with kLastModified (or `lastModified`; "" for none).
twtest::HttpBehavior File(uint64_t bytes, const std::string& lastModified = kLastModified);
// A verbatim 206 answer: the given Content-Range and Content-Length, then `body`.
twtest::HttpBehavior Raw206(const std::string& contentRange, size_t contentLength,
                            const std::string& body,
                            const std::string& lastModified = kLastModified);

class ResumableTest : public httptest::HttpTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The two variants, called on a request record the test can inspect.
    DWORD Ex(const std::string& path, int kind = DOWNLOAD_FILE);
    DWORD Bitrate(const std::string& path, int kind = DOWNLOAD_FILE);

    std::string Dest() const { return twtest::ReadFileText(Host(dest_)); }
    bool DestExists() const { return twtest::FileExists(Host(dest_)); }
    // "METHOD Range" of every request the server got, in order.
    std::vector<std::string> Ranges() const;

    // The record: gv_RegKey\FileMetaData, the URL's id and the id's subkey.
    static std::string MetaKey();
    std::string IdOf(const std::string& url) const;
    // A DWORD of the id's subkey (or of FileMetaData for an empty id); -1 when absent.
    long long RecordDword(const std::string& id, const std::string& name) const;
    std::string RecordText(const std::string& id, const std::string& name) const;
    bool SubkeyExists(const std::string& id) const;
    // Writes a record as an earlier attempt leaves it, and its partial file
    // holding the first `fileBytes` pattern bytes (-1: no file).
    void Record(const std::string& url, const std::string& id, DWORD size,
                const std::string& lastModified, long long fileBytes, long long lastRetryMillis,
                bool mark);
    void SetMeta(const std::string& name, const std::string& text);
    void SetMetaDword(const std::string& name, DWORD value);

    // Host paths of the repository folder and of a partial file in it.
    std::string Repo(const std::string& id = "") const;
    // Names of the files in the repository folder.
    std::vector<std::string> RepoFiles() const;
    static long long NowMillis();

    twtest::HttpServer server_;
    std::string dest_ = "C:\\downloads\\file.bin";
    char* data_ = nullptr;
    ResumableRequest* request_ = nullptr; // the record of the last call, kept for inspection
};

} // namespace resumabletest
