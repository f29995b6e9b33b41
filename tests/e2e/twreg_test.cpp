// The twreg tool run as a program against a private registry database.
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Utf16(const std::u16string& text, bool terminator = true) {
    std::string out;
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xff);
        out += static_cast<char>(c >> 8);
    }
    if (terminator)
        out.append(2, '\0');
    return out;
}

const char kHeader[] = "Windows Registry Editor Version 5.00\n\n";

class TwregTest : public ::testing::Test {
  protected:
    twtest::ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--registry", registry_.dbPath()});
        return twtest::RunProcess(twtest::ToolPath("twreg"), args);
    }
    static std::string Data(const std::string& name) {
        return twtest::SourceDir() + "/tests/data/reg/" + name;
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = registry_.dir().file(name);
        twtest::WriteFileText(path, bytes);
        return path;
    }
    // The export of a key as bytes ("<exit N>" when the export failed).
    std::string Export(const std::string& key, const std::string& view = "/reg:64") {
        std::string out = registry_.dir().file("export.reg");
        std::filesystem::remove(out);
        auto r = Run({view, "export", key, out});
        if (r.exitCode != 0)
            return "<exit " + std::to_string(r.exitCode) + ">";
        return twtest::ReadFileText(out);
    }
    // Exit 1 with exactly one line on standard error.
    static void ExpectOneLineError(const twtest::ProcessResult& r, const std::string& start) {
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.rfind("twreg: " + start, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.back(), '\n');
    }
    std::string RawValue(HKEY root, const char* path, const char16_t* name, DWORD* type) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return "<no key>";
        DWORD size = 0;
        std::string data;
        if (RegQueryValueExW(key, name, nullptr, type, nullptr, &size) == ERROR_SUCCESS) {
            data.assign(size, '\0');
            RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(data.data()), &size);
        } else {
            data = "<missing>";
        }
        RegCloseKey(key);
        return data;
    }

    // Subkeys and values of a key in the 64-bit view; -1 when it does not exist.
    std::pair<long, long> Shape(HKEY root, const char* path) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
            return {-1, -1};
        DWORD subKeys = 0, values = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        return {static_cast<long>(subKeys), static_cast<long>(values)};
    }

    twtest::ScopedRegistry registry_;
};

class TwregImport : public TwregTest {};
class TwregCommands : public TwregTest {};

TEST_F(TwregImport, RoundTripsAUtf16FileWithEveryValueType) {
    const std::string fixture = twtest::ReadFileText(Data("every_type.reg"));
    ASSERT_EQ(fixture.substr(0, 2), "\xFF\xFE");
    auto r = Run({"import", Data("every_type.reg")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Export("HKLM\\SOFTWARE\\TwTest"), fixture);

    // What landed in the store, read back through the API.
    const char* key = "SOFTWARE\\TwTest";
    DWORD type = 0;
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"String", &type),
              Utf16(u"C:\\Program Files\\Tw \"quoted\" \u00fcn\u00efc\u00f6d\u00e9 \u65e5\u672c "
                    u"\U0001F600"));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"", &type), Utf16(u"default text"));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Empty", &type), Utf16(u""));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Quote\"Name\\x", &type), Utf16(u"v"));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Dword", &type), std::string("\x01\xff\0\0", 4));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Qword", &type),
              "\x88\x77\x66\x55\x44\x33\x22\x11");
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Multi", &type),
              Utf16(std::u16string(u"a\0bc\0\u00e9\0", 7)));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Expand", &type), Utf16(u"%SystemRoot%\\x"));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"EmptyBinary", &type), "");
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Custom", &type), "\xab");
    EXPECT_EQ(type, 0x12345u);
    std::string ramp;
    for (int i = 0; i < 100; ++i)
        ramp += static_cast<char>(i);
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"LongBinary", &type), ramp);
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\TwTest\\Z Last", u"\u65e5", &type),
              Utf16(u"\u00e9"));
}

