#include "scenario_file.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>

#include <set>

namespace twe2e {

namespace {

// One scenario's repeat may not build more than this (a typo must not exhaust memory).
const uint64_t kMaxRepeat = 16u << 20;

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// Replaces every {{c*N}} by N copies of c.
bool ExpandRepeats(const std::string& in, std::string* out) {
    out->clear();
    size_t i = 0;
    while (i < in.size()) {
        size_t open = in.find("{{", i);
        if (open == std::string::npos) {
            out->append(in, i, std::string::npos);
            break;
        }
        out->append(in, i, open - i);
        if (in.compare(open, 8, "{{port}}") == 0) {
            out->append("{{port}}");
            i = open + 8;
            continue;
        }
        size_t close = in.find("}}", open + 2);
        if (close == std::string::npos || close < open + 5 || in[open + 3] != '*')
            return false;
        char c = in[open + 2];
        uint64_t n = 0;
        for (size_t k = open + 4; k < close; ++k) {
            if (!isdigit(static_cast<unsigned char>(in[k])))
                return false;
            n = n * 10 + static_cast<uint64_t>(in[k] - '0');
            if (n > kMaxRepeat)
                return false;
        }
        out->append(static_cast<size_t>(n), c);
        i = close + 2;
    }
    return true;
}

// Reads a quoted text starting at s[*pos] == '"'; leaves *pos after the closing quote.
bool ReadQuoted(const std::string& s, size_t* pos, std::string* out) {
    size_t i = *pos + 1;
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') {
            *pos = i;
            return true;
        }
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (i >= s.size())
            return false;
        switch (s[i++]) {
        case '\\':
            *out += '\\';
            break;
        case '"':
            *out += '"';
            break;
        case 'n':
            *out += '\n';
            break;
        case 'r':
            *out += '\r';
            break;
        case 't':
            *out += '\t';
            break;
        case 'x': {
            if (i + 2 > s.size() || !isxdigit(static_cast<unsigned char>(s[i])) ||
                !isxdigit(static_cast<unsigned char>(s[i + 1])))
                return false;
            *out += static_cast<char>(std::stoi(s.substr(i, 2), nullptr, 16));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return false; // no closing quote
}

bool IsName(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    }
    return true;
}

std::string Where(int line, const std::string& why) {
    return "scenarios line " + std::to_string(line) + ": " + why;
}

} // namespace

bool ParseValue(const std::string& raw, std::string* out) {
    std::string t = Trim(raw);
    std::string text;
    if (!t.empty() && t[0] == '"') {
        size_t pos = 0;
        if (!ReadQuoted(t, &pos, &text) || pos != t.size())
            return false;
    } else {
        text = t;
    }
    return ExpandRepeats(text, out);
}

bool ParseFields(const std::string& raw, std::vector<std::string>* out) {
    out->clear();
    std::string cur;
    bool quoted = false;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (quoted && c == '\\' && i + 1 < raw.size()) {
            cur += c;
            cur += raw[++i];
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        if (c == '|' && !quoted) {
            out->emplace_back();
            if (!ParseValue(cur, &out->back()))
                return false;
            cur.clear();
            continue;
        }
        cur += c;
    }
    if (quoted)
        return false;
    out->emplace_back();
    return ParseValue(cur, &out->back());
}

bool ParseArguments(const std::string& raw, std::vector<std::string>* out) {
    out->clear();
    size_t i = 0;
    while (true) {
        while (i < raw.size() && isspace(static_cast<unsigned char>(raw[i])))
            ++i;
        if (i >= raw.size())
            return true;
        std::string arg;
        while (i < raw.size() && !isspace(static_cast<unsigned char>(raw[i]))) {
            if (raw[i] == '"') {
                if (!ReadQuoted(raw, &i, &arg))
                    return false;
            } else {
                arg += raw[i++];
            }
        }
        std::string expanded;
        if (!ExpandRepeats(arg, &expanded))
            return false;
        out->push_back(expanded);
    }
}

bool EncodeRegistryData(const std::string& type, const std::string& data, unsigned long* typeCode,
                        std::string* bytes) {
    bytes->clear();
    if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
        *typeCode = type == "REG_SZ" ? 1 : 2;
        // UTF-8 to UTF-16LE, terminator included.
        for (size_t i = 0; i < data.size();) {
            unsigned char c = static_cast<unsigned char>(data[i]);
            uint32_t cp;
            size_t len;
            if (c < 0x80) {
                cp = c;
                len = 1;
            } else if ((c & 0xE0) == 0xC0) {
                cp = c & 0x1F;
                len = 2;
            } else if ((c & 0xF0) == 0xE0) {
                cp = c & 0x0F;
                len = 3;
            } else if ((c & 0xF8) == 0xF0) {
                cp = c & 0x07;
                len = 4;
            } else {
                return false;
            }
            if (i + len > data.size())
                return false;
            for (size_t k = 1; k < len; ++k) {
                unsigned char cc = static_cast<unsigned char>(data[i + k]);
                if ((cc & 0xC0) != 0x80)
                    return false;
                cp = (cp << 6) | (cc & 0x3F);
            }
            i += len;
            auto unit = [&](uint32_t u) {
                *bytes += static_cast<char>(u & 0xFF);
                *bytes += static_cast<char>((u >> 8) & 0xFF);
            };
            if (cp >= 0x10000) {
                cp -= 0x10000;
                unit(0xD800 + (cp >> 10));
                unit(0xDC00 + (cp & 0x3FF));
            } else {
                unit(cp);
            }
        }
        bytes->append(2, '\0');
        return true;
    }
    if (type == "REG_DWORD" || type == "REG_QWORD") {
        bool qword = type == "REG_QWORD";
        *typeCode = qword ? 11 : 4;
        if (data.empty())
            return false;
        uint64_t v = 0;
        bool hex = data.size() > 2 && data[0] == '0' && (data[1] == 'x' || data[1] == 'X');
        for (size_t i = hex ? 2 : 0; i < data.size(); ++i) {
            int d;
            char c = static_cast<char>(tolower(static_cast<unsigned char>(data[i])));
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else
                return false;
            uint64_t next = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
            if (next / (hex ? 16 : 10) != v && v != 0)
                return false;
            v = next;
        }
        if (!qword && v > 0xFFFFFFFFu)
            return false;
        for (int k = 0; k < (qword ? 8 : 4); ++k)
            *bytes += static_cast<char>((v >> (8 * k)) & 0xFF);
        return true;
    }
    if (type == "REG_BINARY") {
        *typeCode = 3;
        if (data.size() % 2 != 0)
            return false;
        for (size_t i = 0; i < data.size(); i += 2) {
            if (!isxdigit(static_cast<unsigned char>(data[i])) ||
                !isxdigit(static_cast<unsigned char>(data[i + 1])))
                return false;
            *bytes += static_cast<char>(std::stoi(data.substr(i, 2), nullptr, 16));
        }
        return true;
    }
    return false;
}

