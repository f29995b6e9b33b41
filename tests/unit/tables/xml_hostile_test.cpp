// Documents built to exhaust the parser or the loader: each must fail (or
// load) cleanly, without a crash, a hang or unbounded memory.
#include "tables_test_util.h"
#include "tables/xml_binding.h"

#include <gtest/gtest.h>

#include <string>

using tabtest::Define;
using tabtest::Load;
using tabtest::RowAt;
using tabtest::RowCount;
using tabtest::ScopedLog;
using tabtest::Text;

namespace {

const char kParseError[] = "error: could not parse file file.xml\n";

std::string Attributes(int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    return out;
}

std::string BillionLaughs() {
    std::string dtd = "<!DOCTYPE r [\n<!ENTITY lol \"lol\">\n";
    std::string prev = "lol";
    for (int i = 1; i <= 9; ++i) {
        std::string refs;
        for (int k = 0; k < 10; ++k)
            refs += "&" + prev + ";";
        prev = "lol" + std::to_string(i);
        dtd += "<!ENTITY " + prev + " \"" + refs + "\">\n";
    }
    return "<?xml version=\"1.0\"?>\n" + dtd + "]>\n<r><T A=\"&lol9;\">&lol9;</T></r>";
}

// One entity of 50 kB referenced 400 times in one attribute: 20 MB.
std::string QuadraticBlowup() {
    std::string refs;
    for (int i = 0; i < 400; ++i)
        refs += "&e;";
    return "<!DOCTYPE r [<!ENTITY e \"" + std::string(50000, 'x') + "\">]><r><T A=\"" + refs +
           "\"/></r>";
}

} // namespace

TEST(TablesXmlHostile, ADeeplyNestedDocumentFails) {
    ScopedLog log;
    ASSERT_EQ(Define("a", {{"N", "INTEGER"}}), 1);
    std::string xml = "<r>";
    for (int i = 0; i < 100000; ++i)
        xml += "<a>";
    for (int i = 0; i < 100000; ++i)
        xml += "</a>";
    xml += "</r>";
    EXPECT_EQ(Load(xml), 0);
    EXPECT_TRUE(log.has("ERROR", kParseError));
}

TEST(TablesXmlHostile, AMillionAttributesOnOneElementAreRefused) {
    ScopedLog log;
    EXPECT_EQ(Load("<r><T" + Attributes(1000000) + "/></r>"), 0);
    EXPECT_TRUE(
        log.has("ERROR", "XML document refused: an element has more than 1024 attributes\n"));
    EXPECT_TRUE(log.has("ERROR", kParseError));
}

TEST(TablesXmlHostile, TheAttributeBoundCountsOnlyMarkup) {
    ASSERT_EQ(Define("T", {{"a0", "TEXT"}, {"a1022", "TEXT"}}), 1);
    // Quoted '=' and '>' are values, not attributes; 1024 attributes load.
    std::string quoted = " q=\"" + std::string(2000, '=') + ">\"";
    EXPECT_EQ(Load("<r><T" + Attributes(1023) + quoted + "/></r>"), 1);
    EXPECT_EQ(Text(RowAt("T", 0), 1), "1022");
    // A quote does not hide attributes that follow a '>' inside it.
    EXPECT_EQ(Load("<r><T a=\">\"" + Attributes(1025) + "/></r>"), 0);
}

TEST(TablesXmlHostile, AMillionAttributesAcrossRowsLoad) {
    std::vector<tabtest::Col> cols;
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i)
        names.push_back("a" + std::to_string(i));
    for (const auto& n : names)
        cols.push_back({n.c_str(), "INTEGER"});
    ASSERT_EQ(Define("T", cols), 1);
    std::string xml = "<r>";
    std::string row = "<T" + Attributes(10) + "/>\n";
    for (int i = 0; i < 100000; ++i)
        xml += row;
    xml += "</r>";
    ASSERT_EQ(Load(xml), 1);
    EXPECT_EQ(RowCount("T"), 100000);
    EXPECT_EQ(tabtest::Int64(RowAt("T", 99999), 9), 9);
}

TEST(TablesXmlHostile, EntityExpansionIsRefused) {
    ScopedLog log;
    ASSERT_EQ(Define("T", {{"A", "TEXT"}}), 1);
    EXPECT_EQ(Load(BillionLaughs()), 0);
    EXPECT_EQ(Load(QuadraticBlowup()), 0);
    EXPECT_EQ(log.count("ERROR", "XML document refused: it declares an internal DTD subset\n"), 2);
    EXPECT_EQ(RowCount("T"), -1);
    // Without our check libxml2's own limit stops the billion laughs.
    std::string laughs = BillionLaughs();
    EXPECT_EQ(twxml::ReadMemory(laughs.data(), static_cast<int>(laughs.size()), "x", nullptr,
                                twxml::kParseNoNet | twxml::kParseNoError),
              nullptr);
    // A document that a caller parsed with entities inside is bounded too:
    // the 20 MB attribute is not expanded.
    std::string blowup = QuadraticBlowup();
    twxml::Doc* doc = twxml::ReadMemory(blowup.data(), static_cast<int>(blowup.size()), "x",
                                        nullptr, twxml::kParseNoError);
    ASSERT_NE(doc, nullptr);
    HashTable* map = CreateTableDataFromXmlNode(doc, twxml::DocGetRootElement(doc));
    EXPECT_EQ(map, nullptr);
    EXPECT_TRUE(
        log.has("ERROR", "The attribute A expands beyond 16777216 bytes; it is not loaded.\n"));
    twxml::FreeDoc(doc);
}