TEST_F(TwregImport, Utf8FilesWithAndWithoutBomImportAlike) {
    const std::string fixture = twtest::ReadFileText(Data("every_type.reg"));
    std::string utf8 = twtest::ReadFileText(Data("every_type_utf8.reg"));
    ASSERT_EQ(utf8.find('\r'), std::string::npos);
    ASSERT_EQ(Run({"import", Data("every_type_utf8.reg")}).exitCode, 0);
    EXPECT_EQ(Export("HKLM\\SOFTWARE\\TwTest"), fixture);

    ASSERT_EQ(Run({"delete", "HKLM\\SOFTWARE\\TwTest", "/f"}).exitCode, 0);
    std::string withBom = Write("bom.reg", "\xEF\xBB\xBF" + utf8);
    ASSERT_EQ(Run({"import", withBom}).exitCode, 0);
    EXPECT_EQ(Export("HKLM\\SOFTWARE\\TwTest"), fixture);
}

TEST_F(TwregImport, RefusesABadLineWithItsNumberAndChangesNothing) {
    ASSERT_EQ(Run({"import", Data("every_type.reg")}).exitCode, 0);
    const auto shape = Shape(HKEY_LOCAL_MACHINE, "SOFTWARE\\TwTest");
    const std::string beforeUser = Export("HKCU\\Software");

    // Lines 3 to 5 are good and would change the store; the bad line follows.
    const std::string ok = "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\TwTest]\n"
                           "[HKEY_CURRENT_USER\\Software\\Tw]\n\"a\"=\"ok\"\n";
    struct Case {
        std::string body; // after the header and blank line (lines 1 and 2)
        int line;
        std::string what;
    } cases[] = {
        {ok + "\"b\"=dword:123456789\n", 6, "dword"},
        {ok + "\"b\"=dword:\n", 6, "dword"},
        {ok + "\"b\"=dword:12x\n", 6, "dword"},
        {ok + "\"c\"=\"x\\q\"\n", 6, "unknown escape"},
        {ok + "\"c\"=\"unterminated\n", 6, "missing closing quote"},
        {ok + "\"c\"=\"x\" trailing\n", 6, "text after the closing quote"},
        {ok + "\"c\"\"x\"\n", 6, "missing ="},
        {ok + "\"d\"=hex:0g\n", 6, "bad hex byte"},
        {ok + "\"d\"=hex:012\n", 6, "bad hex byte"},
        {ok + "\"e\"=hex(zz):00\n", 6, "bad hex(type)"},
        {ok + "\"e\"=hex(123456789):00\n", 6, "bad hex(type)"},
        {ok + "\"e\"=hex()\n", 6, "bad hex(type)"},
        {ok + "\"e\"=hex(2)00\n", 6, "missing :"},
        {ok + "\"f\"=hex:00,\\\n  01,\\\n", 7, "continuation at end of file"},
        {ok + "\"g\"=wrong\n", 6, "unrecognised value data"},
        {ok + "hello\n", 6, "unrecognised line"},
        {ok + "[HKEY_CURRENT_USER\\Software\\Tw\n", 6, "key line without closing ]"},
        {ok + "\"f\"=hex:00,\\\n\n01\n", 7, "continuation onto a blank line"},
        {ok + "[-HKEY_CURRENT_USER\\Software\\Tw]\n\"h\"=\"after delete\"\n", 7,
         "value outside a key"},
        {"\"v\"=\"before any key\"\n" + ok, 3, "value outside a key"},
        {ok + "[HKEY_NOWHERE\\X]\n", 6, "unknown root key"},
        {ok + "[HKEY_LOCAL_MACHINE\\NewHive]\n", 6, "Access is denied"},
        {ok + "[HKEY_CURRENT_USER\\Software\\\\Empty]\n", 6, "The specified path is invalid"},
        {ok + "[HKEY_CURRENT_USER\\Software\\" + std::string(256, 'k') + "]\n", 6,
         "The parameter is incorrect"},
        {ok + "[]\n", 6, "empty key name"},
        {ok + "[HKEY_CURRENT_USER\\Software\\a\rb]\n", 6, "carriage return inside a key name"},
        {ok + "\"a\rb\"=\"x\"\n", 6, "carriage return inside a value name"},
        {ok + "\"s\"=\"nul " + std::string(1, '\0') + " inside\"\n", 6, "NUL"},
        {ok + "\"u\"=\"bad \xC3\x28 utf8\"\n", 6, "invalid UTF-8"},
    };
    for (const auto& c : cases) {
        std::string file = Write("bad.reg", kHeader + c.body);
        auto r = Run({"import", file});
        ExpectOneLineError(r, file + ":" + std::to_string(c.line) + ": " + c.what);
        EXPECT_EQ(Shape(HKEY_LOCAL_MACHINE, "SOFTWARE\\TwTest"), shape) << c.body;
        EXPECT_EQ(Shape(HKEY_CURRENT_USER, "Software\\Tw"), std::make_pair(-1L, -1L)) << c.body;
    }

    // File-level faults.
    for (const auto& [bytes, line] : std::vector<std::pair<std::string, int>>{
             {"", 1},
             {"REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tw]\n", 1},
             {std::string("\xFE\xFF\0W", 4), 1},
             {"\xFF\xFE" + Utf16(u"Windows Registry Editor Version 5.00\r\n\r\nx", false) + "\x01",
              3},
         }) {
        std::string file = Write("bad.reg", bytes);
        ExpectOneLineError(Run({"import", file}), file + ":" + std::to_string(line) + ": ");
    }
    ExpectOneLineError(Run({"import", registry_.dir().file("absent.reg")}), "");
    EXPECT_EQ(Export("HKCU\\Software"), beforeUser);
}

