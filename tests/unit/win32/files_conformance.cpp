// How the Win32 file calls the program makes behave: creation dispositions,
// reads and writes at the end, sizes, copies, moves, deletions, folders,
// finding and their error codes. Portable: the same file runs against our
// Linux layer and against real Win32 (Wine).
#include "support/test_support.h"

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using WString = std::basic_string<WCHAR>;

WString Wide(const std::string& s) {
    WString out;
    for (char c : s)
        out.push_back(static_cast<WCHAR>(static_cast<unsigned char>(c)));
    return out;
}

class Files : public ::testing::Test {
  protected:
    // Names below the folder take Windows separators on both platforms.
    std::string path(const std::string& name) const { return dir_.path() + "\\" + name; }
    HANDLE open(const std::string& name, DWORD disposition,
                DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD share = FILE_SHARE_READ) {
        return CreateFileA(path(name).c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    void put(const std::string& name, const std::string& data) {
        HANDLE h = open(name, CREATE_ALWAYS);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
        EXPECT_EQ(written, data.size());
        CloseHandle(h);
    }
    std::string get(const std::string& name) {
        HANDLE h = open(name, OPEN_EXISTING, GENERIC_READ);
        if (h == INVALID_HANDLE_VALUE)
            return "<missing>";
        std::string out;
        char buf[4096];
        DWORD got = 0;
        while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
            out.append(buf, got);
        CloseHandle(h);
        return out;
    }

    twtest::TempDir dir_;
};

TEST_F(Files, CreationDispositionsAndTheirCodes) {
    SetLastError(12345);
    HANDLE h = open("a.txt", CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    EXPECT_EQ(open("a.txt", CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    h = open("a.txt", CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "an existing file";
    CloseHandle(h);

    h = open("b.txt", CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u) << "a new file";
    CloseHandle(h);

    h = open("a.txt", OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);

    EXPECT_EQ(open("missing.txt", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open("no\\such\\folder.txt", OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open("no\\such\\folder.txt", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open("missing.txt", TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Files, CreateAlwaysAndTruncateExistingEmptyTheFile) {
    put("t.txt", "twelve bytes");
    HANDLE h = open("t.txt", TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(get("t.txt"), "");
    put("t.txt", "again");
    put("t.txt", "x");
    EXPECT_EQ(get("t.txt"), "x");
}

TEST_F(Files, PointerSizeAndEndOfFile) {
    put("p.bin", "0123456789");
    HANDLE h = open("p.bin", OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size{}, pos{}, to{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 10);
    DWORD high = 77;
    EXPECT_EQ(GetFileSize(h, &high), 10u);
    EXPECT_EQ(high, 0u);

    to.QuadPart = 0;
    ASSERT_TRUE(SetFilePointerEx(h, to, &pos, FILE_END));
    EXPECT_EQ(pos.QuadPart, 10);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "ab", 2, &written, nullptr));
    // A read at the end succeeds with nothing.
    char buf[8];
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(got, 0u);

    to.QuadPart = 4;
    ASSERT_TRUE(SetFilePointerEx(h, to, &pos, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(h));
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 4);
    // Past the end, SetEndOfFile extends (the new bytes read as zeros).
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);
    EXPECT_EQ(get("p.bin"), std::string("0123\0\0", 6));

    // A negative position is refused.
    h = open("p.bin", OPEN_EXISTING);
    to.QuadPart = -1;
    SetLastError(0);
    EXPECT_FALSE(SetFilePointerEx(h, to, &pos, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    CloseHandle(h);
}

TEST_F(Files, CopyMoveAndDelete) {
    put("src.txt", "payload");
    put("dst.txt", "old");
    EXPECT_FALSE(CopyFileA(path("src.txt").c_str(), path("dst.txt").c_str(), TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(get("dst.txt"), "old");
    EXPECT_TRUE(CopyFileA(path("src.txt").c_str(), path("dst.txt").c_str(), FALSE));
    EXPECT_EQ(get("dst.txt"), "payload");
    EXPECT_FALSE(CopyFileA(path("none.txt").c_str(), path("x.txt").c_str(), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(CopyFileW(Wide(path("src.txt")).c_str(), Wide(path("w.txt")).c_str(), TRUE));
    EXPECT_EQ(get("w.txt"), "payload");

    put("new.txt", "newer");
    EXPECT_FALSE(MoveFileExW(Wide(path("new.txt")).c_str(), Wide(path("dst.txt")).c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(MoveFileExW(Wide(path("new.txt")).c_str(), Wide(path("dst.txt")).c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(get("dst.txt"), "newer");
    EXPECT_EQ(get("new.txt"), "<missing>");

    EXPECT_TRUE(DeleteFileA(path("dst.txt").c_str()));
    EXPECT_FALSE(DeleteFileA(path("dst.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW(Wide(path("gone\\dst.txt")).c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, FoldersAndAttributes) {
    EXPECT_TRUE(CreateDirectoryA(path("d").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(path("d").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(Wide(path("x\\y")).c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    DWORD attrs = GetFileAttributesA(path("d").c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attrs & FILE_ATTRIBUTE_DIRECTORY, 0u);
    put("d\\f.txt", "f");
    attrs = GetFileAttributesW(Wide(path("d\\f.txt")).c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(attrs & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesA(path("d\\none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(RemoveDirectoryA(path("d").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(DeleteFileA(path("d").c_str())) << "DeleteFile does not remove a folder";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileA(path("d\\f.txt").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(Wide(path("d")).c_str()));
    EXPECT_EQ(GetFileAttributesA(path("d").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Files, ShellCreatesEveryMissingFolder) {
    WString deep = Wide(path("one\\two\\three"));
    EXPECT_EQ(SHCreateDirectoryExW(nullptr, deep.c_str(), nullptr), ERROR_SUCCESS);
    DWORD attrs = GetFileAttributesW(deep.c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(attrs & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(SHCreateDirectoryExW(nullptr, deep.c_str(), nullptr), ERROR_ALREADY_EXISTS);
    put("one\\file", "x");
    int rc = SHCreateDirectoryExW(nullptr, Wide(path("one\\file")).c_str(), nullptr);
    EXPECT_TRUE(rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS) << rc;
}

TEST_F(Files, FullPathNamesTakeBothSlashesAndTheCurrentFolder) {
    char here[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, here);
    ASSERT_GT(n, 2u);
    ASSERT_EQ(here[1], ':') << here;
    const std::string cwd(here, n);
    char full[MAX_PATH];
    char* part = nullptr;
    // Relative names lie below the current folder; "." and ".." go.
    n = GetFullPathNameA("a/./b\\..\\c.txt", MAX_PATH, full, &part);
    EXPECT_EQ(std::string(full, n), cwd + "\\a\\c.txt");
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part, "c.txt");
    // A rooted name is on the current drive; a folder keeps its separator.
    n = GetFullPathNameA("/x/y/", MAX_PATH, full, &part);
    EXPECT_EQ(std::string(full, n), cwd.substr(0, 2) + "\\x\\y\\");
    EXPECT_EQ(part, nullptr);
    n = GetFullPathNameA("C:/x/y/../z", MAX_PATH, full, nullptr);
    EXPECT_EQ(std::string(full, n), "C:\\x\\z");
    // Too small a buffer: the size it needs, terminator included.
    EXPECT_EQ(GetFullPathNameA("C:\\x", 3, full, nullptr), 5u);
}

TEST_F(Files, FindListsNamesSizesAndEnds) {
    put("a.log", "12345");
    put("b.log", "1");
    put("c.txt", "");
    ASSERT_TRUE(CreateDirectoryA(path("sub").c_str(), nullptr));

    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(path("*").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::set<std::string> names;
    do {
        names.insert(fd.cFileName);
        if (std::string(fd.cFileName) == "a.log") {
            EXPECT_EQ(fd.nFileSizeLow, 5u);
            EXPECT_EQ(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        }
        if (std::string(fd.cFileName) == "sub") {
            EXPECT_NE(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        }
    } while (FindNextFileA(h, &fd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a.log", "b.log", "c.txt", "sub"}));

    WIN32_FIND_DATAW fw;
    h = FindFirstFileW(Wide(path("*.log")).c_str(), &fw);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int count = 1;
    while (FindNextFileW(h, &fw))
        ++count;
    FindClose(h);
    EXPECT_EQ(count, 2);

    EXPECT_EQ(FindFirstFileA(path("*.none").c_str(), &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA(path("nofolder\\*").c_str(), &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Files, ASecondOpenThatTheFirstDoesNotShareIsRefused) {
    put("s.txt", "x");
    HANDLE first = open("s.txt", OPEN_EXISTING, GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open("s.txt", OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(first);
    HANDLE again = open("s.txt", OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

} // namespace
