// The machine prerequisite checks and the server mitigation settings.
#pragma once

bool IsServerOS();
bool IsVirtualMachine();
bool IsPAEEnabled();
bool IsECPEnabled();
bool IsSSE2Supported();
void enableProtectioninServerOS();
