// What a process of the Linux build can report about its run: the machine
// profile values it had to assume because the registry store lacks them,
// and, with TW_RUN_REPORT naming a file, its full exit code (not part of the
// Win32 surface; the public controls are in tw_linux.h).
#pragma once

#include <string>

namespace tw {

enum class AssumedFrom { DefaultProfile, Host };

// Whether this process writes a run report (TW_RUN_REPORT names a file): the
// registry notes what it changes only then.
bool RunReportWanted();

// A registry value as it stands: present or not, its type and data.
struct ValueState {
    bool present = false;
    unsigned long type = 0;
    std::string data;
};

// Notes a value of the key `keyPath` ("HKLM\\SOFTWARE\\...") that this
// process changes from `before` to `after`; the run report lists the values
// whose last state differs from the one before their first change.
void NoteRegistryChange(const std::u16string& keyPath, const std::u16string& name,
                        const ValueState& before, const ValueState& after);
// Notes a key this process deleted.
void NoteKeyDeleted(const std::u16string& keyPath);

// Notes, once per process, that the value `value` of HKLM\`key` is missing
// and `answer` was given in its place.
void NoteAssumption(const char16_t* key, const char16_t* value, const std::u16string& answer,
                    AssumedFrom from);

} // namespace tw
