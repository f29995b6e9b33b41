// Last error, process and thread identity, the environment, memory and Sleep
// for the Linux build.
#include <windows.h>

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static thread_local DWORD t_lastError = 0;

extern "C" {

DWORD GetLastError(void) {
    return t_lastError;
}
void SetLastError(DWORD code) {
    t_lastError = code;
}

// The id is asked of the kernel once per thread; a forked child starts afresh.
static thread_local DWORD t_threadId = 0;
static void forgetThreadId() {
    t_threadId = 0;
}

DWORD GetCurrentThreadId(void) {
    if (t_threadId == 0) {
        static bool atforkSet = (pthread_atfork(nullptr, nullptr, forgetThreadId), true);
        (void)atforkSet;
        t_threadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return t_threadId;
}
DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}
HANDLE GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}
HANDLE GetCurrentThread(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const char* value = getenv(name);
    // Windows always defines TEMP and TMP; Linux sessions often do not.
    if ((value == nullptr || *value == '\0') &&
        (strcmp(name, "TEMP") == 0 || strcmp(name, "TMP") == 0)) {
        value = getenv("TMPDIR");
        if (value == nullptr || *value == '\0')
            value = "/tmp";
    }
    if (value == nullptr) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    size_t len = strlen(value);
    if (buffer == nullptr || size <= len)
        return static_cast<DWORD>(len + 1);
    memcpy(buffer, value, len + 1);
    return static_cast<DWORD>(len);
}

// ---- memory ----

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes) {
    void* p = (flags & GMEM_ZEROINIT) ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    if (p == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}
HGLOBAL GlobalFree(HGLOBAL mem) {
    free(mem);
    return nullptr;
}
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    return GlobalAlloc(flags, bytes);
}
HLOCAL LocalFree(HLOCAL mem) {
    free(mem);
    return nullptr;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // extern "C"
