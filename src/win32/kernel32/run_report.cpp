// The run report. Windows keeps a process's exit code in 32 bits, a Linux
// exit status only its low 8: with TW_RUN_REPORT naming a file, the process
// writes there, as it exits, the whole code it exited with and the machine
// profile values it had to assume, so that a tool running the program (such
// as twreplay) reads what a Windows caller would see.
//
//   exit-code<TAB>1035
//   assumed<TAB>KEY<TAB>VALUE<TAB>ANSWER<TAB>SOURCE
//   written<TAB>KEY<TAB>NAME<TAB>TYPE<TAB>DATA    (DATA in hexadecimal)
//   deleted<TAB>KEY<TAB>NAME                      (NAME empty: the key itself)
// In the lines of changes, '%' and control characters of KEY and NAME are
// written as %XX, so that any name reads back whole.
#include "kernel32/run_report.h"

#include "kernel32/text.h"

#include <tw_linux.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <vector>

namespace tw {

namespace {

struct Assumption {
    std::string key;
    std::string value;
    std::string answer;
    AssumedFrom from;
};

// Never destroyed: the exit handler runs after static objects may be gone.
std::mutex& assumptionLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::vector<Assumption>& assumptions() {
    static std::vector<Assumption>* v = new std::vector<Assumption>;
    return *v;
}

struct Change {
    std::string key;
    std::string name; // empty with `keyDeleted`
    bool keyDeleted = false;
    ValueState first; // before the first change
    ValueState last;  // after the last one
};

std::vector<Change>& changes() {
    static std::vector<Change>* v = new std::vector<Change>;
    return *v;
}

const char* reportPath() {
    static const char* path = [] {
        const char* p = getenv("TW_RUN_REPORT");
        return p != nullptr && *p != '\0' ? strdup(p) : nullptr;
    }();
    return path;
}

std::string escaped(const std::string& s) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c == '%' || c < 0x20 || c == 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string hex(const std::string& bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

const char* sourceName(AssumedFrom from) {
    return from == AssumedFrom::Host ? "this host" : "default profile";
}

// One field of one line, whatever the text holds.
std::string field(std::string s) {
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return s;
}

void writeRunReport(int status, void* path) {
    FILE* f = fopen(static_cast<const char*>(path), "w");
    if (f == nullptr)
        return;
    fprintf(f, "exit-code\t%u\n", static_cast<unsigned>(status));
    std::lock_guard<std::mutex> g(assumptionLock());
    for (const auto& a : assumptions())
        fprintf(f, "assumed\t%s\t%s\t%s\t%s\n", field(a.key).c_str(), field(a.value).c_str(),
                field(a.answer).c_str(), sourceName(a.from));
    for (const auto& c : changes()) {
        if (c.keyDeleted) {
            fprintf(f, "deleted\t%s\t\n", escaped(c.key).c_str());
        } else if (c.first.present != c.last.present || c.first.type != c.last.type ||
                   c.first.data != c.last.data) {
            if (c.last.present)
                fprintf(f, "written\t%s\t%s\t%lu\t%s\n", escaped(c.key).c_str(),
                        escaped(c.name).c_str(), c.last.type, hex(c.last.data).c_str());
            else
                fprintf(f, "deleted\t%s\t%s\n", escaped(c.key).c_str(), escaped(c.name).c_str());
        }
    }
    fclose(f);
}

// on_exit hands the handler the status exit() was called with, all 32 bits.
const bool g_reportAtExit = [] {
    const char* path = reportPath();
    return path != nullptr && on_exit(writeRunReport, const_cast<char*>(path)) == 0;
}();

} // namespace

bool RunReportWanted() {
    return reportPath() != nullptr;
}

void NoteRegistryChange(const std::u16string& keyPath, const std::u16string& name,
                        const ValueState& before, const ValueState& after) {
    if (!RunReportWanted())
        return;
    std::string key = Utf16ToUtf8(keyPath), value = Utf16ToUtf8(name);
    std::lock_guard<std::mutex> g(assumptionLock());
    for (auto& c : changes()) {
        // Names compare as the caller gave them; the registry's own folding
        // is the store's business, and a run rarely spells one value twice.
        if (!c.keyDeleted && c.key == key && c.name == value) {
            c.last = after;
            return;
        }
    }
    Change c;
    c.key = std::move(key);
    c.name = std::move(value);
    c.first = before;
    c.last = after;
    changes().push_back(std::move(c));
}

void NoteKeyDeleted(const std::u16string& keyPath) {
    if (!RunReportWanted())
        return;
    Change c;
    c.key = Utf16ToUtf8(keyPath);
    c.keyDeleted = true;
    std::lock_guard<std::mutex> g(assumptionLock());
    changes().push_back(std::move(c));
}

void NoteAssumption(const char16_t* key, const char16_t* value, const std::u16string& answer,
                    AssumedFrom from) {
    Assumption a{Utf16ToUtf8(key), Utf16ToUtf8(value), Utf16ToUtf8(answer), from};
    std::lock_guard<std::mutex> g(assumptionLock());
    for (const auto& seen : assumptions())
        if (seen.key == a.key && seen.value == a.value)
            return;
    assumptions().push_back(std::move(a));
}

} // namespace tw

extern "C" {

void TwLinuxListProfileAssumptions(TwLinuxAssumptionFn fn, void* context) {
    std::vector<tw::Assumption> copy;
    {
        std::lock_guard<std::mutex> g(tw::assumptionLock());
        copy = tw::assumptions();
    }
    for (const auto& a : copy)
        fn(context, a.key.c_str(), a.value.c_str(), a.answer.c_str(), tw::sourceName(a.from));
}

void TwLinuxForgetProfileAssumptions(void) {
    std::lock_guard<std::mutex> g(tw::assumptionLock());
    tw::assumptions().clear();
}

} // extern "C"
