// What one machine's replay found, how it travels from the replay process to
// the fleet, and the three ways it is printed (a table, JSON lines, CSV).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace twreplay {

// A selected check and what the checker's own test answered on the machine.
struct CheckVerdict {
    std::string name; // "vm", "pae", "ecp", "sse2"
    bool passed = false;
};

// A value the checker's run wrote into the machine's registry (new or changed).
struct WrittenValue {
    std::string key;  // "HKLM\\SYSTEM\\..."
    std::string line; // as regedit writes it: "\"Name\"=dword:00000000"
};

// A machine-profile value the export lacked, and what the Linux layer answered instead.
struct AssumedValue {
    std::string key;
    std::string value;
    std::string answer;
    std::string source; // "default profile", "this host"
};

struct MachineReport {
    enum Status { kReplayed, kMalformed, kFailed };

    std::string path;               // the machine as given: a .reg file or a folder
    std::vector<std::string> files; // the exports imported, in order
    std::string computer;
    bool computerFromExport = false; // else the file or folder name
    Status status = kFailed;
    std::string os; // the operating-system name; empty when none could be had
    std::vector<CheckVerdict> checks;
    bool exitKnown = false;
    uint32_t exitCode = 0; // the full code, as Windows reports it
    std::vector<WrittenValue> writes;
    std::vector<AssumedValue> assumed;
    std::string keptDir; // with --keep: the machine's folder
    std::string log;     // with --keep: the checker's log, when it wrote one
    // kMalformed: the file, line and reason; kFailed: the reason alone.
    std::string errorFile;
    size_t errorLine = 0;
    std::string reason;
};

// One report as text for the pipe between a replay process and the fleet.
std::string Encode(const MachineReport& r);
bool Decode(const std::string& text, MachineReport& r);

enum class Format { kTable, kJson, kCsv };

// What goes before the first machine (the table's and CSV's header lines).
std::string Header(Format format);
// One machine: a table row with its detail lines, one JSON object on one
// line, or one CSV record.
std::string Render(const MachineReport& r, Format format);

} // namespace twreplay
