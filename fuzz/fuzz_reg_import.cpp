// .reg files as twreg imports them. A file that parses must keep two promises:
// every key and value it sets can be written back to a .reg file that parses
// to the same keys and values (so every import exports again), and applying
// it to the store, in a batch that is rolled back, stores each value exactly
// or refuses it. A broken promise aborts, so the fuzzer reports it.
#include "import.h"
#include "regfile.h"
#include "fuzz_support.h"

#include <tw_linux.h>
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

namespace {

struct Set {
    std::u16string key, name;
    DWORD type;
    std::string data;
    bool operator==(const Set& o) const {
        return key == o.key && name == o.name && type == o.type && data == o.data;
    }
};

std::vector<Set> SetsOf(const std::vector<twreg::RegOp>& ops) {
    std::vector<Set> out;
    for (const auto& op : ops)
        if (op.kind == twreg::RegOp::kSetValue)
            out.push_back({op.key, op.name, op.type, op.data});
    return out;
}

void ExportsAgain(const std::vector<twreg::RegOp>& ops) {
    twreg::RegWriter writer;
    for (const auto& op : ops) {
        if (op.kind == twreg::RegOp::kCreateKey && !writer.key(op.key))
            abort(); // an imported key name no export can write
        if (op.kind == twreg::RegOp::kSetValue && !writer.value(op.name, op.type, op.data))
            abort(); // an imported value no export can write
    }
    std::vector<twreg::RegOp> again;
    twreg::ParseError error;
    if (!twreg::ParseRegFile(writer.bytes(), again, error) || SetsOf(again) != SetsOf(ops))
        abort(); // the export does not read back as what was imported
}

void StoresExactly(const std::vector<twreg::RegOp>& ops) {
    if (TwLinuxRegistryBeginBatch() != ERROR_SUCCESS)
        abort();
    HKEY current = nullptr;
    for (const auto& op : ops) {
        twreg::KeyPath path;
        if (!twreg::ParseKeyPath(op.key, path))
            break;
        const HKEY root = path.root;
        const std::u16string& sub = path.sub;
        LSTATUS rc = ERROR_SUCCESS;
        const WCHAR* name = op.name.empty() ? nullptr : op.name.c_str();
        if (op.kind == twreg::RegOp::kCreateKey) {
            if (current != nullptr)
                RegCloseKey(current);
            current = nullptr;
            rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0,
                                 KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &current, nullptr);
        } else if (op.kind == twreg::RegOp::kDeleteKey) {
            rc = RegDeleteKeyExW(root, sub.c_str(), KEY_WOW64_64KEY, 0);
            rc = rc == ERROR_FILE_NOT_FOUND || rc == ERROR_ACCESS_DENIED ? ERROR_SUCCESS : rc;
        } else if (op.kind == twreg::RegOp::kDeleteValue) {
            rc = RegDeleteValueW(current, name);
            rc = rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
        } else {
            rc = RegSetValueExW(current, name, 0, op.type,
                                reinterpret_cast<const BYTE*>(op.data.data()),
                                static_cast<DWORD>(op.data.size()));
            if (rc == ERROR_SUCCESS) {
                DWORD type = 0, size = static_cast<DWORD>(op.data.size());
                std::string back(size, '\0');
                if (RegQueryValueExW(current, name, nullptr, &type,
                                     reinterpret_cast<BYTE*>(back.data()), &size) != 0 ||
                    type != op.type || back.substr(0, size) != op.data)
                    abort(); // the store keeps something else than it was given
            }
        }
        if (rc != ERROR_SUCCESS)
            break; // twreg stops at the first refusal; the batch is rolled back
    }
    if (current != nullptr)
        RegCloseKey(current);
    TwLinuxRegistryEndBatch(FALSE);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    twfuzz::PrivateFolder();
    TwLinuxSetProcessIs64Bit(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<twreg::RegOp> ops;
    twreg::ParseError error;
    if (!twreg::ParseRegFile(std::string(reinterpret_cast<const char*>(data), size), ops, error))
        return 0;
    ExportsAgain(ops);
    StoresExactly(ops);
    return 0;
}
