// The run report. Windows keeps a process's exit code in 32 bits, a Linux
// exit status only its low 8: with TW_RUN_REPORT naming a file, the process
// writes there, as it exits, the whole code it exited with and the machine
// profile values it had to assume, so that a tool running the program (such
// as twreplay) reads what a Windows caller would see.
//
//   exit-code<TAB>1035
//   assumed<TAB>KEY<TAB>VALUE<TAB>ANSWER<TAB>SOURCE
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
    fclose(f);
}

// on_exit hands the handler the status exit() was called with, all 32 bits.
const bool g_reportAtExit = [] {
    const char* path = getenv("TW_RUN_REPORT");
    return path != nullptr && *path != '\0' && on_exit(writeRunReport, strdup(path)) == 0;
}();

} // namespace

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
