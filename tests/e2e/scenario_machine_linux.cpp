// Scenarios on Linux: every scenario gets its own registry database, drive
// root and service folder; the example machine is imported with twreg.
#include "scenario_machine.h"

#include <ctype.h>

#include <filesystem>

namespace twe2e {

struct ScenarioMachine::Impl {
    twtest::ScopedRegistry reg;
};

ScenarioMachine::ScenarioMachine(const std::vector<Scenario>&) : impl_(new Impl) {}
ScenarioMachine::~ScenarioMachine() = default;

std::string ScenarioMachine::Load(const std::string& regFile) {
    int rc = impl_->reg.importReg(twtest::SourceDir() + "/examples/" + regFile);
    return rc == 0 ? "" : "twreg import of " + regFile + " ended with " + std::to_string(rc);
}

std::string ScenarioMachine::HostPath(const std::string& windowsPath) const {
    // The Linux layer keeps drive X: under $TW_DRIVE_ROOT/x.
    std::string out = impl_->reg.dir().file("drives");
    if (windowsPath.size() >= 2 && windowsPath[1] == ':') {
        out += '/';
        out += static_cast<char>(tolower(static_cast<unsigned char>(windowsPath[0])));
    }
    std::string rest =
        windowsPath.size() >= 2 && windowsPath[1] == ':' ? windowsPath.substr(2) : windowsPath;
    for (char c : rest)
        out += c == '\\' ? '/' : c;
    return out;
}

twtest::ProcessResult ScenarioMachine::Run(const std::vector<std::string>& args, bool) {
    const std::string& dir = impl_->reg.dir().path();
    return twtest::RunProcess(twtest::ToolPath("twprereqhandler"), args, {{"TEMP", dir}}, dir);
}

std::string ScenarioMachine::ReadText(const std::string& hostPath) {
    return twtest::ReadFileText(hostPath);
}

bool ScenarioMachine::ExitMatches(long long expected, int actual) {
    return (expected & 0xFF) == actual;
}

} // namespace twe2e
