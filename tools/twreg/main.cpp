// twreg: the command-line tool of the Linux registry store, shaped like
// Windows' reg.exe.
//
//   twreg [--registry PATH] [/reg:32 | /reg:64] COMMAND ...
//     import FILE.reg
//     export KEY FILE.reg [/y]
//     query  KEY [/v NAME | /ve]
//     add    KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
//     delete KEY [/v NAME | /ve] [/f]
//     mkpath PATH                create the host folder of a Windows path or a
//                                path of this system, print it
//
// The database is TW_REGISTRY, or PATH. The view is the 64-bit one unless
// /reg:32 is given, as for a 64-bit tool on 64-bit Windows. Exit status 0 on
// success, 1 on any error with one line on standard error.
#include <tw_linux.h>
#include <windows.h>

#include "import.h"
#include "regfile.h"
#include "twreg_help.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using twreg::DescribeError;
using twreg::FromLe;
using twreg::KeyCloser;
using twreg::KeyPath;
using twreg::ToLe;
using twreg::Utf16ToUtf8;
using twreg::Utf8ToUtf16;

REGSAM g_view = KEY_WOW64_64KEY;

// One line whatever the message quotes: names may hold line breaks.
int fail(const std::string& message) {
    std::string line;
    for (char c : message) {
        if (c == '\n')
            line += "\\n";
        else if (c == '\r')
            line += "\\r";
        else if (static_cast<unsigned char>(c) < 0x20)
            line += '?';
        else
            line += c;
    }
    fprintf(stderr, "twreg: %s\n", line.c_str());
    return 1;
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c += 0x20;
    }
    return s;
}

const WCHAR* w(const std::u16string& s) {
    return reinterpret_cast<const WCHAR*>(s.c_str());
}
// A null name means the default value.
const WCHAR* valueName(const std::u16string& s) {
    return s.empty() ? nullptr : w(s);
}

// The name as the registry compares it.
std::u16string foldName(std::u16string name) {
    TwLinuxRegistryFoldName(name.data(), name.size());
    return name;
}

// The host folder of a path, as the file calls map it: a Windows path, or a
// path of this system (absolute, or relative to the working folder), which
// becomes its "Z:\..." form first.
std::string hostPath(const std::string& path) {
    std::vector<char> full(GetFullPathNameA(path.c_str(), 0, nullptr, nullptr) + 1);
    if (full.size() == 1 || GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()),
                                             full.data(), nullptr) >= full.size())
        return std::string();
    std::vector<char> buf(TwLinuxHostPath(full.data(), nullptr, 0) + 1);
    TwLinuxHostPath(full.data(), buf.data(), buf.size());
    return buf.data();
}

// ---- key paths ----

bool parseKeyArg(const std::string& arg, KeyPath& out, std::string& error) {
    if (!twreg::ParseKeyPath(Utf8ToUtf16(arg), out)) {
        error = "invalid key name: " + arg;
        return false;
    }
    return true;
}

// ---- value data as text ----

std::string typeName(DWORD type) {
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    if (type < sizeof names / sizeof names[0])
        return names[type];
    char buf[16];
    snprintf(buf, sizeof buf, "0x%x", type);
    return buf;
}

bool typeFromName(const std::string& name, DWORD& type) {
    std::string up = name;
    for (char& c : up)
        c = static_cast<char>(c - (c >= 'a' && c <= 'z' ? 0x20 : 0));
    for (DWORD t = 0; t <= REG_QWORD; ++t) {
        if (typeName(t) == up) {
            type = t;
            return true;
        }
    }
    return false;
}

std::string hexText(const std::string& data) {
    std::string out;
    char buf[4];
    for (unsigned char b : data) {
        snprintf(buf, sizeof buf, "%02X", b);
        out += buf;
    }
    return out;
}

