// Where a scenario runs: the platform part of the end-to-end runner. On Linux
// a private registry database, drive root and service folder; on Windows
// (under Wine) the machine's real registry and drive C:, cleared before each
// scenario of everything the scenarios and example machines write.
#pragma once

#include "scenario_file.h"
#include "support/test_support.h"

#include <memory>
#include <string>
#include <vector>

namespace twe2e {

class ScenarioMachine {
  public:
    // `all` is every scenario of the file (the Windows side clears what any of them touches).
    explicit ScenarioMachine(const std::vector<Scenario>& all);
    ~ScenarioMachine();
    ScenarioMachine(const ScenarioMachine&) = delete;
    ScenarioMachine& operator=(const ScenarioMachine&) = delete;

    // Imports examples/<regFile>; returns "" or what went wrong.
    std::string Load(const std::string& regFile);
    // Where a Windows path ("C:\\...") of the program is on this host.
    std::string HostPath(const std::string& windowsPath) const;
    // Runs the program with the arguments, in a private working folder; on
    // Windows, optionally a copy of it alone in that folder, without twlibxml2.dll.
    twtest::ProcessResult Run(const std::vector<std::string>& args, bool withoutXmlLibrary);
    // A text file the program wrote, its line ends as on Linux (the Windows
    // runtime's text mode writes "\r\n").
    static std::string ReadText(const std::string& hostPath);
    // Exit codes are 8 bits wide on Linux, 32 on Windows.
    static bool ExitMatches(long long expected, int actual);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace twe2e
