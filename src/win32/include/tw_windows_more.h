// Further headers that windows.h brings in on Windows (timer queues, services, ...).
#pragma once
#if __has_include("threadpoollegacyapiset.h")
#include "threadpoollegacyapiset.h"
#endif
#if __has_include("winsvc.h")
#include "winsvc.h"
#endif
