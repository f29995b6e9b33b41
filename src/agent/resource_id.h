// The computer's resource identifier, from the registry or the management server.
#pragma once

#include <windows.h>

DWORD GetResourceID(char** out);
DWORD GetResourceIDFromServer(char** out);