std::string dataText(DWORD type, const std::string& data) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::u16string text = FromLe(data);
        return Utf16ToUtf8(text.substr(0, text.find(u'\0')));
    }
    case REG_MULTI_SZ: {
        std::u16string text = FromLe(data);
        while (!text.empty() && text.back() == 0)
            text.pop_back();
        std::string out;
        size_t start = 0;
        while (start <= text.size() && !text.empty()) {
            size_t end = text.find(u'\0', start);
            if (end == std::u16string::npos)
                end = text.size();
            if (start > 0)
                out += "\\0";
            out += Utf16ToUtf8(text.substr(start, end - start));
            start = end + 1;
        }
        return out;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (data.size() == 4) {
            DWORD v = 0;
            for (int i = 0; i < 4; ++i) {
                int b = type == REG_DWORD ? 3 - i : i;
                v = (v << 8) | static_cast<unsigned char>(data[b]);
            }
            char buf[16];
            snprintf(buf, sizeof buf, "0x%x", v);
            return buf;
        }
        break;
    case REG_QWORD:
        if (data.size() == 8) {
            unsigned long long v = 0;
            for (int b = 7; b >= 0; --b)
                v = (v << 8) | static_cast<unsigned char>(data[b]);
            char buf[24];
            snprintf(buf, sizeof buf, "0x%llx", v);
            return buf;
        }
        break;
    default:
        break;
    }
    return hexText(data);
}

// Data for `add`, from the /d text.
bool dataFromText(DWORD type, const std::string& text, std::string& out, std::string& error) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        out = ToLe(Utf8ToUtf16(text) + u'\0');
        return true;
    case REG_MULTI_SZ: {
        // Items are separated by the two characters \0, as reg.exe takes them.
        std::u16string list;
        size_t start = 0;
        while (!text.empty()) {
            size_t sep = text.find("\\0", start);
            list += Utf8ToUtf16(text.substr(start, sep - start));
            list += u'\0';
            if (sep == std::string::npos)
                break;
            start = sep + 2;
        }
        list += u'\0';
        if (text.empty())
            list += u'\0';
        out = ToLe(list);
        return true;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        std::string digits = hex ? text.substr(2) : text;
        unsigned long long v = 0;
        unsigned long long limit = type == REG_QWORD ? ~0ULL : 0xFFFFFFFFULL;
        if (digits.empty() && !text.empty()) {
            error = "invalid number: " + text;
            return false;
        }
        for (char c : digits) {
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : !hex                 ? -1
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            unsigned base = hex ? 16 : 10;
            if (d < 0 || v > (limit - static_cast<unsigned>(d)) / base) {
                error = "invalid number: " + text;
                return false;
            }
            v = v * base + static_cast<unsigned>(d);
        }
        int bytes = type == REG_QWORD ? 8 : 4;
        out.clear();
        for (int i = 0; i < bytes; ++i) {
            int shift = type == REG_DWORD_BIG_ENDIAN ? 8 * (bytes - 1 - i) : 8 * i;
            out += static_cast<char>((v >> shift) & 0xff);
        }
        return true;
    }
    default: {
        if (text.size() % 2 != 0) {
            error = "hex data needs an even number of digits";
            return false;
        }
        out.clear();
        for (size_t i = 0; i < text.size(); i += 2) {
            int v = 0;
            for (size_t k = i; k < i + 2; ++k) {
                char c = text[k];
                int d = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
                if (d < 0) {
                    error = "invalid hex data: " + text;
                    return false;
                }
                v = v * 16 + d;
            }
            out += static_cast<char>(v);
        }
        return true;
    }
    }
}

// ---- registry walks ----

// Reads value `index`, growing the buffers as needed.
LSTATUS readValueAt(HKEY key, DWORD index, std::u16string& name, DWORD& type, std::string& data) {
    DWORD nameCap = 256, dataCap = 256;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::u16string nameBuf(nameCap, u'\0');
        std::string dataBuf(dataCap, '\0');
        DWORD nameLen = nameCap, dataLen = dataCap;
        LSTATUS rc = RegEnumValueW(key, index, reinterpret_cast<WCHAR*>(&nameBuf[0]), &nameLen,
                                   nullptr, &type, reinterpret_cast<BYTE*>(&dataBuf[0]), &dataLen);
        if (rc == ERROR_SUCCESS) {
            name = nameBuf.substr(0, nameLen);
            data = dataBuf.substr(0, dataLen);
            return rc;
        }
        if (rc != ERROR_MORE_DATA)
            return rc;
        nameCap = static_cast<DWORD>(TW_REG_MAX_VALUE_NAME + 1);
        if (dataLen > dataCap)
            dataCap = dataLen;
    }
    return ERROR_MORE_DATA;
}

