// The per-test registry database (kept apart so that tests that never touch
// the registry do not link the registry store).
#include "support/test_support.h"

#include <tw_linux.h>

#include <stdlib.h>

#include <filesystem>

namespace twtest {

ScopedRegistry::ScopedRegistry() {
    db_ = dir_.file("registry.db");
    if (const char* old = getenv("TW_REGISTRY")) {
        hadOld_ = true;
        oldRegistry_ = old;
    }
    setenv("TW_REGISTRY", db_.c_str(), 1);
    std::filesystem::create_directories(dir_.file("drives"));
    std::filesystem::create_directories(dir_.file("services"));
    setenv("TW_DRIVE_ROOT", dir_.file("drives").c_str(), 1);
    setenv("TW_SERVICE_DIR", dir_.file("services").c_str(), 1);
    // No host BIOS facts leak in: the machine is what the test's registry says.
    std::filesystem::create_directories(dir_.file("dmi"));
    setenv("TW_DMI_DIR", dir_.file("dmi").c_str(), 1);
    TwLinuxRegistryReopen();
}

ScopedRegistry::~ScopedRegistry() {
    TwLinuxRegistryReopen();
    if (hadOld_)
        setenv("TW_REGISTRY", oldRegistry_.c_str(), 1);
    else
        unsetenv("TW_REGISTRY");
}

int ScopedRegistry::importReg(const std::string& regFile) const {
    ProcessResult r = RunProcess(ToolPath("twreg"), {"--registry", db_, "import", regFile});
    return r.exitCode;
}

} // namespace twtest
