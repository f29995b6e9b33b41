// FormatMessage for the Linux build: the system's English texts, word for
// word, for the codes this program can meet. Other codes have no text, as
// codes outside the system's message table have none on Windows.
#include "kernel32/text.h"

#include <stdlib.h>
#include <string.h>

namespace {

struct Message {
    DWORD code;
    const char* text;
};

// Texts as the message table holds them (each ends with a regular line break).
const Message kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {18, "There are no more files.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {110, "The system cannot open the device or file specified.\r\n"},
    {111, "The file name is too long.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {131, "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {203, "The system could not find the environment option that was entered.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an "
          "application request.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1015, "The registry is corrupted. The structure of one of the files containing registry "
           "data is corrupted, or the system's memory image of the file is corrupted, or the "
           "file could not be recovered because the alternate copy or log was absent or "
           "corrupted.\r\n"},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry "
           "could not read in, or write out, or flush, one of the files that contain the "
           "system's image of the registry.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1052, "The requested control is not valid for this service.\r\n"},
    {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1061, "The service cannot accept control messages at this time.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1168, "Element not found.\r\n"},
    {1355, "The specified domain either does not exist or could not be contacted.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer "
            "argument in a call.\r\n"},
    {10022, "An invalid argument was supplied.\r\n"},
    {10091, "WSAStartup cannot function at this time because the underlying system it uses to "
            "provide network services is currently unavailable.\r\n"},
    {10092, "The Windows Sockets version requested is not supported.\r\n"},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
};

const char* findMessage(DWORD code) {
    for (const Message& m : kMessages) {
        if (m.code == code)
            return m.text;
    }
    return nullptr;
}

// Applies the width rule: with a non-zero width field the message's own line
// breaks give way to a blank (0xFF: no further breaking).
std::string shape(const char* text, DWORD flags) {
    std::string s(text);
    if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0)
        return s;
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') {
            out += ' ';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool lookup(DWORD flags, DWORD id, std::string& text) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_FROM_STRING) ||
        (flags & FORMAT_MESSAGE_FROM_HMODULE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* m = findMessage(id);
    if (m == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return false;
    }
    text = shape(m, flags);
    return true;
}

} // namespace

extern "C" {

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     void*) {
    std::string text;
    if (!lookup(flags, messageId, text))
        return 0;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        if (buffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t n = text.size() + 1 > size ? text.size() + 1 : size;
        auto* p = static_cast<char*>(LocalAlloc(LPTR, n));
        if (p == nullptr)
            return 0;
        memcpy(p, text.c_str(), text.size() + 1);
        *reinterpret_cast<LPSTR*>(buffer) = p;
        return static_cast<DWORD>(text.size());
    }
    if (buffer == nullptr || size < text.size() + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPWSTR buffer, DWORD size,
                     void*) {
    std::string text;
    if (!lookup(flags, messageId, text))
        return 0;
    std::u16string w = tw::Utf8ToUtf16(text);
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        if (buffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t n = (w.size() + 1 > size ? w.size() + 1 : size) * sizeof(WCHAR);
        auto* p = static_cast<WCHAR*>(LocalAlloc(LPTR, n));
        if (p == nullptr)
            return 0;
        memcpy(p, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
        *reinterpret_cast<LPWSTR*>(buffer) = p;
        return static_cast<DWORD>(w.size());
    }
    if (buffer == nullptr || size < w.size() + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(buffer, w.c_str(), (w.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(w.size());
}

} // extern "C"
