// One machine's replay: its exports imported into a fresh registry store,
// the real checker run on it offline, and what the run shows. Runs in a
// process of its own (the registry layer serves one database per process).
#pragma once

#include "report.h"

#include <string>
#include <vector>

namespace twreplay {

struct Machine {
    std::string path;               // as given on the command line
    std::vector<std::string> files; // its .reg files, in name order
    std::string label;              // the file or folder name
    std::string problem;            // set when the machine cannot be replayed at all
};

struct ReplaySettings {
    std::string checker; // the twprereqhandler program
    std::vector<std::string> checkerArgs;
    std::string emptyStore; // a registry database with nothing in it, copied for each machine
};

// Creates the empty registry database every replay starts from.
bool CreateEmptyStore(const std::string& path, std::string& error);

// Replays `m` in `dir`, an empty folder the caller owns and removes unless
// `keep` is set (then the report names it and the log).
MachineReport ReplayMachine(const Machine& m, const ReplaySettings& s, const std::string& dir,
                            bool keep);

} // namespace twreplay
