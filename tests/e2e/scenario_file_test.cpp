// The scenario file's reader: values, fields, arguments, registry data and
// the faults it must refuse with the line that holds them.
#include "scenario_file.h"

#include <gtest/gtest.h>

namespace twe2e {
namespace {

TEST(ScenarioValues, RawTextIsTrimmedAndQuotedTextKeepsBlanksAndEscapes) {
    std::string v;
    ASSERT_TRUE(ParseValue("   PAE has been \t", &v));
    EXPECT_EQ(v, "PAE has been");
    ASSERT_TRUE(ParseValue(" \"[INFO] Return code : 0 \\n\" ", &v));
    EXPECT_EQ(v, "[INFO] Return code : 0 \n");
    ASSERT_TRUE(ParseValue("\"a\\\\b\\\"c\\r\\t\\x01\\x7e\"", &v));
    EXPECT_EQ(v, std::string("a\\b\"c\r\t\x01~"));
    // Backslashes outside quotes are plain text (registry paths).
    ASSERT_TRUE(ParseValue("Software\\Brightmoor\\new", &v));
    EXPECT_EQ(v, "Software\\Brightmoor\\new");
    ASSERT_TRUE(ParseValue("", &v));
    EXPECT_EQ(v, "");
}

TEST(ScenarioValues, MalformedQuotesAndEscapesAreRefused) {
    std::string v;
    EXPECT_FALSE(ParseValue("\"no end", &v));
    EXPECT_FALSE(ParseValue("\"text\" trailing", &v));
    EXPECT_FALSE(ParseValue("\"bad \\q escape\"", &v));
    EXPECT_FALSE(ParseValue("\"cut \\", &v));
    EXPECT_FALSE(ParseValue("\"\\x4\"", &v));
    EXPECT_FALSE(ParseValue("\"\\xZZ\"", &v));
}

TEST(ScenarioValues, RepeatsExpandAndAreBounded) {
    std::string v;
    ASSERT_TRUE(ParseValue("a{{p*3}}b{{q*0}}c", &v));
    EXPECT_EQ(v, "apppbc");
    ASSERT_TRUE(ParseValue("\"{{ *2}}\"", &v));
    EXPECT_EQ(v, "  ");
    ASSERT_TRUE(ParseValue("{{n*100000}}", &v));
    EXPECT_EQ(v, std::string(100000, 'n'));
    EXPECT_FALSE(ParseValue("{{p*}}", &v));
    EXPECT_FALSE(ParseValue("{{p3}}", &v));
    EXPECT_FALSE(ParseValue("{{p*3", &v));
    EXPECT_FALSE(ParseValue("{{p*-3}}", &v));
    EXPECT_FALSE(ParseValue("{{p*99999999999999999999}}", &v)) << "no overflow, no huge buffer";
}

TEST(ScenarioFields, SplitAtPipesOutsideQuotes) {
    std::vector<std::string> f;
    ASSERT_TRUE(ParseFields(" HKLM\\A b | Name | REG_SZ | \"x | y\" ", &f));
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], "HKLM\\A b");
    EXPECT_EQ(f[3], "x | y");
    ASSERT_TRUE(ParseFields("a||\"\\\"|\"", &f));
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[1], "");
    EXPECT_EQ(f[2], "\"|");
    EXPECT_FALSE(ParseFields("a | \"open", &f));
}

TEST(ScenarioArguments, BlanksSplitAndEmptyQuotesAreArguments) {
    std::vector<std::string> a;
    ASSERT_TRUE(ParseArguments("", &a));
    EXPECT_TRUE(a.empty());
    ASSERT_TRUE(ParseArguments("  -m 1   -l \"Demo Product\" ", &a));
    EXPECT_EQ(a, (std::vector<std::string>{"-m", "1", "-l", "Demo Product"}));
    ASSERT_TRUE(ParseArguments("\"\" \"\" -l \"\"", &a));
    EXPECT_EQ(a, (std::vector<std::string>{"", "", "-l", ""}));
    ASSERT_TRUE(ParseArguments("x\"y z\"w \"-\\x01\" -p{{p*2}}", &a));
    EXPECT_EQ(a, (std::vector<std::string>{"xy zw", "-\x01", "-ppp"}));
    EXPECT_FALSE(ParseArguments("-p \"open", &a));
}

