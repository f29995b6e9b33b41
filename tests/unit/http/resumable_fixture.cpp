#include "resumable_fixture.h"

#include "base/settings.h"
#include "agent/agent_params.h"

#include <chrono>
#include <filesystem>

using namespace httptest;

namespace resumabletest {

const char kLastModified[] = "Wed, 21 Oct 2015 07:28:00 GMT";
const char kOtherLastModified[] = "Thu, 22 Oct 2015 08:00:00 GMT";

twtest::HttpBehavior File(uint64_t bytes, const std::string& lastModified) {
    twtest::HttpBehavior b;
    b.pattern = true;
    b.patternBytes = bytes;
    if (!lastModified.empty())
        b.headers.push_back({"Last-Modified", lastModified});
    return b;
}

twtest::HttpBehavior Raw206(const std::string& contentRange, size_t contentLength,
                            const std::string& body, const std::string& lastModified) {
    twtest::HttpBehavior b;
    b.rawResponse = "HTTP/1.1 206 Partial Content\r\nLast-Modified: " + lastModified +
                    "\r\nContent-Range: " + contentRange +
                    "\r\nContent-Length: " + std::to_string(contentLength) +
                    "\r\nConnection: close\r\n\r\n" + body;
    return b;
}

void ResumableTest::SetUp() {
    HttpTest::SetUp();
    SetSetting(gv_agentInstallDir, "C:\\Program Files\\Agent\\");
    std::filesystem::create_directories(Host("C:\\Program Files\\Agent\\logs"));
}

void ResumableTest::TearDown() {
    delete request_;
    request_ = nullptr;
    free(data_);
    HttpTest::TearDown();
}

DWORD ResumableTest::Ex(const std::string& path, int kind) {
    delete request_;
    request_ = new ResumableRequest();
    std::u16string p = W(path), d = W(dest_);
    return request_->ResumeGetRequestEx(0, "http", u"127.0.0.1", server_.port(), nullptr, nullptr,
                                        nullptr, nullptr, p.c_str(),
                                        dest_.empty() ? nullptr : d.c_str(), &data_, kind, 1);
}

DWORD ResumableTest::Bitrate(const std::string& path, int kind) {
    delete request_;
    request_ = new ResumableRequest();
    std::u16string p = W(path), d = W(dest_);
    return request_->ResumeGetRequestByBitrate(
        0, "http", u"127.0.0.1", server_.port(), nullptr, nullptr, nullptr, nullptr, p.c_str(),
        dest_.empty() ? nullptr : d.c_str(), &data_, kind, 1);
}

std::vector<std::string> ResumableTest::Ranges() const {
    std::vector<std::string> out;
    for (const auto& r : server_.requests())
        out.push_back(r.method + " " + r.header("Range"));
    return out;
}

std::string ResumableTest::MetaKey() {
    return std::string(gv_RegKey) + "\\FileMetaData";
}

std::string ResumableTest::IdOf(const std::string& url) const {
    return ReadRegText(MetaKey(), url);
}

long long ResumableTest::RecordDword(const std::string& id, const std::string& name) const {
    std::string key = id.empty() ? MetaKey() : MetaKey() + "\\" + id;
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return -1;
    DWORD value = 0, size = sizeof(value), type = 0;
    LSTATUS rc =
        RegQueryValueExA(h, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS && type == REG_DWORD ? static_cast<long long>(value) : -1;
}

std::string ResumableTest::RecordText(const std::string& id, const std::string& name) const {
    return ReadRegText(MetaKey() + "\\" + id, name);
}

bool ResumableTest::SubkeyExists(const std::string& id) const {
    HKEY h = nullptr;
    std::string key = MetaKey() + "\\" + id;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

void ResumableTest::SetMeta(const std::string& name, const std::string& text) {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, MetaKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(h, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(h);
}

void ResumableTest::SetMetaDword(const std::string& name, DWORD value) {
    WriteRegDword(MetaKey(), name, value);
}

void ResumableTest::Record(const std::string& url, const std::string& id, DWORD size,
                           const std::string& lastModified, long long fileBytes,
                           long long lastRetryMillis, bool mark) {
    SetMeta(url, id);
    std::string sub = MetaKey() + "\\" + id;
    WriteRegDword(sub, "PartialFileSize", size);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_ALL_ACCESS, &h), ERROR_SUCCESS);
    std::string retry = std::to_string(lastRetryMillis);
    RegSetValueExA(h, "LastModifiedTime", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(lastModified.c_str()),
                   static_cast<DWORD>(lastModified.size() + 1));
    RegSetValueExA(h, "LastRetryTime", 0, REG_SZ, reinterpret_cast<const BYTE*>(retry.c_str()),
                   static_cast<DWORD>(retry.size() + 1));
    RegCloseKey(h);
    if (mark)
        WriteRegDword(sub, "downloadInProgress", 1);
    std::filesystem::create_directories(Repo());
    if (fileBytes >= 0)
        twtest::WriteFileText(Repo(id), twtest::PatternBytes(0, static_cast<size_t>(fileBytes)));
}

std::string ResumableTest::Repo(const std::string& id) const {
    return Host("C:\\Program Files\\Agent\\DownloadRepository\\" + id);
}

std::vector<std::string> ResumableTest::RepoFiles() const {
    std::vector<std::string> out;
    if (!std::filesystem::exists(Repo()))
        return out;
    for (const auto& e : std::filesystem::directory_iterator(Repo()))
        out.push_back(e.path().filename().string());
    return out;
}

long long ResumableTest::NowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace resumabletest