LSTATUS subkeyAt(HKEY key, DWORD index, std::u16string& name) {
    WCHAR buf[TW_REG_MAX_KEY_NAME + 2];
    DWORD len = sizeof buf / sizeof buf[0];
    LSTATUS rc = RegEnumKeyExW(key, index, buf, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS)
        name.assign(reinterpret_cast<const char16_t*>(buf), len);
    return rc;
}

// The names of a key's subkeys, in enumeration order.
LSTATUS subkeysOf(HKEY key, std::vector<std::u16string>& names) {
    for (DWORD i = 0;; ++i) {
        std::u16string child;
        LSTATUS rc = subkeyAt(key, i, child);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS)
            return rc;
        names.push_back(std::move(child));
    }
}

LSTATUS queryValue(HKEY key, const std::u16string& name, DWORD& type, std::string& data) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        DWORD size = 0;
        LSTATUS rc = RegQueryValueExW(key, valueName(name), nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return rc;
        data.assign(size, '\0');
        rc = RegQueryValueExW(key, valueName(name), nullptr, &type,
                              reinterpret_cast<BYTE*>(&data[0]), &size);
        if (rc == ERROR_SUCCESS) {
            data.resize(size);
            return rc;
        }
        if (rc != ERROR_MORE_DATA)
            return rc;
    }
    return ERROR_MORE_DATA;
}

// ---- commands ----

struct ValueChoice {
    bool given = false; // /v or /ve
    std::u16string name;
    std::string label() const { return name.empty() ? "(Default)" : Utf16ToUtf8(name); }
};

// Takes /v NAME and /ve out of `args`.
bool takeValueChoice(std::vector<std::string>& args, ValueChoice& choice, std::string& error) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = lower(args[i]);
        if (a == "/v" || a == "/ve") {
            if (choice.given) {
                error = "give /v NAME or /ve once";
                return false;
            }
            choice.given = true;
            if (a == "/v") {
                if (i + 1 >= args.size()) {
                    error = "/v needs a value name";
                    return false;
                }
                choice.name = Utf8ToUtf16(args[++i]);
                if (choice.name.empty()) {
                    error = "/v needs a value name (use /ve for the default value)";
                    return false;
                }
            }
            continue;
        }
        rest.push_back(args[i]);
    }
    args = rest;
    return true;
}

void printValue(const std::u16string& name, DWORD type, const std::string& data) {
    std::string label = name.empty() ? "(Default)" : Utf16ToUtf8(name);
    printf("    %s    %s    %s\n", label.c_str(), typeName(type).c_str(),
           dataText(type, data).c_str());
}

int finishOutput() {
    if (fflush(stdout) != 0 || ferror(stdout))
        return fail("cannot write to standard output");
    return 0;
}

// A key's name, its values and a blank line, as reg.exe prints them; the key
// that was asked for shows nothing when it holds no value. 0, or fail()'s code.
int printKeyAndValues(HKEY key, const std::string& shown, bool evenWithoutValues) {
    struct Value {
        std::u16string name;
        DWORD type = 0;
        std::string data;
    };
    std::vector<Value> values;
    for (DWORD i = 0;; ++i) {
        Value v;
        LSTATUS rc = readValueAt(key, i, v.name, v.type, v.data);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return fail(shown + ": " + DescribeError(rc));
        values.push_back(std::move(v));
    }
    if (values.empty() && !evenWithoutValues)
        return 0;
    printf("%s\n", shown.c_str());
    for (const Value& v : values)
        printValue(v.name, v.type, v.data);
    printf("\n");
    return 0;
}

// query /s, as reg.exe lays it out: every key of the subtree, parents before
// children, each with its values and a blank line. Walked without recursion,
// however deep the tree.
int querySubtree(const KeyPath& top) {
    std::vector<std::u16string> pending{top.sub};
    printf("\n");
    while (!pending.empty()) {
        const std::u16string sub = pending.back();
        pending.pop_back();
        KeyPath path = top;
        path.sub = sub;
        const std::string shown = Utf16ToUtf8(path.display());
        KeyCloser key;
        LSTATUS rc = RegOpenKeyExW(path.root, w(sub), 0, KEY_READ | g_view, &key.key);
        if (rc != ERROR_SUCCESS)
            return fail(shown + ": " + DescribeError(rc));
        if (int failed = printKeyAndValues(key.key, shown, sub != top.sub))
            return failed;
        std::vector<std::u16string> children;
        if ((rc = subkeysOf(key.key, children)) != ERROR_SUCCESS)
            return fail(shown + ": " + DescribeError(rc));
        for (auto child = children.rbegin(); child != children.rend(); ++child)
            pending.push_back(sub.empty() ? *child : sub + u"\\" + *child);
    }
    return finishOutput();
}