TEST(ScenarioRegistryData, EachTypeAsTheRegistryStoresIt) {
    unsigned long type = 0;
    std::string b;
    ASSERT_TRUE(EncodeRegistryData("REG_SZ", "1.0", &type, &b));
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(b, std::string("1\0.\0"
                             "0\0\0\0",
                             8));
    ASSERT_TRUE(EncodeRegistryData("REG_EXPAND_SZ", "\xC3\xA9\xF0\x9F\x98\x80", &type, &b));
    EXPECT_EQ(type, 2u);
    EXPECT_EQ(b, std::string("\xE9\0\x3D\xD8\x00\xDE\0\0", 8)) << "a surrogate pair";
    ASSERT_TRUE(EncodeRegistryData("REG_DWORD", "256", &type, &b));
    EXPECT_EQ(type, 4u);
    EXPECT_EQ(b, std::string("\0\1\0\0", 4));
    ASSERT_TRUE(EncodeRegistryData("REG_DWORD", "0xFFFFFFFF", &type, &b));
    EXPECT_EQ(b, std::string("\xFF\xFF\xFF\xFF", 4));
    ASSERT_TRUE(EncodeRegistryData("REG_QWORD", "1", &type, &b));
    EXPECT_EQ(type, 11u);
    EXPECT_EQ(b, std::string("\1\0\0\0\0\0\0\0", 8));
    ASSERT_TRUE(EncodeRegistryData("REG_BINARY", "564d77617265", &type, &b));
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(b, "VMware");
    ASSERT_TRUE(EncodeRegistryData("REG_BINARY", "", &type, &b));
    EXPECT_EQ(b, "");
}

TEST(ScenarioRegistryData, DataThatDoesNotFitIsRefused) {
    unsigned long type = 0;
    std::string b;
    EXPECT_FALSE(EncodeRegistryData("REG_DWORD", "4294967296", &type, &b));
    EXPECT_FALSE(EncodeRegistryData("REG_DWORD", "", &type, &b));
    EXPECT_FALSE(EncodeRegistryData("REG_DWORD", "-1", &type, &b));
    EXPECT_FALSE(EncodeRegistryData("REG_QWORD", "18446744073709551616", &type, &b));
    EXPECT_FALSE(EncodeRegistryData("REG_BINARY", "abc", &type, &b));
    EXPECT_FALSE(EncodeRegistryData("REG_BINARY", "zz", &type, &b));
    EXPECT_FALSE(EncodeRegistryData("REG_SZ", "\xC3", &type, &b)) << "cut UTF-8";
    EXPECT_FALSE(EncodeRegistryData("REG_SZ", "\xFF", &type, &b));
    EXPECT_FALSE(EncodeRegistryData("REG_MULTI_SZ", "a", &type, &b));
}

TEST(ScenarioFileReader, StepsAndChecksInOrder) {
    const char* text = "# comment\r\n"
                       "[First_1]\r\n"
                       "machine = demo.reg\n"
                       "set = HKLM\\K | V | REG_DWORD | 1\n"
                       "run = -r 1\n"
                       "exit = 1035\n"
                       "log-line = 2 | \"Log close time: \"\n"
                       "delete = HKLM\\K | V\n"
                       "run =\n"
                       "reg = HKLM\\K | 32 | V | REG_SZ | x\n"
                       "\n"
                       "[Second]\n"
                       "xml-library = absent\n"
                       "run = -m 1\n";
    std::vector<Scenario> all;
    std::string error;
    ASSERT_TRUE(ParseScenarios(text, &all, &error)) << error;
    ASSERT_EQ(all.size(), 2u);
    const Scenario& s = all[0];
    EXPECT_EQ(s.name, "First_1");
    EXPECT_EQ(s.machine, "demo.reg");
    ASSERT_EQ(s.steps.size(), 4u);
    EXPECT_EQ(s.steps[0].kind, Step::Kind::Set);
    EXPECT_EQ(s.steps[1].kind, Step::Kind::Run);
    EXPECT_EQ(s.steps[1].args, (std::vector<std::string>{"-r", "1"}));
    ASSERT_EQ(s.steps[1].checks.size(), 2u);
    EXPECT_EQ(s.steps[1].checks[1].fields, (std::vector<std::string>{"2", "Log close time: "}));
    EXPECT_EQ(s.steps[1].checks[1].line, 7);
    EXPECT_EQ(s.steps[2].kind, Step::Kind::Delete);
    EXPECT_TRUE(s.steps[3].args.empty());
    EXPECT_EQ(all[1].machine, "");
    EXPECT_FALSE(all[0].withoutXmlLibrary);
    EXPECT_TRUE(all[1].withoutXmlLibrary);
}

