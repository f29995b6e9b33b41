#include "support/remote_codec.h"

namespace twtest::remote {

Writer& Writer::num(uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out_ += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
}

Writer& Writer::text(const std::string& s) {
    num(s.size());
    out_ += s;
    return *this;
}

Writer& Writer::behavior(const HttpBehavior& b) {
    num(static_cast<uint64_t>(static_cast<int64_t>(b.status))).text(b.reason);
    num(b.headers.size());
    for (const auto& [n, v] : b.headers)
        text(n).text(v);
    text(b.body).num(b.pattern).num(b.patternBytes).text(b.bodyFile);
    num(static_cast<uint64_t>(b.length)).num(b.customLength).num(b.honourRange);
    num(static_cast<uint64_t>(b.cutAfter)).num(static_cast<uint64_t>(b.resetAfter));
    num(b.stallBeforeHeaders).num(static_cast<uint64_t>(b.stallAfter));
    num(static_cast<uint64_t>(static_cast<int64_t>(b.stallMs))).num(b.pieceBytes);
    num(static_cast<uint64_t>(static_cast<int64_t>(b.pieceDelayMs))).text(b.rawResponse);
    return num(b.noResponse).num(b.closeAfter).num(b.readBody);
}

Writer& Writer::request(const RecordedRequest& r) {
    text(r.requestLine).text(r.method).text(r.target).text(r.version);
    num(r.headers.size());
    for (const auto& [n, v] : r.headers)
        text(n).text(v);
    text(r.body).num(r.bodyBytes).num(static_cast<uint64_t>(static_cast<int64_t>(r.connection)));
    return num(r.tls);
}

Writer& Writer::identity(const TlsIdentity& t) {
    return text(t.certPem).text(t.keyPem).text(t.chainPem);
}

uint64_t Reader::num() {
    if (!ok_ || in_.size() - pos_ < 8) {
        ok_ = false;
        return 0;
    }
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= static_cast<uint64_t>(static_cast<unsigned char>(in_[pos_ + i])) << (8 * i);
    pos_ += 8;
    return v;
}

std::string Reader::text() {
    uint64_t n = num();
    if (!ok_ || n > in_.size() - pos_) {
        ok_ = false;
        return std::string();
    }
    std::string s = in_.substr(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return s;
}

HttpBehavior Reader::behavior() {
    HttpBehavior b;
    b.status = static_cast<int>(static_cast<int64_t>(num()));
    b.reason = text();
    uint64_t headers = num();
    for (uint64_t i = 0; ok_ && i < headers; ++i) {
        std::string n = text();
        b.headers.emplace_back(n, text());
    }
    b.body = text();
    b.pattern = num() != 0;
    b.patternBytes = num();
    b.bodyFile = text();
    uint64_t length = num();
    if (length > static_cast<uint64_t>(HttpBehavior::Length::Custom))
        ok_ = false;
    b.length = static_cast<HttpBehavior::Length>(length);
    b.customLength = num();
    b.honourRange = num() != 0;
    b.cutAfter = static_cast<int64_t>(num());
    b.resetAfter = static_cast<int64_t>(num());
    b.stallBeforeHeaders = num() != 0;
    b.stallAfter = static_cast<int64_t>(num());
    b.stallMs = static_cast<int>(static_cast<int64_t>(num()));
    b.pieceBytes = static_cast<size_t>(num());
    b.pieceDelayMs = static_cast<int>(static_cast<int64_t>(num()));
    b.rawResponse = text();
    b.noResponse = num() != 0;
    b.closeAfter = num() != 0;
    b.readBody = num() != 0;
    return b;
}

RecordedRequest Reader::request() {
    RecordedRequest r;
    r.requestLine = text();
    r.method = text();
    r.target = text();
    r.version = text();
    uint64_t headers = num();
    for (uint64_t i = 0; ok_ && i < headers; ++i) {
        std::string n = text();
        r.headers.emplace_back(n, text());
    }
    r.body = text();
    r.bodyBytes = num();
    r.connection = static_cast<int>(static_cast<int64_t>(num()));
    r.tls = num() != 0;
    return r;
}

TlsIdentity Reader::identity() {
    TlsIdentity t;
    t.certPem = text();
    t.keyPem = text();
    t.chainPem = text();
    return t;
}

std::string Frame(const std::string& payload) {
    std::string out;
    uint32_t n = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((n >> (8 * i)) & 0xFF);
    return out + payload;
}

bool FrameLength(const unsigned char header[4], uint32_t* length) {
    *length =
        header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
    return *length <= kMaxMessage;
}

} // namespace twtest::remote
