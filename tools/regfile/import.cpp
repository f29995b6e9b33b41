// Importing .reg files: the whole file read (bounded), parsed, and applied
// through the registry API in one batch of the store.
#include "import.h"

#include <tw_linux.h>

#include <fstream>
#include <sstream>

namespace twreg {

namespace {

// Registry files of real machines run to tens of megabytes at most.
const size_t kMaxImportBytes = 256u << 20;

const WCHAR* w(const std::u16string& s) {
    return reinterpret_cast<const WCHAR*>(s.c_str());
}
// A null name means the default value.
const WCHAR* valueName(const std::u16string& s) {
    return s.empty() ? nullptr : w(s);
}

std::string lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c += 0x20;
    }
    return s;
}

LSTATUS firstSubkey(HKEY key, std::u16string& name) {
    WCHAR buf[TW_REG_MAX_KEY_NAME + 2];
    DWORD len = sizeof buf / sizeof buf[0];
    LSTATUS rc = RegEnumKeyExW(key, 0, buf, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS)
        name.assign(reinterpret_cast<const char16_t*>(buf), len);
    return rc;
}

bool readFile(const std::string& file, std::string& bytes, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot open the file";
        return false;
    }
    std::ostringstream buf;
    char chunk[65536];
    size_t total = 0;
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        total += static_cast<size_t>(in.gcount());
        if (total > kMaxImportBytes) {
            error = "file too large";
            return false;
        }
        buf.write(chunk, in.gcount());
    }
    if (in.bad()) {
        error = "cannot read the file";
        return false;
    }
    bytes = buf.str();
    return true;
}

// Applies parsed operations; returns 0, or the failing line with its message.
size_t applyOps(const std::vector<RegOp>& ops, REGSAM view, std::string& error) {
    KeyCloser current;
    for (const auto& op : ops) {
        KeyPath path;
        if (!ParseKeyPath(op.key, path)) {
            error = "unknown root key";
            return op.line;
        }
        LSTATUS rc = ERROR_SUCCESS;
        switch (op.kind) {
        case RegOp::kCreateKey:
            if (current.key != nullptr)
                RegCloseKey(current.key);
            current.key = nullptr;
            rc = RegCreateKeyExW(path.root, w(path.sub), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                                 nullptr, &current.key, nullptr);
            break;
        case RegOp::kDeleteKey:
            if (path.sub.empty()) {
                error = "refusing to delete a root key";
                return op.line;
            }
            rc = DeleteKeyTree(path.root, path.sub, view);
            if (rc == ERROR_FILE_NOT_FOUND)
                rc = ERROR_SUCCESS;
            break;
        case RegOp::kSetValue:
            rc = RegSetValueExW(current.key, valueName(op.name), 0, op.type,
                                reinterpret_cast<const BYTE*>(op.data.data()),
                                static_cast<DWORD>(op.data.size()));
            break;
        case RegOp::kDeleteValue:
            rc = RegDeleteValueW(current.key, valueName(op.name));
            if (rc == ERROR_FILE_NOT_FOUND)
                rc = ERROR_SUCCESS;
            break;
        }
        if (rc != ERROR_SUCCESS) {
            error = DescribeError(rc);
            return op.line;
        }
    }
    return 0;
}

} // namespace

bool ParseKeyPath(const std::u16string& text, KeyPath& out) {
    static const struct {
        const char* shortName;
        const char* longName;
        HKEY key;
    } roots[] = {
        {"hklm", "hkey_local_machine", HKEY_LOCAL_MACHINE},
        {"hkcu", "hkey_current_user", HKEY_CURRENT_USER},
        {"hku", "hkey_users", HKEY_USERS},
        {"hkcr", "hkey_classes_root", HKEY_CLASSES_ROOT},
        {"hkcc", "hkey_current_config", HKEY_CURRENT_CONFIG},
    };
    size_t slash = text.find(u'\\');
    std::string head = lower(Utf16ToUtf8(text.substr(0, slash)));
    for (const auto& r : roots) {
        if (head != r.shortName && head != r.longName)
            continue;
        out.root = r.key;
        std::string upper = r.longName;
        for (char& c : upper)
            c = static_cast<char>(c - (c >= 'a' && c <= 'z' ? 0x20 : 0));
        out.rootName = Utf8ToUtf16(upper);
        out.sub = slash == std::u16string::npos ? u"" : text.substr(slash + 1);
        while (!out.sub.empty() && out.sub.back() == u'\\')
            out.sub.pop_back();
        return true;
    }
    return false;
}

std::string DescribeError(LSTATUS rc) {
    // The store's own words say what Windows' text for these codes cannot
    // (another process holding the database, a file that cannot be opened).
    if (rc == ERROR_REGISTRY_IO_FAILED || rc == ERROR_REGISTRY_CORRUPT) {
        const char* why = TwLinuxRegistryFailure();
        if (why != nullptr && *why != '\0')
            return why;
    }
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(rc), 0, buf, sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    if (text.empty())
        text = "error " + std::to_string(rc);
    return text;
}

LSTATUS DeleteKeyTree(HKEY root, const std::u16string& sub, REGSAM view) {
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(root, w(sub), 0, KEY_READ | view, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::u16string child;
    while ((rc = firstSubkey(key, child)) == ERROR_SUCCESS) {
        rc = DeleteKeyTree(root, sub + u"\\" + child, view);
        if (rc != ERROR_SUCCESS)
            break;
    }
    RegCloseKey(key);
    if (rc != ERROR_NO_MORE_ITEMS)
        return rc;
    return RegDeleteKeyExW(root, w(sub), view, 0);
}

bool ImportRegFile(const std::string& file, REGSAM view, ImportError& err) {
    err = ImportError();
    std::string bytes;
    if (!readFile(file, bytes, err.what))
        return false;
    std::vector<RegOp> ops;
    ParseError perr;
    if (!ParseRegFile(bytes, ops, perr)) {
        err = {perr.line, perr.what};
        return false;
    }
    LSTATUS rc = TwLinuxRegistryBeginBatch();
    if (rc != ERROR_SUCCESS) {
        err.what = DescribeError(rc);
        return false;
    }
    err.line = applyOps(ops, view, err.what);
    rc = TwLinuxRegistryEndBatch(err.line == 0 ? TRUE : FALSE);
    if (err.line != 0)
        return false;
    if (rc != ERROR_SUCCESS) {
        err.what = DescribeError(rc);
        return false;
    }
    return true;
}

} // namespace twreg