TEST(ScenarioFileReader, ServerPortAndPlatformChecks) {
    const char* text = "[A]\n"
                       "server = * | 200 | \"<r/>\"\n"
                       "set = HKLM\\K | Port | REG_SZ | {{port}}\n"
                       "run =\n"
                       "requests = 1\n"
                       "windows log-has = twlibxml2.dll\n"
                       "linux  log-lacks = twlibxml2.dll\n";
    std::vector<Scenario> all;
    std::string error;
    ASSERT_TRUE(ParseScenarios(text, &all, &error)) << error;
    EXPECT_EQ(all[0].server, (std::vector<std::string>{"*", "200", "<r/>"}));
    EXPECT_FALSE(all[0].withoutXmlLibrary);
    EXPECT_EQ(all[0].steps[0].fields[3], "{{port}}");
    const std::vector<Check>& checks = all[0].steps[1].checks;
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_EQ(checks[0].platform, "");
    EXPECT_EQ(checks[1].platform, "windows");
    EXPECT_EQ(checks[1].what, "log-has");
    EXPECT_EQ(checks[2].platform, "linux");
    EXPECT_EQ(checks[2].what, "log-lacks");
}

TEST(ScenarioFileReader, FaultsNameTheirLine) {
    struct Case {
        const char* text;
        const char* where;
    };
    const Case cases[] = {
        {"exit = 0\n", "line 1:"},
        {"[A]\nrun =\n[A]\nrun =\n", "line 3:"},
        {"[A b]\nrun =\n", "line 1:"},
        {"[A]\nexit = 0\n", "line 2:"},
        {"[A]\nrun =\nmachine = x.reg\n", "line 3:"},
        {"[A]\nrun =\nbogus = 1\n", "line 3:"},
        {"[A]\nrun =\njust text\n", "line 3:"},
        {"[A]\nset = HKLM\\K | V | REG_DWORD\nrun =\n", "line 2:"},
        {"[A]\nset = HKLM\\K | V | REG_DWORD | x\nrun =\n", "line 2:"},
        {"[A]\nrun =\nreg = HKLM\\K | 48 | V | REG_SZ | x\n", "line 3:"},
        {"[A]\nrun =\nno-reg = HKLM\\K | 64\n", "line 3:"},
        {"[A]\nrun = \"open\n", "line 2:"},
        {"[A]\nmachine = x.reg\n", "line 1:"},
        {"[A]\nserver = * | 200\nrun =\n", "line 2:"},
        {"[A]\nserver = * | 2x0 | b\nrun =\n", "line 2:"},
        {"[A]\nserver = * | 200 | b\nserver = * | 200 | b\nrun =\n", "line 3:"},
        {"[A]\nwindows run =\n", "line 2:"},
        {"[A]\nrun =\nmacos log-has = x\n", "line 3:"},
        {"[A]\nxml-library = present\nrun =\n", "line 2:"},
    };
    for (const Case& c : cases) {
        std::vector<Scenario> all;
        std::string error;
        EXPECT_FALSE(ParseScenarios(c.text, &all, &error)) << c.text;
        EXPECT_NE(error.find(c.where), std::string::npos) << c.text << " -> " << error;
    }
}

} // namespace
} // namespace twe2e
