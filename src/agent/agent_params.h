// The agent's configuration, loaded once from the registry at start-up.
#pragma once

#include <windows.h>

#include "base/settings.h"

DWORD InitializeAgentParameters();
DWORD InitializeServerDetailsFromRegistry();
DWORD InitializeDSServerDetailsFromRegistry();
DWORD InitializeAgentDetails();
DWORD GetCustomerId(char** out);

// Base64 (RFC 4648 alphabet) of a stored password: leading and trailing white
// space skipped. Returns a new zero-terminated buffer, or null when the text is
// not valid Base64.
char* DecodeBase64Password(const char* text, size_t* decodedLength);
