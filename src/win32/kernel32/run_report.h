// What a process of the Linux build can report about its run: the machine
// profile values it had to assume because the registry store lacks them,
// and, with TW_RUN_REPORT naming a file, its full exit code (not part of the
// Win32 surface; the public controls are in tw_linux.h).
#pragma once

#include <string>

namespace tw {

enum class AssumedFrom { DefaultProfile, Host };

// Notes, once per process, that the value `value` of HKLM\`key` is missing
// and `answer` was given in its place.
void NoteAssumption(const char16_t* key, const char16_t* value, const std::u16string& answer,
                    AssumedFrom from);

} // namespace tw
