#include "checker/options.h"
#include "base/log.h"

#include <stdlib.h>
#include <string.h>

#include <initializer_list>

CheckerOptions gv_options;

namespace {

// A separate heap copy of the argument (length + 1 bytes, zero-filled); a
// repeated option replaces the earlier copy.
void storeCopy(char*& slot, const char* value) {
    size_t n = strlen(value);
    auto* copy = static_cast<char*>(calloc(n + 1, 1));
    if (copy == nullptr)
        return;
    memcpy(copy, value, n);
    free(slot);
    slot = copy;
}

bool takesText(char letter) {
    return strchr("cdjlpvx", letter) != nullptr;
}

} // namespace

int32_t ParseClearJavaDetection(const char* text) {
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p++ == '-';
        if (*p == '\0')
            return -1; // a sign alone is not a number
    }
    long long value = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        value = value * 10 + (*p - '0');
        // A number beyond 32 bits is not a valid value either.
        if (value > 2147483648LL)
            return -1;
    }
    if (negative)
        value = -value;
    if (value > 2147483647LL)
        return -1;
    return static_cast<int32_t>(value);
}

bool ParseArguments(int argc, char** argv) {
    CheckerOptions& o = gv_options;
    int i = 1;
    while (i < argc) {
        const char* arg = argv[i];
        char letter = (arg != nullptr && arg[0] == '-') ? arg[1] : '\0';
        if (letter == '\0' || strchr("cdejlmpqrsvx", letter) == nullptr) {
            ++i;
            continue;
        }
        if (i + 1 >= argc) {
            // The last argument has no value behind it: a check still runs
            // (its value is ignored anyway); a text option has nothing to store.
            if (takesText(letter)) {
                LogInfo("ParseArguments : option -%c has no value and is ignored\n", letter);
                break;
            }
        }
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        switch (letter) {
        case 'c':
            o.clearJavaDetection = ParseClearJavaDetection(value);
            LogInfo("Java detection need to be cleared\n");
            break;
        case 'd':
            storeCopy(o.dependencyFileName, value);
            LogInfo("dependencyFileName : %s\n", o.dependencyFileName);
            break;
        case 'e':
            o.checkECP = 1;
            LogInfo("checkECP : %d\n", 1);
            break;
        case 'j':
            storeCopy(o.javaLatestInstalledVersion, value);
            LogInfo("javaLatestInstalledVersion : %s\n", o.javaLatestInstalledVersion);
            break;
        case 'l':
            storeCopy(o.productName, value);
            LogInfo("productName : %s\n", o.productName);
            break;
        case 'm':
            o.checkVM = 1;
            LogInfo("checkVM : %d\n", 1);
            break;
        case 'p':
            storeCopy(o.patchName, value);
            LogInfo("patchName :%s\n", o.patchName);
            break;
        case 'q':
            o.checkSSE2 = 1;
            LogInfo("checkSSE2 : %d\n", 1);
            break;
        case 'r':
            o.checkPAE = 1;
            LogInfo("checkPAE : %d\n", 1);
            break;
        case 's':
            o.calledFromSoftwareDeployment = 1;
            LogInfo("called from software deployment\n");
            break;
        case 'v':
            storeCopy(o.productVersion, value);
            LogInfo("productVersion : %s\n", o.productVersion);
            break;
        case 'x':
            storeCopy(o.javaArchitecture, value);
            LogInfo("javaArchitecture : %s\n", o.javaArchitecture);
            break;
        }
        i += 2;
    }
    return true;
}

void FreeCheckerOptions() {
    CheckerOptions& o = gv_options;
    for (char** p : {&o.patchName, &o.productName, &o.productVersion, &o.dependencyFileName,
                     &o.javaArchitecture, &o.javaLatestInstalledVersion}) {
        free(*p);
        *p = nullptr;
    }
}