TEST_F(TwregImport, DeletionsCommentsAndContinuations) {
    ASSERT_EQ(Run({"import", Data("every_type.reg")}).exitCode, 0);
    std::string file = Write("changes.reg", std::string(kHeader) +
                                                "; a comment line\n"
                                                "   \n"
                                                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\TwTest\\Sub]\n"
                                                "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\TwTest\\Absent]\n"
                                                "  [HKEY_LOCAL_MACHINE\\SOFTWARE\\TwTest]  \n"
                                                "\"Dword\"=-\n"
                                                "\"NeverWas\"=-\n"
                                                "@ = \"new default\"\n"
                                                "\"Joined\"=hex(3):01,02,\\\n"
                                                "      03 , 04,\\   \n"
                                                "\t05\n"
                                                "\"Upper\"=hex:AB,cD\n");
    auto r = Run({"import", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    DWORD type = 0;
    const char* key = "SOFTWARE\\TwTest";
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Dword", &type), "<missing>");
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"", &type), Utf16(u"new default"));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Joined", &type), "\x01\x02\x03\x04\x05");
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, key, u"Upper", &type), "\xab\xcd");
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\TwTest\\Sub\\Deeper", u"x", &type),
              "<no key>");
    EXPECT_EQ(RawValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\TwTest\\Z Last", u"\u65e5", &type),
              Utf16(u"\u00e9"));
}

TEST_F(TwregImport, ThirtyTwoBitViewLandsUnderWow6432Node) {
    std::string arch =
        Write("arch.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                                                 "Control\\Session Manager\\Environment]\n"
                                                 "\"PROCESSOR_ARCHITECTURE\"=\"AMD64\"\n");
    ASSERT_EQ(Run({"import", arch}).exitCode, 0);
    std::string file = Write("v32.reg", std::string(kHeader) +
                                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tw32]\n\"v\"=\"32\"\n");
    ASSERT_EQ(Run({"/reg:32", "import", file}).exitCode, 0);
    EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\WOW6432Node\\Tw32", "/v", "v"}).exitCode, 0);
    EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Tw32", "/v", "v"}).exitCode, 1);
    EXPECT_EQ(Run({"query", "HKLM\\SOFTWARE\\Tw32", "/v", "v", "/reg:32"}).exitCode, 0);
    // An export in the 32-bit view names the keys as that view shows them.
    std::string exported = Export("HKLM\\SOFTWARE\\Tw32", "/reg:32");
    EXPECT_NE(exported.find(Utf16(u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tw32]", false)),
              std::string::npos);
}

TEST_F(TwregImport, GarbageNeverCrashesAndIsAllOrNothing) {
    const std::string base = twtest::ReadFileText(Data("every_type_utf8.reg"));
    std::mt19937 rng(20240611);
    for (int i = 0; i < 30; ++i) {
        std::string bytes = base;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            size_t pos = rng() % bytes.size();
            switch (rng() % 3) {
            case 0:
                bytes[pos] = static_cast<char>(rng() & 0xff);
                break;
            case 1:
                bytes.resize(pos);
                break;
            default:
                bytes.insert(pos, std::string(1 + rng() % 8, static_cast<char>(rng() & 0xff)));
            }
        }
        std::string file = Write("garbage.reg", bytes);
        auto r = Run({"import", file});
        ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << "case " << i << ": " << r.exitCode;
        if (r.exitCode == 1) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_EQ(Shape(HKEY_LOCAL_MACHINE, "SOFTWARE\\TwTest").first, -1) << "case " << i;
        } else {
            ASSERT_EQ(Run({"delete", "HKLM\\SOFTWARE\\TwTest", "/f"}).exitCode, 0);
        }
    }
}