TEST(TablesXmlHostile, OnlyAsciiCompatibleEncodingsAreRead) {
    ScopedLog log;
    ASSERT_EQ(Define("T", {{"A", "TEXT"}}), 1);
    EXPECT_EQ(Load("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><T A=\"caf\xE9\"/></r>"), 1);
    EXPECT_EQ(Text(RowAt("T", 0), 0), "caf\xC3\xA9") << "converted to UTF-8";
    EXPECT_EQ(Load("<?xml version='1.0' encoding='koi8-r'?><r><T A=\"\xF0\xD2\xC9\"/></r>"), 1);
    EXPECT_EQ(Text(RowAt("T", 1), 0), "\xD0\x9F\xD1\x80\xD0\xB8");
    EXPECT_EQ(Load("<?xml version='1.0' encoding='EUC-KR'?><r><T A=\"\xB0\xA1\"/></r>"), 1);
    EXPECT_EQ(Text(RowAt("T", 2), 0), "\xEA\xB0\x80");
    // Trail bytes of these fall in the ASCII range, where markup is checked.
    EXPECT_EQ(Load("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r/>"), 0);
    EXPECT_EQ(Load("<?xml version=\"1.0\" encoding=\"UTF-7\"?><r/>"), 0);
    EXPECT_EQ(log.count("ERROR", "XML document refused: its declared encoding is not read by the "
                                 "table loader\n"),
              2);
    EXPECT_EQ(Load(std::string("\xFF\xFE<\0r\0/\0>\0", 10)), 0) << "UTF-16";
    EXPECT_TRUE(
        log.has("ERROR", "XML document refused: its encoding is not read by the table loader\n"));
    EXPECT_EQ(Load("\xEF\xBB\xBF<r><T A=\"bom\"/></r>" + std::string(3, '\0')), 1)
        << "a byte-order mark and trailing zero bytes are fine";
    EXPECT_EQ(Load("<!DOCTYPE r SYSTEM \"tables[1].dtd\"><r/>"), 1) << "not loaded, harmless";
    EXPECT_EQ(Load("<r>" + std::string(64 * 1024 * 1024, ' ') + "</r>"), 0);
    EXPECT_TRUE(log.has("ERROR", "XML document refused: it is larger than 64 MB\n"));
}

TEST(TablesXmlHostile, AnOrdinaryUnparsableTextLogsOnlyTheParseError) {
    ScopedLog log;
    for (std::string text : {std::string("   "), std::string("not xml"), std::string("<r>"),
                             std::string("<r>\0</r>", 8), std::string("<r><!ENTITY x></r>"),
                             std::string("<?xml version='1.0' encoding='no-such-code'?><r/>")}) {
        EXPECT_EQ(Load(text), 0) << text;
    }
    for (const auto& e : log.entries()) {
        if (e.level == "ERROR") {
            EXPECT_EQ(e.message, kParseError);
        }
    }
    EXPECT_EQ(log.count("ERROR", kParseError), 6);
}

TEST(TablesXmlHostile, InheritingKeysCannotTurnQuadratic) {
    // Thousands of rows below 200 ancestors of 1000 attributes each, none of
    // them the key the rows look for: without a bound each row would compare
    // 200,000 attribute names.
    ScopedLog log(2);
    ASSERT_EQ(Define("Owner", {{"OID", "INTEGER"}}), 1);
    ASSERT_EQ(Define("Item", {{"OWNER", "INTEGER"}}, {}, {{"OWNER", "OID", "Owner"}}), 1);
    std::string xml = "<r>";
    std::string open = "<XList" + Attributes(1000) + ">";
    for (int i = 0; i < 200; ++i)
        xml += open;
    for (int i = 0; i < 20000; ++i)
        xml += "<Item/>";
    for (int i = 0; i < 200; ++i)
        xml += "</XList>";
    xml += "</r>";
    EXPECT_EQ(Load(xml), 0);
    EXPECT_TRUE(log.has(
        "ERROR",
        "XML document refused: inheriting key values needs more work than its size allows\n"));
    EXPECT_LT(RowCount("Item"), 20000);
}

TEST(TablesXmlHostile, ACriteriaOfManyParenthesesFails) {
    const char* error = nullptr;
    std::string text(100000, '(');
    text += "x=1" + std::string(100000, ')');
    EXPECT_EQ(ParseCriteriaWithError(text.c_str(), &error), nullptr);
    EXPECT_STREQ(error, "yacc stack overflow");
}