bool ParseScenarios(const std::string& text, std::vector<Scenario>* out, std::string* error) {
    out->clear();
    static const std::set<std::string> kRunChecks = {
        "exit",      "stdout-has", "stdout-empty", "log-has", "log-lacks", "log-starts",
        "log-lines", "log-line",   "no-file",      "reg",     "no-reg",    "requests"};
    std::set<std::string> names;
    int lineNo = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() + 1 : nl + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        if (t[0] == '[') {
            if (t.back() != ']' || !IsName(t.substr(1, t.size() - 2))) {
                *error = Where(lineNo, "a scenario name is letters, digits and underscores");
                return false;
            }
            Scenario s;
            s.name = t.substr(1, t.size() - 2);
            s.line = lineNo;
            if (!names.insert(s.name).second) {
                *error = Where(lineNo, "scenario " + s.name + " appears twice");
                return false;
            }
            out->push_back(s);
            continue;
        }
        size_t eq = t.find('=');
        if (eq == std::string::npos) {
            *error = Where(lineNo, "expected \"key = value\"");
            return false;
        }
        if (out->empty()) {
            *error = Where(lineNo, "a line before the first [scenario]");
            return false;
        }
        Scenario& s = out->back();
        std::string key = Trim(t.substr(0, eq));
        std::string raw = t.substr(eq + 1);
        std::string platform;
        for (const char* p : {"linux ", "windows "}) {
            if (key.rfind(p, 0) == 0) {
                platform = Trim(p);
                key = Trim(key.substr(platform.size()));
            }
        }
        if (!platform.empty() && kRunChecks.count(key) == 0) {
            *error = Where(lineNo, "only a check may name a platform");
            return false;
        }
        if (key == "server") {
            bool ok = s.server.empty() && ParseFields(raw, &s.server) && s.server.size() == 3;
            if (ok) {
                char* end = nullptr;
                long status = strtol(s.server[1].c_str(), &end, 10);
                ok = !s.server[0].empty() && *end == '\0' && status >= 100 && status <= 999;
            }
            if (!ok) {
                *error = Where(lineNo, "one server = target | status | body");
                return false;
            }
        } else if (key == "xml-library") {
            std::string v;
            if (!ParseValue(raw, &v) || v != "absent") {
                *error = Where(lineNo, "xml-library can only be absent");
                return false;
            }
            s.withoutXmlLibrary = true;
        } else if (key == "machine") {
            if (!s.steps.empty() || !s.machine.empty() || !ParseValue(raw, &s.machine) ||
                s.machine.empty()) {
                *error = Where(lineNo, "one machine, before every other step");
                return false;
            }
        } else if (key == "set" || key == "delete") {
            Step step;
            step.kind = key == "set" ? Step::Kind::Set : Step::Kind::Delete;
            step.line = lineNo;
            size_t want = key == "set" ? 4 : 2;
            if (!ParseFields(raw, &step.fields) || step.fields.size() != want) {
                *error = Where(lineNo, key + " takes " + std::to_string(want) + " fields");
                return false;
            }
            if (key == "set") {
                unsigned long code;
                std::string bytes;
                if (!EncodeRegistryData(step.fields[2], step.fields[3], &code, &bytes)) {
                    *error = Where(lineNo, "data that does not fit type " + step.fields[2]);
                    return false;
                }
            }
            s.steps.push_back(step);
        } else if (key == "run") {
            Step step;
            step.kind = Step::Kind::Run;
            step.line = lineNo;
            if (!ParseArguments(raw, &step.args)) {
                *error = Where(lineNo, "malformed arguments");
                return false;
            }
            s.steps.push_back(step);
        } else if (kRunChecks.count(key) != 0) {
            if (s.steps.empty() || s.steps.back().kind != Step::Kind::Run) {
                *error = Where(lineNo, key + " must follow a run");
                return false;
            }
            Check c;
            c.what = key;
            c.platform = platform;
            c.line = lineNo;
            bool ok;
            size_t want = 1;
            if (key == "reg")
                want = 5;
            else if (key == "no-reg")
                want = 3;
            else if (key == "log-line")
                want = 2;
            if (want == 1) {
                c.fields.emplace_back();
                ok = ParseValue(raw, &c.fields[0]);
            } else {
                ok = ParseFields(raw, &c.fields) && c.fields.size() == want;
            }
            if (!ok) {
                *error = Where(lineNo, key + " takes " + std::to_string(want) + " field(s)");
                return false;
            }
            if ((key == "reg" || key == "no-reg") && c.fields[1] != "32" && c.fields[1] != "64") {
                *error = Where(lineNo, "a registry view is 32 or 64");
                return false;
            }
            if (key == "reg") {
                unsigned long code;
                std::string bytes;
                if (!EncodeRegistryData(c.fields[3], c.fields[4], &code, &bytes)) {
                    *error = Where(lineNo, "data that does not fit type " + c.fields[3]);
                    return false;
                }
            }
            s.steps.back().checks.push_back(c);
        } else {
            *error = Where(lineNo, "unknown key \"" + key + "\"");
            return false;
        }
    }
    for (const Scenario& s : *out) {
        bool runs = false;
        for (const Step& st : s.steps)
            runs = runs || st.kind == Step::Kind::Run;
        if (!runs) {
            *error = Where(s.line, "scenario " + s.name + " never runs the program");
            return false;
        }
    }
    return true;
}

} // namespace twe2e