TEST_F(TwregCommands, QueryPrintsLikeRegExe) {
    ASSERT_EQ(Run({"add", "HKCU\\Software\\Q", "/v", "Text", "/d", "hello world"}).exitCode, 0);
    ASSERT_EQ(
        Run({"add", "HKCU\\Software\\Q", "/v", "Num", "/t", "REG_DWORD", "/d", "42"}).exitCode, 0);
    ASSERT_EQ(Run({"add", "HKCU\\Software\\Q", "/v", "Big", "/t", "reg_qword", "/d",
                   "0x1122334455667788"})
                  .exitCode,
              0);
    ASSERT_EQ(
        Run({"add", "HKCU\\Software\\Q", "/v", "List", "/t", "REG_MULTI_SZ", "/d", "one\\0two"})
            .exitCode,
        0);
    ASSERT_EQ(
        Run({"add", "HKCU\\Software\\Q", "/v", "Bin", "/t", "REG_BINARY", "/d", "00ff1a"}).exitCode,
        0);
    ASSERT_EQ(Run({"add", "HKCU\\Software\\Q", "/ve", "/d", "dflt"}).exitCode, 0);
    ASSERT_EQ(Run({"add", "HKCU\\Software\\Q\\Child"}).exitCode, 0);

    auto r = Run({"query", "HKEY_CURRENT_USER\\Software\\Q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Q\n"
                     "    Text    REG_SZ    hello world\n"
                     "    Num    REG_DWORD    0x2a\n"
                     "    Big    REG_QWORD    0x1122334455667788\n"
                     "    List    REG_MULTI_SZ    one\\0two\n"
                     "    Bin    REG_BINARY    00FF1A\n"
                     "    (Default)    REG_SZ    dflt\n"
                     "\n"
                     "HKEY_CURRENT_USER\\Software\\Q\\Child\n");

    r = Run({"query", "hkcu\\Software\\Q\\", "/v", "NUM"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Q\n    Num    REG_DWORD    0x2a\n\n");
    r = Run({"query", "HKCU\\Software\\Q", "/ve"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Q\n    (Default)    REG_SZ    dflt\n\n");

    ExpectOneLineError(Run({"query", "HKCU\\Software\\Q", "/v", "Absent"}),
                       "HKEY_CURRENT_USER\\Software\\Q Absent: ");
    ExpectOneLineError(Run({"query", "HKCU\\Software\\Nothing"}), "HKEY_CURRENT_USER");
    ExpectOneLineError(Run({"query", "HKCU\\Software\\Q", "/v"}), "/v");
}

TEST_F(TwregCommands, AddChecksItsDataAndRefusesToOverwriteUnforced) {
    const std::string key = "HKCU\\Software\\A";
    ASSERT_EQ(Run({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "4294967295"}).exitCode, 0);
    ExpectOneLineError(Run({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "1"}), "value N");
    DWORD type = 0;
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\A", u"N", &type), "\xff\xff\xff\xff");
    EXPECT_EQ(Run({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "0x10", "/f"}).exitCode, 0);
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\A", u"N", &type),
              std::string("\x10\0\0\0", 4));

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"/v", "X", "/t", "REG_DWORD", "/d", "4294967296"},
             {"/v", "X", "/t", "REG_DWORD", "/d", "-1"},
             {"/v", "X", "/t", "REG_DWORD", "/d", "12abc"},
             {"/v", "X", "/t", "REG_DWORD", "/d", "0x"},
             {"/v", "X", "/t", "REG_QWORD", "/d", "18446744073709551616"},
             {"/v", "X", "/t", "REG_BINARY", "/d", "abc"},
             {"/v", "X", "/t", "REG_BINARY", "/d", "zz"},
             {"/v", "X", "/t", "REG_WHATEVER", "/d", "1"},
             {"/t", "REG_SZ", "/d", "no name"},
             {"/v", "X", "/d", "a", "/d", "b"},
             {"/v", "", "/d", "a"},
         }) {
        std::vector<std::string> args = {"add", key};
        args.insert(args.end(), bad.begin(), bad.end());
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 1) << bad.back();
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\A", u"X", &type), "<missing>");

    ASSERT_EQ(
        Run({"add", key, "/v", "Q", "/t", "REG_QWORD", "/d", "18446744073709551615"}).exitCode, 0);
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\A", u"Q", &type), std::string(8, '\xff'));
    ASSERT_EQ(Run({"add", key, "/v", "M", "/t", "REG_MULTI_SZ", "/d", "a\\0\xC3\xA9"}).exitCode, 0);
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\A", u"M", &type),
              Utf16(std::u16string(u"a\0\u00e9\0", 4)));
    ASSERT_EQ(Run({"add", key, "/v", "E", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%"}).exitCode, 0);
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\A", u"E", &type), Utf16(u"%TEMP%"));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    ASSERT_EQ(Run({"add", key, "/v", "Empty"}).exitCode, 0);
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\A", u"Empty", &type), Utf16(u""));
}

TEST_F(TwregCommands, DeleteNeedsForceAndTakesWholeTrees) {
    ASSERT_EQ(Run({"add", "HKCU\\Software\\D\\Sub\\Deeper", "/v", "x", "/d", "1"}).exitCode, 0);
    ASSERT_EQ(Run({"add", "HKCU\\Software\\D", "/v", "y", "/d", "2"}).exitCode, 0);

    ExpectOneLineError(Run({"delete", "HKCU\\Software\\D"}), "delete");
    ExpectOneLineError(Run({"delete", "HKCU\\Software\\D", "/v", "y"}), "delete");
    DWORD type = 0;
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\D", u"y", &type), Utf16(u"2"));

    EXPECT_EQ(Run({"delete", "HKCU\\Software\\D", "/v", "Y", "/f"}).exitCode, 0);
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\D", u"y", &type), "<missing>");
    ExpectOneLineError(Run({"delete", "HKCU\\Software\\D", "/v", "y", "/f"}), "HKEY_CURRENT_USER");

    EXPECT_EQ(Run({"delete", "HKCU\\Software\\D", "/f"}).exitCode, 0);
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software\\D", u"y", &type), "<no key>");
    ExpectOneLineError(Run({"delete", "HKCU\\Software\\D", "/f"}), "HKEY_CURRENT_USER");
    ExpectOneLineError(Run({"delete", "HKCU", "/f"}), "refusing");
    EXPECT_EQ(RawValue(HKEY_CURRENT_USER, "Software", u"x", &type), "<missing>");
}

TEST_F(TwregCommands, ExportRefusesWhatAFileCannotCarry) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\X", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "two\nlines", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_SUCCESS);
    RegCloseKey(key);
    std::string out = registry_.dir().file("x.reg");
    ExpectOneLineError(Run({"export", "HKCU\\Software\\X", out}), "value name");
    EXPECT_FALSE(twtest::FileExists(out));
    ExpectOneLineError(Run({"export", "HKCU\\Software\\Absent", out}), "HKEY_CURRENT_USER");
    ExpectOneLineError(Run({"export", "HKCU\\Software", registry_.dir().file("no/such/dir.reg")}),
                       "");
}

TEST_F(TwregCommands, QuerySubtreeShowsEveryKeyParentsFirst) {
    ASSERT_EQ(Run({"add", "HKCU\\Software\\S", "/v", "Top", "/d", "1"}).exitCode, 0);
    ASSERT_EQ(Run({"add", "HKCU\\Software\\S\\B\\Deep", "/v", "N", "/t", "REG_DWORD", "/d", "7"})
                  .exitCode,
              0);
    ASSERT_EQ(Run({"add", "HKCU\\Software\\S\\A"}).exitCode, 0);
    // Without values the key asked for shows its subkeys only; below it every key shows.
    auto r = Run({"query", "HKCU\\Software\\S\\B", "/s"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\S\\B\\Deep\n"
                     "    N    REG_DWORD    0x7\n"
                     "\n");
    r = Run({"query", "HKCU\\Software\\S\\B"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\S\\B\\Deep\n");
    r = Run({"query", "hkcu\\Software\\S", "/s"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\S\n"
                     "    Top    REG_SZ    1\n"
                     "\n"
                     "HKEY_CURRENT_USER\\Software\\S\\A\n"
                     "\n"
                     "HKEY_CURRENT_USER\\Software\\S\\B\n"
                     "\n"
                     "HKEY_CURRENT_USER\\Software\\S\\B\\Deep\n"
                     "    N    REG_DWORD    0x7\n"
                     "\n");
    ExpectOneLineError(Run({"query", "HKCU\\Software\\S", "/s", "/v", "Top"}), "/s");
}

TEST_F(TwregCommands, HelpAndADatabaseThatCannotBeOpened) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"/?"}, {"--help"}, {"query", "/?"}}) {
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("usage: twreg ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("\n  twreg query \"HKLM\\SOFTWARE\\WOW6432Node\\Brightmoor\\Tidewell"
                             "\\TWAgent\" /s\n"),
                  std::string::npos);
    }
    // The file and the reason, once, whatever the command.
    const std::string notAFolder = Write("plain.txt", "x");
    ExpectOneLineError(Run({"--registry", notAFolder + "/registry.db", "add", "HKCU\\Software\\X"}),
                       "cannot open the registry database " + notAFolder +
                           "/registry.db: cannot create its folder (Not a directory)");
    const std::string notADatabase = Write("other.db", std::string(4096, 'x'));
    ExpectOneLineError(Run({"--registry", notADatabase, "query", "HKLM"}),
                       "cannot open the registry database " + notADatabase +
                           ": file is not a database");
    EXPECT_EQ(twtest::ReadFileText(notADatabase), std::string(4096, 'x'));
}

TEST_F(TwregCommands, UsageErrorsAreOneLine) {
    ExpectOneLineError(twtest::RunProcess(twtest::ToolPath("twreg"), {}), "usage");
    ExpectOneLineError(Run({"frobnicate"}), "unknown command");
    ExpectOneLineError(Run({"query", "HKXX\\Software"}), "invalid key name");
    ExpectOneLineError(Run({"query"}), "usage");
    ExpectOneLineError(twtest::RunProcess(twtest::ToolPath("twreg"), {"--registry"}), "--registry");
}

TEST_F(TwregCommands, RegistryOptionOverridesTheEnvironment) {
    std::string other = registry_.dir().file("other.db");
    auto r = twtest::RunProcess(twtest::ToolPath("twreg"),
                                {"--registry=" + other, "add", "HKCU\\Software\\Where", "/ve"},
                                {{"TW_REGISTRY", registry_.dbPath()}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(twtest::FileExists(other));
    EXPECT_EQ(twtest::RunProcess(twtest::ToolPath("twreg"), {"query", "HKCU\\Software\\Where"},
                                 {{"TW_REGISTRY", registry_.dbPath()}})
                  .exitCode,
              1);
    EXPECT_EQ(twtest::RunProcess(twtest::ToolPath("twreg"), {"query", "HKCU\\Software\\Where"},
                                 {{"TW_REGISTRY", other}})
                  .exitCode,
              0);
}

TEST_F(TwregCommands, AWriterBehindABusyDatabaseSaysSoInWords) {
    ASSERT_EQ(Run({"add", "HKCU\\Software\\Tw", "/ve"}).exitCode, 0);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(registry_.dbPath().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    // The writer waits out the store's busy time-out, then gives up.
    ExpectOneLineError(Run({"add", "HKCU\\Software\\Tw", "/v", "x", "/d", "1"}),
                       "HKEY_CURRENT_USER\\Software\\Tw: the registry database is busy: another "
                       "process held it for 10 s\n");
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
}

TEST_F(TwregCommands, MkpathCreatesTheHostFolderOfAWindowsPath) {
    auto r = Run({"mkpath", "C:\\Program Files\\Tw Agent\\logs"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string expected = registry_.dir().file("drives") + "/c/Program Files/Tw Agent/logs";
    EXPECT_EQ(r.out, expected + "\n");
    EXPECT_TRUE(std::filesystem::is_directory(expected));
    twtest::WriteFileText(registry_.dir().file("drives/c/file"), "x");
    ExpectOneLineError(Run({"mkpath", "C:\\file\\below"}), "");
}

} // namespace
