// The libraries the Linux layer binds on first use (libcurl, OpenSSL, and what
// LoadLibraryA loads, libxml2 among them): a machine without them answers as
// Windows does without the DLLs, and nothing is loaded before it is needed.
#include "support/log_capture.h"
#include "support/test_support.h"
#include "tables/tabrix.h"

#include <tw_linux.h>
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <link.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// Whether a shared object whose path holds `name` is mapped into the process.
bool mapped(const char* name) {
    bool found = false;
    auto visit = [](dl_phdr_info* info, size_t, void* data) {
        auto* want = static_cast<std::pair<const char*, bool*>*>(data);
        if (info->dlpi_name != nullptr && strstr(info->dlpi_name, want->first) != nullptr)
            *want->second = true;
        return 0;
    };
    std::pair<const char*, bool*> want{name, &found};
    dl_iterate_phdr(visit, &want);
    return found;
}

} // namespace

TEST(DelayLoad, MissingLibrariesFailAsMissingDllsDoAndLoadLaterWhenPresent) {
    // The test program links OpenSSL itself; libcurl and libxml2 are the ones
    // the layer alone brings in.
    EXPECT_FALSE(mapped("libcurl")) << "loaded before any request";
    EXPECT_FALSE(mapped("libxml2")) << "loaded before any document";

    twtest::TempDir empty;
    TwLinuxSetLibraryFolder(empty.path().c_str());
    SetLastError(0);
    EXPECT_EQ(WinHttpOpen(u"TidewellAgent", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    HCRYPTPROV provider = 0;
    EXPECT_FALSE(
        CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(static_cast<HRESULT>(GetLastError()), NTE_PROVIDER_DLL_FAIL);
    {
        twtest::LogCapture log(2);
        EXPECT_EQ(CreateTableDataFromXmlBuffer("<r/>", 4), 0);
        const std::string text = log.text();
        const size_t line = text.find("[ERROR] Cannot load libxml2");
        ASSERT_NE(line, std::string::npos) << text;
        EXPECT_NE(text.find(" (error 126); XML documents cannot be read.\n", line),
                  std::string::npos)
            << text;
    }
    EXPECT_FALSE(mapped("libcurl"));

    // Back on the system's libraries, the same calls bind and work.
    TwLinuxSetLibraryFolder(nullptr);
    HINTERNET session =
        WinHttpOpen(u"TidewellAgent", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(mapped("libcurl"));
    WinHttpCloseHandle(session);
    HMODULE other = LoadLibraryA("libm.so.6");
    ASSERT_NE(other, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(other, "NoSuchEntryPoint"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_NE(GetProcAddress(other, "cos"), nullptr);
    EXPECT_TRUE(FreeLibrary(other));
}