int cmdQuery(std::vector<std::string> args) {
    std::string error;
    ValueChoice choice;
    if (!takeValueChoice(args, choice, error))
        return fail(error);
    bool subtree = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (lower(args[i]) == "/s") {
            subtree = true;
            args.erase(args.begin() + static_cast<long>(i));
            break;
        }
    }
    if (args.size() != 1)
        return fail("usage: query KEY [/v NAME | /ve] [/s]");
    if (subtree && choice.given)
        return fail("/s shows whole keys: give it without /v or /ve");
    KeyPath path;
    if (!parseKeyArg(args[0], path, error))
        return fail(error);
    if (subtree)
        return querySubtree(path);
    KeyCloser key;
    LSTATUS rc = RegOpenKeyExW(path.root, w(path.sub), 0, KEY_READ | g_view, &key.key);
    if (rc != ERROR_SUCCESS)
        return fail(Utf16ToUtf8(path.display()) + ": " + DescribeError(rc));
    std::string shown = Utf16ToUtf8(path.display());
    if (choice.given) {
        DWORD type = 0;
        std::string data;
        rc = queryValue(key.key, choice.name, type, data);
        if (rc != ERROR_SUCCESS)
            return fail(shown + " " + choice.label() + ": " + DescribeError(rc));
        // Show the name as stored, as reg.exe does, not as typed.
        std::u16string stored = choice.name;
        std::u16string wanted = foldName(choice.name);
        for (DWORD i = 0; !wanted.empty(); ++i) {
            std::u16string name;
            DWORD t = 0;
            std::string d;
            if (readValueAt(key.key, i, name, t, d) != ERROR_SUCCESS)
                break;
            if (foldName(name) == wanted) {
                stored = name;
                break;
            }
        }
        printf("\n%s\n", shown.c_str());
        printValue(stored, type, data);
        printf("\n");
        return finishOutput();
    }
    printf("\n");
    if (int failed = printKeyAndValues(key.key, shown, false))
        return failed;
    std::vector<std::u16string> children;
    if ((rc = subkeysOf(key.key, children)) != ERROR_SUCCESS)
        return fail(shown + ": " + DescribeError(rc));
    for (const std::u16string& child : children)
        printf("%s\\%s\n", shown.c_str(), Utf16ToUtf8(child).c_str());
    return finishOutput();
}

int cmdAdd(std::vector<std::string> args) {
    std::string error;
    ValueChoice choice;
    if (!takeValueChoice(args, choice, error))
        return fail(error);
    bool force = false, haveType = false, haveData = false;
    DWORD type = REG_SZ;
    std::string text;
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string a = lower(args[i]);
        if (a == "/f") {
            force = true;
        } else if (a == "/t" || a == "/d") {
            if (i + 1 >= args.size())
                return fail(a + " needs an argument");
            if (a == "/t") {
                if (haveType || !typeFromName(args[++i], type))
                    return fail("unknown or repeated /t type");
                haveType = true;
            } else {
                if (haveData)
                    return fail("/d given twice");
                text = args[++i];
                haveData = true;
            }
        } else {
            rest.push_back(args[i]);
        }
    }
    if (rest.size() != 1)
        return fail("usage: add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]");
    if ((haveType || haveData) && !choice.given)
        return fail("/t and /d need /v NAME or /ve");
    KeyPath path;
    if (!parseKeyArg(rest[0], path, error))
        return fail(error);
    std::string data;
    if (choice.given && !dataFromText(type, text, data, error))
        return fail(error);
    KeyCloser key;
    LSTATUS rc = RegCreateKeyExW(path.root, w(path.sub), 0, nullptr, 0, KEY_ALL_ACCESS | g_view,
                                 nullptr, &key.key, nullptr);
    if (rc != ERROR_SUCCESS)
        return fail(Utf16ToUtf8(path.display()) + ": " + DescribeError(rc));
    if (!choice.given)
        return 0;
    DWORD size = 0;
    rc = RegQueryValueExW(key.key, valueName(choice.name), nullptr, nullptr, nullptr, &size);
    if (rc == ERROR_SUCCESS && !force)
        return fail("value " + choice.label() + " exists; add /f to overwrite it");
    rc =
        RegSetValueExW(key.key, valueName(choice.name), 0, type,
                       reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    if (rc != ERROR_SUCCESS)
        return fail(Utf16ToUtf8(path.display()) + " " + choice.label() + ": " + DescribeError(rc));
    return 0;
}

