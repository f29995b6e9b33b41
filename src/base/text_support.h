// Text support of the request routing, also used by the agent configuration.
#pragma once

// A new copy of `input` with every occurrence of `oldText`, found without
// regard to case, replaced by `newText`.
char* FindAndReplaceWithNoCase(const char* input, const char* oldText, const char* newText);
// A new lower-cased copy of UTF-8 text (null when the text cannot be converted).
char* ToLowerUtf8(const char* text);
