// Machine reports: the pipe encoding and the table, JSON-lines and CSV forms.
#include "report.h"

#include <stdio.h>

namespace twreplay {

namespace {

const char* const kCheckNames[] = {"vm", "pae", "ecp", "sse2"};

const char* statusName(MachineReport::Status s) {
    switch (s) {
    case MachineReport::kReplayed:
        return "replayed";
    case MachineReport::kMalformed:
        return "malformed";
    default:
        return "failed";
    }
}

// ---- the pipe encoding: one record per line, fields separated by tabs ----

std::string escapeField(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::vector<std::string> splitRecord(const std::string& line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            char n = line[++i];
            fields.back() += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

void record(std::string& out, std::initializer_list<std::string> fields) {
    bool first = true;
    for (const auto& f : fields) {
        if (!first)
            out += '\t';
        out += escapeField(f);
        first = false;
    }
    out += '\n';
}

bool parseUnsigned(const std::string& s, unsigned long long limit, unsigned long long& out) {
    if (s.empty() || s.size() > 20)
        return false;
    unsigned long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9' || v > (limit - static_cast<unsigned>(c - '0')) / 10)
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    out = v;
    return true;
}

// ---- text forms ----

const CheckVerdict* findCheck(const MachineReport& r, const std::string& name) {
    for (const auto& c : r.checks)
        if (c.name == name)
            return &c;
    return nullptr;
}

std::string verdictWord(const MachineReport& r, const std::string& name) {
    const CheckVerdict* c = findCheck(r, name);
    return c == nullptr ? "-" : c->passed ? "pass" : "FAIL";
}

std::string exitText(const MachineReport& r) {
    return r.exitKnown ? std::to_string(r.exitCode) : "-";
}

// "FILE:LINE: reason" as compilers and twreg say it; no line when the file
// could not be read at all.
std::string errorText(const MachineReport& r) {
    if (r.status != MachineReport::kMalformed)
        return r.reason;
    std::string where = r.errorFile;
    if (r.errorLine != 0) {
        where += ':';
        where += std::to_string(r.errorLine);
    }
    return where + ": " + r.reason;
}

std::string assumedText(const AssumedValue& a) {
    return a.key + "\\" + a.value + ": " + a.answer + " (" + a.source + ")";
}

std::string exportText(const MachineReport& r) {
    if (r.files.size() <= 1)
        return r.path;
    return r.path + " (" + std::to_string(r.files.size()) + " files)";
}

std::string padded(const std::string& s, size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// Bytes that are not UTF-8 (file names may hold any) become U+FFFD, so that
// every JSON line is valid text.
std::string validUtf8(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80             ? 1
                     : (c & 0xE0) == 0xC0 ? 2
                     : (c & 0xF0) == 0xE0 ? 3
                     : (c & 0xF8) == 0xF0 ? 4
                                          : 0;
        bool ok = len != 0 && i + len <= s.size() && !(len == 2 && c < 0xC2);
        for (size_t k = 1; ok && k < len; ++k)
            ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (ok) {
            out.append(s, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char ch : validUtf8(s)) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string renderTable(const MachineReport& r) {
    std::string out = padded(r.computer, 15) + "  ";
    if (r.status != MachineReport::kReplayed) {
        out += (r.status == MachineReport::kMalformed ? "malformed: " : "not replayed: ") +
               errorText(r) + "\n";
    } else {
        char exitCol[16];
        snprintf(exitCol, sizeof exitCol, "%10s", exitText(r).c_str());
        out += padded(r.os.empty() ? "-" : r.os, 46) + "  ";
        for (const char* name : kCheckNames)
            out += padded(verdictWord(r, name), 4) + "  ";
        out += std::string(exitCol) + "  " +
               (r.writes.empty() ? "-" : std::to_string(r.writes.size()) + " values") + "\n";
    }
    auto detail = [&](const char* label, const std::string& text) {
        out += "  " + padded(label, 8) + " " + text + "\n";
    };
    detail("export", exportText(r));
    std::string lastKey;
    for (const auto& w : r.writes) {
        if (w.key != lastKey)
            detail(lastKey.empty() ? "writes" : "", w.key);
        out += std::string(13, ' ') + w.line + "\n";
        lastKey = w.key;
    }
    for (size_t i = 0; i < r.assumed.size(); ++i)
        detail(i == 0 ? "assumed" : "", assumedText(r.assumed[i]));
    if (!r.log.empty())
        detail("log", r.log);
    else if (!r.keptDir.empty())
        detail("kept", r.keptDir);
    return out;
}

std::string renderJson(const MachineReport& r) {
    std::string out = "{\"export\":" + jsonString(r.path) + ",\"files\":[";
    for (size_t i = 0; i < r.files.size(); ++i) {
        if (i > 0)
            out += ',';
        out += jsonString(r.files[i]);
    }
    out += "],\"computer\":" + jsonString(r.computer) +
           ",\"computer_from\":" + (r.computerFromExport ? "\"export\"" : "\"file name\"") +
           ",\"status\":\"" + statusName(r.status) + "\"";
    out += ",\"os\":" + (r.os.empty() ? std::string("null") : jsonString(r.os));
    out += ",\"checks\":{";
    for (size_t i = 0; i < r.checks.size(); ++i)
        out += std::string(i ? "," : "") + "\"" + r.checks[i].name + "\":\"" +
               (r.checks[i].passed ? "pass" : "fail") + "\"";
    out += "},\"exit_code\":" + (r.exitKnown ? std::to_string(r.exitCode) : "null");
    out += ",\"writes\":[";
    for (size_t i = 0; i < r.writes.size(); ++i)
        out += std::string(i ? "," : "") + "{\"key\":" + jsonString(r.writes[i].key) +
               ",\"value\":" + jsonString(r.writes[i].line) + "}";
    out += "],\"assumed\":[";
    for (size_t i = 0; i < r.assumed.size(); ++i) {
        const AssumedValue& a = r.assumed[i];
        out += std::string(i ? "," : "") + "{\"key\":" + jsonString(a.key) +
               ",\"value\":" + jsonString(a.value) + ",\"answer\":" + jsonString(a.answer) +
               ",\"source\":" + jsonString(a.source) + "}";
    }
    out += "],\"log\":" + (r.log.empty() ? std::string("null") : jsonString(r.log));
    out += ",\"error\":";
    if (r.status == MachineReport::kMalformed)
        out += "{\"file\":" + jsonString(r.errorFile) +
               ",\"line\":" + (r.errorLine != 0 ? std::to_string(r.errorLine) : "null") +
               ",\"reason\":" + jsonString(r.reason) + "}";
    else if (r.status == MachineReport::kFailed)
        out += "{\"reason\":" + jsonString(r.reason) + "}";
    else
        out += "null";
    return out + "}\n";
}

std::string renderCsv(const MachineReport& r) {
    auto joined = [](const std::vector<std::string>& items) {
        std::string s;
        for (size_t i = 0; i < items.size(); ++i) {
            if (i > 0)
                s += "; ";
            s += items[i];
        }
        return s;
    };
    std::vector<std::string> writes, assumed;
    for (const auto& w : r.writes)
        writes.push_back(w.key + " " + w.line);
    for (const auto& a : r.assumed)
        assumed.push_back(assumedText(a));
    std::vector<std::string> cells = {r.path,
                                      joined(r.files),
                                      r.computer,
                                      r.computerFromExport ? "export" : "file name",
                                      statusName(r.status),
                                      r.os};
    for (const char* name : kCheckNames) {
        const CheckVerdict* c = findCheck(r, name);
        cells.push_back(c == nullptr ? "" : c->passed ? "pass" : "fail");
    }
    cells.push_back(r.exitKnown ? std::to_string(r.exitCode) : "");
    cells.push_back(joined(writes));
    cells.push_back(joined(assumed));
    cells.push_back(r.log);
    cells.push_back(r.status == MachineReport::kReplayed ? "" : errorText(r));
    std::string out;
    for (size_t i = 0; i < cells.size(); ++i) {
        if (i > 0)
            out += ',';
        out += csvField(validUtf8(cells[i]));
    }
    return out + "\r\n";
}

} // namespace

std::string Encode(const MachineReport& r) {
    std::string out;
    record(out, {"path", r.path});
    for (const auto& f : r.files)
        record(out, {"file", f});
    record(out, {"computer", r.computer, r.computerFromExport ? "1" : "0"});
    record(out, {"status", statusName(r.status)});
    record(out, {"os", r.os});
    for (const auto& c : r.checks)
        record(out, {"check", c.name, c.passed ? "1" : "0"});
    if (r.exitKnown)
        record(out, {"exit", std::to_string(r.exitCode)});
    for (const auto& w : r.writes)
        record(out, {"write", w.key, w.line});
    for (const auto& a : r.assumed)
        record(out, {"assumed", a.key, a.value, a.answer, a.source});
    record(out, {"kept", r.keptDir});
    record(out, {"log", r.log});
    record(out, {"error", r.errorFile, std::to_string(r.errorLine), r.reason});
    return out;
}

bool Decode(const std::string& text, MachineReport& r) {
    r = MachineReport();
    bool sawStatus = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false; // cut short: the replay process ended mid-write
        std::vector<std::string> f = splitRecord(text.substr(start, end - start));
        start = end + 1;
        const std::string& tag = f[0];
        unsigned long long n = 0;
        if (tag == "path" && f.size() == 2) {
            r.path = f[1];
        } else if (tag == "file" && f.size() == 2) {
            r.files.push_back(f[1]);
        } else if (tag == "computer" && f.size() == 3) {
            r.computer = f[1];
            r.computerFromExport = f[2] == "1";
        } else if (tag == "status" && f.size() == 2) {
            sawStatus = true;
            r.status = f[1] == "replayed"    ? MachineReport::kReplayed
                       : f[1] == "malformed" ? MachineReport::kMalformed
                                             : MachineReport::kFailed;
        } else if (tag == "os" && f.size() == 2) {
            r.os = f[1];
        } else if (tag == "check" && f.size() == 3) {
            r.checks.push_back({f[1], f[2] == "1"});
        } else if (tag == "exit" && f.size() == 2 && parseUnsigned(f[1], 0xFFFFFFFFull, n)) {
            r.exitKnown = true;
            r.exitCode = static_cast<uint32_t>(n);
        } else if (tag == "write" && f.size() == 3) {
            r.writes.push_back({f[1], f[2]});
        } else if (tag == "assumed" && f.size() == 5) {
            r.assumed.push_back({f[1], f[2], f[3], f[4]});
        } else if (tag == "kept" && f.size() == 2) {
            r.keptDir = f[1];
        } else if (tag == "log" && f.size() == 2) {
            r.log = f[1];
        } else if (tag == "error" && f.size() == 4 && parseUnsigned(f[2], ~0ull, n)) {
            r.errorFile = f[1];
            r.errorLine = static_cast<size_t>(n);
            r.reason = f[3];
        } else {
            return false;
        }
    }
    return sawStatus;
}

std::string Header(Format format) {
    switch (format) {
    case Format::kTable: {
        std::string out = padded("COMPUTER", 15) + "  " + padded("OS", 46) + "  ";
        for (const char* name : kCheckNames) {
            std::string upper = name;
            for (char& c : upper)
                c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
            out += padded(upper, 4) + "  ";
        }
        return out + "      EXIT  WRITES\n";
    }
    case Format::kCsv:
        return "export,files,computer,computer_from,status,os,vm,pae,ecp,sse2,exit_code,writes,"
               "assumed,log,error\r\n";
    default:
        return "";
    }
}

std::string Render(const MachineReport& r, Format format) {
    switch (format) {
    case Format::kJson:
        return renderJson(r);
    case Format::kCsv:
        return renderCsv(r);
    default:
        return renderTable(r);
    }
}

} // namespace twreplay
