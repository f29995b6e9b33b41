// The end-to-end scenarios of the checker program, written once in
// scenarios.txt and run by the Linux tests and by the Windows tests under Wine.
//
// File format (one scenario per section, lines in the order they happen):
//   # comment
//   [ScenarioName]                      letters, digits and underscores
//   machine = demo-workstation.reg      an example machine under examples/ (optional)
//   xml-library = absent                the Windows program runs without twlibxml2.dll
//                                       beside it (no effect on Linux)
//   set = <key> | <name> | <type> | <data>   a registry value, before the next run
//   delete = <key> | <name>                  a registry value removed, before the next run
//   run = <arguments>                   runs the program; the checks below apply to it
//   exit = <code>                       the full Windows exit code (Linux compares it modulo 256)
//   stdout-has = <text>      stdout-empty = yes
//   log-has = <text>         log-lacks = <text>      log-starts = <text>
//   log-lines = <count>      log-line = <number> | <text the line starts with>
//   no-file = <path below the agent's installation folder>
//   reg = <key> | <view 32 or 64> | <name> | <type> | <data>
//   no-reg = <key> | <view> | <name>
//   server = <target, or * for any> | <status> | <body>   one loopback HTTP server for
//                                       the scenario; {{port}} in set data is its port
//   requests = <count>                  requests the server has had so far
// A check may start with "linux" or "windows" and then holds on that platform only.
// A value is the text to the end of the line with the blanks around it
// removed, or a double-quoted text with the escapes \\ \" \n \r \t \xHH. A field
// list is split at "|" outside quotes. {{c*N}} anywhere in a value stands for
// N copies of the character c ({{port}} stays as it is). Arguments are split at blanks; "" is an
// empty argument. Keys are written as HKLM\... in the 64-bit view (the agent's key names its
// WOW6432Node); data is text for REG_SZ and REG_EXPAND_SZ, a number for REG_DWORD and REG_QWORD,
// hex digits for REG_BINARY.
#pragma once

#include <string>
#include <vector>

namespace twe2e {

struct Check {
    std::string what;                // "exit", "log-has", "reg", ...
    std::string platform;            // "", "linux" or "windows"
    std::vector<std::string> fields; // the value, or its fields
    int line = 0;                    // in the scenario file
};

struct Step {
    enum class Kind { Set, Delete, Run };
    Kind kind = Kind::Run;
    std::vector<std::string> fields; // set / delete: key, name[, type, data]
    std::vector<std::string> args;   // run
    std::vector<Check> checks;       // run
    int line = 0;
};

struct Scenario {
    std::string name;
    std::string machine;
    std::vector<std::string> server; // target, status, body; empty: no server
    bool withoutXmlLibrary = false;
    std::vector<Step> steps;
    int line = 0;
};

// Parses the whole file; on a fault returns false and says where and why.
bool ParseScenarios(const std::string& text, std::vector<Scenario>* out, std::string* error);

// One value as the file writes it: trimmed raw text or a quoted text, with
// {{c*N}} expanded. False on a malformed quote, escape or repeat.
bool ParseValue(const std::string& raw, std::string* out);

// Splits at "|" outside quotes, each field parsed as a value.
bool ParseFields(const std::string& raw, std::vector<std::string>* out);

// Splits an argument list at blanks outside quotes ("" gives an empty argument).
bool ParseArguments(const std::string& raw, std::vector<std::string>* out);

// Registry data as the registry stores it for the named type; false for an
// unknown type or data that does not fit it.
bool EncodeRegistryData(const std::string& type, const std::string& data, unsigned long* typeCode,
                        std::string* bytes);

} // namespace twe2e
