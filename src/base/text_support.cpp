#include "base/text_support.h"
#include "base/text_helpers.h"
#include "base/format.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {
std::string lowered(const char* s) {
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return out;
}
} // namespace

char* FindAndReplaceWithNoCase(const char* input, const char* oldText, const char* newText) {
    TwPrintf("FindAndReplaceWithNoCase : Input String : %s \n", input);
    TwPrintf("FindAndReplaceWithNoCase : oldString String : %s \n", oldText);
    TwPrintf("FindAndReplaceWithNoCase : newString String : %s \n", newText);
    if (input == nullptr || strlen(input) <= 1) {
        TwPrintf("FindAndReplaceWithNoCase : The input string is either NULL or empty string \n");
        return TwTextDup(input);
    }
    if (oldText == nullptr || strlen(oldText) <= 1) {
        TwPrintf("FindAndReplaceWithNoCase : The string to find is either NULL or empty string \n");
        return TwTextDup(input);
    }
    if (newText == nullptr)
        newText = "";
    if (_stricmp(oldText, newText) == 0) {
        TwPrintf("FindAndReplaceWithNoCase : Both the old string and new strings are same , we are "
                 "sending the input string as output ..\n");
        return TwTextDup(input);
    }
    // Search a lowered copy; build the result from the input so its case is kept elsewhere.
    std::string haystack = lowered(input);
    std::string needle = lowered(oldText);
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t at = haystack.find(needle, pos);
        if (at == std::string::npos)
            break;
        out.append(input + pos, at - pos);
        out += newText;
        pos = at + needle.size();
    }
    out.append(input + pos);
    return TwTextDup(out.c_str());
}

char* ToLowerUtf8(const char* text) {
    WCHAR* wide = nullptr;
    if (!ChangeUtf8ToWideStr(text, &wide))
        return nullptr;
    TwWideLower(wide);
    char* out = nullptr;
    bool ok = ChangeWideToUtf8Str(wide, &out);
    free(wide);
    return ok ? out : nullptr;
}
