// Importing .reg files into the registry as `twreg import` does, and the key
// paths and tree deletion that import and twreg's commands share.
#pragma once

#include <windows.h>

#include "regfile.h"

#include <string>
#include <vector>

namespace twreg {

// A key path as written in a .reg file or on a command line: a root in its
// short or long form ("HKLM", "HKEY_LOCAL_MACHINE") and the path below it.
struct KeyPath {
    HKEY root = nullptr;
    std::u16string rootName; // full form, as regedit and reg.exe print it
    std::u16string sub;
    std::u16string display() const { return sub.empty() ? rootName : rootName + u"\\" + sub; }
};
bool ParseKeyPath(const std::u16string& text, KeyPath& out);

// Closes the key it holds.
struct KeyCloser {
    HKEY key = nullptr;
    ~KeyCloser() {
        if (key != nullptr)
            RegCloseKey(key);
    }
};

// The text for an error code, without its line break: the system's, or for a
// registry I/O failure the store's own words (TwLinuxRegistryFailure).
std::string DescribeError(LSTATUS rc);

// Deletes a key and everything below it, in `view` (KEY_WOW64_32KEY or KEY_WOW64_64KEY).
LSTATUS DeleteKeyTree(HKEY root, const std::u16string& sub, REGSAM view);

// What kept a file from being imported: the line (0 when the fault belongs to
// no line: the file could not be read, the store refused the commit) and why.
struct ImportError {
    size_t line = 0;
    std::string what;
};

// Reads a .reg file, parses it and applies it in `view` as one batch: all of
// it takes effect or none does.
bool ImportRegFile(const std::string& file, REGSAM view, ImportError& err);

} // namespace twreg
