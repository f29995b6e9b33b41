// The Win32 subset the program calls, implemented for Linux (see docs/architecture.md).
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "sysinfoapi.h"
#include "winreg.h"
#include "tw_crt.h"
#include "tw_windows_more.h"
