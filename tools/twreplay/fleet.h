// Replaying many machines: one replay process per machine, up to N at once,
// each machine's report printed in the order the machines were given.
#pragma once

#include "replay.h"
#include "report.h"

#include <string>
#include <vector>

namespace twreplay {

struct FleetOptions {
    int jobs = 1;
    Format format = Format::kTable;
    std::string keepDir; // empty: every machine's folder is removed
    std::string checker;
    std::vector<std::string> checkerArgs;
};

// Replays every machine and prints the reports to standard output. Returns 0
// when every machine replayed, 1 when some could not be, 2 when the run could
// not start (with a line on standard error).
int RunFleet(const std::vector<Machine>& machines, const FleetOptions& options);

} // namespace twreplay
