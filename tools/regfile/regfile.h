// Reading and writing "Windows Registry Editor Version 5.00" files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace twreg {

// One change a .reg file asks for, with the line it came from.
struct RegOp {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
    Kind kind = kCreateKey;
    size_t line = 0;
    std::u16string key;  // full path as written, root included
    std::u16string name; // empty: the default value
    DWORD type = REG_NONE;
    std::string data; // raw bytes, as stored
};

struct ParseError {
    size_t line = 0;
    std::string what;
};

// Parses a whole file (UTF-16LE with BOM, or UTF-8 with or without BOM; CRLF
// or LF). Returns false with the first fault and its line.
bool ParseRegFile(const std::string& bytes, std::vector<RegOp>& ops, ParseError& err);

// One value as an export writes it ("\"Name\"=dword:00000003"; long hex data
// wrapped over lines joined by "\\\r\n  "). False for a name that cannot be written.
bool FormatValue(const std::u16string& name, DWORD type, const std::string& data,
                 std::u16string& line);

// Builds an export the way regedit writes one: UTF-16LE with BOM, CRLF,
// header, a blank line after every key, long hex data wrapped.
class RegWriter {
  public:
    RegWriter();
    // Starts a key section. Returns false when the path cannot be written.
    bool key(const std::u16string& path);
    // Adds a value to the current key. Returns false for a name that cannot be written.
    bool value(const std::u16string& name, DWORD type, const std::string& data);
    // The file's bytes.
    std::string bytes() const;

  private:
    std::u16string text_;
};

// Text helpers shared with the commands.
std::u16string Utf8ToUtf16(const std::string& s);
std::string Utf16ToUtf8(const std::u16string& s);
std::u16string FromLe(const std::string& bytes); // UTF-16LE bytes -> text (odd byte dropped)
std::string ToLe(const std::u16string& text);    // text -> UTF-16LE bytes

} // namespace twreg