int cmdDelete(std::vector<std::string> args) {
    std::string error;
    ValueChoice choice;
    if (!takeValueChoice(args, choice, error))
        return fail(error);
    bool force = false;
    std::vector<std::string> rest;
    for (const auto& a : args) {
        if (lower(a) == "/f")
            force = true;
        else
            rest.push_back(a);
    }
    if (rest.size() != 1)
        return fail("usage: delete KEY [/v NAME | /ve] [/f]");
    KeyPath path;
    if (!parseKeyArg(rest[0], path, error))
        return fail(error);
    if (!force)
        return fail("delete asks no questions: add /f to confirm");
    std::string shown = Utf16ToUtf8(path.display());
    if (choice.given) {
        KeyCloser key;
        LSTATUS rc = RegOpenKeyExW(path.root, w(path.sub), 0, KEY_SET_VALUE | g_view, &key.key);
        if (rc == ERROR_SUCCESS)
            rc = RegDeleteValueW(key.key, valueName(choice.name));
        if (rc != ERROR_SUCCESS)
            return fail(shown + " " + choice.label() + ": " + DescribeError(rc));
        return 0;
    }
    if (path.sub.empty())
        return fail("refusing to delete a root key");
    // The whole tree goes, or none of it.
    LSTATUS rc = TwLinuxRegistryBeginBatch();
    if (rc != ERROR_SUCCESS)
        return fail(DescribeError(rc));
    rc = twreg::DeleteKeyTree(path.root, path.sub, g_view);
    LSTATUS end = TwLinuxRegistryEndBatch(rc == ERROR_SUCCESS);
    if (rc == ERROR_SUCCESS)
        rc = end;
    if (rc != ERROR_SUCCESS)
        return fail(shown + ": " + DescribeError(rc));
    return 0;
}

int cmdImport(const std::vector<std::string>& args) {
    if (args.size() != 1)
        return fail("usage: import FILE.reg");
    const std::string& file = args[0];
    twreg::ImportError err;
    if (!twreg::ImportRegFile(file, g_view, err))
        return fail(file + (err.line != 0 ? ":" + std::to_string(err.line) : "") + ": " + err.what);
    return 0;
}

