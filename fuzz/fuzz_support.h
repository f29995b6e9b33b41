// What several fuzz targets share: a private folder for the process, a log
// that formats every record and keeps none, and arguments cut from the input.
#pragma once

#include "base/lock_table.h"
#include "base/log.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace twfuzz {

// A folder of this process's own (on tmpfs when there is one), removed at
// exit; the registry database, drives and services of the Linux layer live
// in it, so that each fuzzing process starts from a fresh store.
inline const std::string& PrivateFolder() {
    // Never destroyed: the removal at exit still needs it.
    static const std::string& folder = *[] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        auto* path = new std::string(std::string(base) + "/twfuzz.XXXXXX");
        if (mkdtemp(path->data()) == nullptr)
            abort();
        setenv("TW_REGISTRY", (*path + "/registry.db").c_str(), 1);
        setenv("TW_DRIVE_ROOT", (*path + "/drives").c_str(), 1);
        setenv("TW_SERVICE_DIR", (*path + "/services").c_str(), 1);
        std::filesystem::create_directories(*path + "/drives/c");
        std::filesystem::create_directories(*path + "/services");
        atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(PrivateFolder(), ignored);
        });
        return path;
    }();
    return folder;
}

// Every writer formats its record at every level; the lines go to /dev/null.
inline void OpenNullLog() {
    InitMutex();
    if (!SetLogDefaults() || !SetLogConfig("null", "/dev", 4) || !OpenLogFile("a"))
        abort();
    atexit([] {
        CloseLogFile();
        FreeLogConfig();
    });
}

// The input as arguments separated by zero bytes, behind a program name.
struct Arguments {
    Arguments(const uint8_t* data, size_t size, const char* program) {
        texts.emplace_back(program);
        std::string current;
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == 0) {
                texts.push_back(current);
                current.clear();
            } else {
                current.push_back(static_cast<char>(data[i]));
            }
        }
        if (size > 0)
            texts.push_back(current);
        for (std::string& t : texts)
            pointers.push_back(t.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(texts.size()); }
    char** argv() { return pointers.data(); }

    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

} // namespace twfuzz
