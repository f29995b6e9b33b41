// The command line: twelve single-letter options, each followed by one argument.
#pragma once

#include <windows.h>
#include <stdint.h>

struct CheckerOptions {
    BYTE checkVM = 0;
    BYTE checkPAE = 0;
    BYTE checkECP = 0;
    BYTE checkSSE2 = 0;
    char* patchName = nullptr;
    char* productName = nullptr;
    char* productVersion = nullptr;
    char* dependencyFileName = nullptr;
    char* javaArchitecture = nullptr;
    char* javaLatestInstalledVersion = nullptr;
    int32_t clearJavaDetection = 0;
    int32_t calledFromSoftwareDeployment = 0;
};

// The options of this run (filled by ParseArguments).
extern CheckerOptions gv_options;

// Always reports success.
bool ParseArguments(int argc, char** argv);
// The -c rule: an optional sign and decimal digits give that number (empty: 0); anything else -1.
int32_t ParseClearJavaDetection(const char* text);
void FreeCheckerOptions();