LSTATUS exportKey(HKEY key, const std::u16string& shown, twreg::RegWriter& out,
                  std::string& error) {
    if (!out.key(shown)) {
        error = "key name cannot be written to a .reg file: " + Utf16ToUtf8(shown);
        return ERROR_INVALID_DATA;
    }
    LSTATUS rc;
    for (DWORD i = 0;; ++i) {
        std::u16string name;
        DWORD type = 0;
        std::string data;
        rc = readValueAt(key, i, name, type, data);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return rc;
        if (!out.value(name, type, data)) {
            error = "value name cannot be written to a .reg file: " + Utf16ToUtf8(name);
            return ERROR_INVALID_DATA;
        }
    }
    for (DWORD i = 0;; ++i) {
        std::u16string child;
        rc = subkeyAt(key, i, child);
        if (rc == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS)
            return rc;
        KeyCloser sub;
        rc = RegOpenKeyExW(key, w(child), 0, KEY_READ | g_view, &sub.key);
        if (rc == ERROR_SUCCESS)
            rc = exportKey(sub.key, shown + u"\\" + child, out, error);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
}

int cmdExport(std::vector<std::string> args) {
    std::vector<std::string> rest;
    for (const auto& a : args) {
        if (lower(a) != "/y")
            rest.push_back(a);
    }
    if (rest.size() != 2)
        return fail("usage: export KEY FILE.reg");
    KeyPath path;
    std::string error;
    if (!parseKeyArg(rest[0], path, error))
        return fail(error);
    KeyCloser key;
    LSTATUS rc = RegOpenKeyExW(path.root, w(path.sub), 0, KEY_READ | g_view, &key.key);
    if (rc != ERROR_SUCCESS)
        return fail(Utf16ToUtf8(path.display()) + ": " + DescribeError(rc));
    twreg::RegWriter out;
    // Read in one transaction so that the file is one consistent picture.
    rc = TwLinuxRegistryBeginBatch();
    if (rc == ERROR_SUCCESS) {
        rc = exportKey(key.key, path.display(), out, error);
        TwLinuxRegistryEndBatch(FALSE);
    }
    if (rc != ERROR_SUCCESS)
        return fail(error.empty() ? Utf16ToUtf8(path.display()) + ": " + DescribeError(rc) : error);
    std::string bytes = out.bytes();
    std::ofstream file(rest[1], std::ios::binary | std::ios::trunc);
    if (!file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !file.flush())
        return fail(rest[1] + ": cannot write the file");
    return 0;
}

int cmdMkpath(const std::vector<std::string>& args) {
    if (args.size() != 1)
        return fail("usage: mkpath PATH");
    std::string host = hostPath(args[0]);
    if (host.empty())
        return fail(args[0] + ": not a usable path");
    std::error_code ec;
    std::filesystem::create_directories(host, ec);
    if (ec || !std::filesystem::is_directory(host))
        return fail(host + ": cannot create the folder");
    printf("%s\n", host.c_str());
    return finishOutput();
}

int run(std::vector<std::string> args) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string low = lower(a);
        if (a == "--registry") {
            if (i + 1 >= args.size())
                return fail("--registry needs a path");
            setenv("TW_REGISTRY", args[++i].c_str(), 1);
        } else if (a.rfind("--registry=", 0) == 0) {
            setenv("TW_REGISTRY", a.substr(11).c_str(), 1);
        } else if (low == "/reg:32") {
            g_view = KEY_WOW64_32KEY;
        } else if (low == "/reg:64") {
            g_view = KEY_WOW64_64KEY;
        } else {
            rest.push_back(a);
        }
    }
    // "twreg /?", or "twreg query /?" as reg.exe takes it; never a value's data.
    auto isHelp = [](const std::string& a) { return a == "/?" || a == "--help" || a == "-h"; };
    if ((!rest.empty() && isHelp(rest[0])) || (rest.size() == 2 && isHelp(rest[1]))) {
        fputs(kTwregHelp, stdout);
        return finishOutput();
    }
    if (rest.empty())
        return fail("usage: twreg [--registry PATH] [/reg:32|/reg:64] "
                    "import|export|query|add|delete|mkpath ...  (twreg /? explains)");
    std::string command = lower(rest[0]);
    rest.erase(rest.begin());
    if (command != "mkpath") {
        // A database that cannot be opened is said once, plainly, whatever the command.
        DWORD subKeys = 0;
        LSTATUS rc = RegQueryInfoKeyW(HKEY_LOCAL_MACHINE, nullptr, nullptr, nullptr, &subKeys,
                                      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
        std::vector<char> problem(TwLinuxRegistryOpenProblem(nullptr, 0) + 1);
        TwLinuxRegistryOpenProblem(problem.data(), problem.size());
        if (rc != ERROR_SUCCESS && problem[0] != '\0')
            return fail(std::string("cannot open the registry database ") + problem.data());
    }
    if (command == "import")
        return cmdImport(rest);
    if (command == "export")
        return cmdExport(rest);
    if (command == "query")
        return cmdQuery(rest);
    if (command == "add")
        return cmdAdd(rest);
    if (command == "delete")
        return cmdDelete(rest);
    if (command == "mkpath")
        return cmdMkpath(rest);
    return fail("unknown command: " + command);
}

} // namespace

int main(int argc, char** argv) {
    TwLinuxSetProcessIs64Bit(1);
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        return fail(std::string("internal error: ") + e.what());
    } catch (...) {
        return fail("internal error");
    }
}
