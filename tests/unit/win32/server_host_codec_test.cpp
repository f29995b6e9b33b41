// The wire format between the Windows test programs and the server host: every
// field of a behaviour and of a recorded request survives the trip, and a
// damaged message is refused rather than half read.
#include "support/remote_codec.h"

#include <gtest/gtest.h>

namespace {

using twtest::HttpBehavior;
using twtest::RecordedRequest;
using twtest::remote::Reader;
using twtest::remote::Writer;

HttpBehavior EveryFieldSet() {
    HttpBehavior b;
    b.status = 207;
    b.reason = "Multi";
    b.headers = {{"X-A", "1"}, {"X-B", ""}};
    b.body = std::string("bo\0dy", 5);
    b.pattern = true;
    b.patternBytes = 1ull << 40;
    b.bodyFile = "Z:\\tmp\\f.bin";
    b.length = HttpBehavior::Length::Custom;
    b.customLength = 99;
    b.honourRange = false;
    b.cutAfter = 5;
    b.resetAfter = 6;
    b.stallBeforeHeaders = true;
    b.stallAfter = 7;
    b.stallMs = -1;
    b.pieceBytes = 3;
    b.pieceDelayMs = 2;
    b.rawResponse = "HTTP/1.1 200\r\n";
    b.noResponse = true;
    b.closeAfter = true;
    b.readBody = false;
    return b;
}

TEST(ServerHostCodec, BehaviourAndRequestRoundTrip) {
    HttpBehavior b = EveryFieldSet();
    RecordedRequest r;
    r.requestLine = "POST /x HTTP/1.1";
    r.method = "POST";
    r.target = "/x";
    r.version = "HTTP/1.1";
    r.headers = {{"Host", "127.0.0.1"}, {"host", "again"}};
    r.body = "abc";
    r.bodyBytes = 1ull << 33;
    r.connection = 3;
    r.tls = true;
    Reader in(Writer().behavior(b).request(r).num(~0ull).text("").bytes());
    HttpBehavior b2 = in.behavior();
    RecordedRequest r2 = in.request();
    EXPECT_EQ(in.num(), ~0ull);
    EXPECT_EQ(in.text(), "");
    ASSERT_TRUE(in.ok());
    EXPECT_TRUE(in.atEnd());

    EXPECT_EQ(b2.status, b.status);
    EXPECT_EQ(b2.reason, b.reason);
    EXPECT_EQ(b2.headers, b.headers);
    EXPECT_EQ(b2.body, b.body);
    EXPECT_EQ(b2.pattern, b.pattern);
    EXPECT_EQ(b2.patternBytes, b.patternBytes);
    EXPECT_EQ(b2.bodyFile, b.bodyFile);
    EXPECT_EQ(b2.length, b.length);
    EXPECT_EQ(b2.customLength, b.customLength);
    EXPECT_EQ(b2.honourRange, b.honourRange);
    EXPECT_EQ(b2.cutAfter, b.cutAfter);
    EXPECT_EQ(b2.resetAfter, b.resetAfter);
    EXPECT_EQ(b2.stallBeforeHeaders, b.stallBeforeHeaders);
    EXPECT_EQ(b2.stallAfter, b.stallAfter);
    EXPECT_EQ(b2.stallMs, b.stallMs);
    EXPECT_EQ(b2.pieceBytes, b.pieceBytes);
    EXPECT_EQ(b2.pieceDelayMs, b.pieceDelayMs);
    EXPECT_EQ(b2.rawResponse, b.rawResponse);
    EXPECT_EQ(b2.noResponse, b.noResponse);
    EXPECT_EQ(b2.closeAfter, b.closeAfter);
    EXPECT_EQ(b2.readBody, b.readBody);

    EXPECT_EQ(r2.requestLine, r.requestLine);
    EXPECT_EQ(r2.method, r.method);
    EXPECT_EQ(r2.target, r.target);
    EXPECT_EQ(r2.version, r.version);
    EXPECT_EQ(r2.headers, r.headers);
    EXPECT_EQ(r2.body, r.body);
    EXPECT_EQ(r2.bodyBytes, r.bodyBytes);
    EXPECT_EQ(r2.connection, r.connection);
    EXPECT_EQ(r2.tls, r.tls);
}

TEST(ServerHostCodec, DefaultsSurviveToo) {
    HttpBehavior d;
    Reader in(Writer().behavior(d).bytes());
    HttpBehavior d2 = in.behavior();
    ASSERT_TRUE(in.ok());
    EXPECT_EQ(d2.status, 200);
    EXPECT_EQ(d2.cutAfter, -1);
    EXPECT_EQ(d2.stallMs, -1);
    EXPECT_TRUE(d2.honourRange);
    EXPECT_TRUE(d2.readBody);
    EXPECT_EQ(d2.length, HttpBehavior::Length::Exact);
}

TEST(ServerHostCodec, DamagedMessagesAreRefused) {
    std::string whole = Writer().behavior(EveryFieldSet()).bytes();
    // Every cut short of the whole message fails and stays failed.
    for (size_t n = 0; n < whole.size(); n += 7) {
        Reader in(whole.substr(0, n));
        in.behavior();
        EXPECT_FALSE(in.ok()) << n;
        EXPECT_EQ(in.text(), "");
        EXPECT_EQ(in.num(), 0u);
    }
    // A text longer than what is left is refused, not read past the end.
    Reader big(Writer().num(1ull << 62).bytes() + "abc");
    EXPECT_EQ(big.text(), "");
    EXPECT_FALSE(big.ok());
    // An unknown length kind is refused. With default texts and no headers the
    // kind is the eighth field: byte 56 of the message.
    std::string bad = Writer().behavior(HttpBehavior()).bytes();
    ASSERT_EQ(bad[56], 0);
    Reader fine(bad);
    fine.behavior();
    EXPECT_TRUE(fine.ok());
    bad[56] = 9;
    Reader refused(bad);
    refused.behavior();
    EXPECT_FALSE(refused.ok());
}

TEST(ServerHostCodec, FrameLengthsAreBounded) {
    std::string framed = twtest::remote::Frame("xyz");
    ASSERT_EQ(framed.size(), 7u);
    uint32_t n = 0;
    EXPECT_TRUE(
        twtest::remote::FrameLength(reinterpret_cast<const unsigned char*>(framed.data()), &n));
    EXPECT_EQ(n, 3u);
    const unsigned char huge[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(twtest::remote::FrameLength(huge, &n));
    const unsigned char limit[4] = {0, 0, 0, 4}; // exactly 64 MiB
    EXPECT_TRUE(twtest::remote::FrameLength(limit, &n));
    EXPECT_EQ(n, twtest::remote::kMaxMessage);
}

} // namespace
