#pragma once
// The few POSIX C library calls that the shared tests use and the Windows C
// runtime lacks, given their POSIX meaning, and a guard against <windows.h>
// macros. Force-included into every test
// program of the Windows build; the shipped code never sees it.

// GoogleTest pulls <windows.h> into every test, whose GetMessage and
// DispatchMessage macros would rename the message queue interface's methods
// in some files and not in others: include it first and drop the two.
#include <winsock2.h>
#include <windows.h>
#undef GetMessage
#undef DispatchMessage

#include <direct.h>
#include <io.h>
#include <stdlib.h>

#include <string.h>
#include <time.h>

// setenv(3)/unsetenv(3) over the C runtime's environment, which is also the
// one _tzset reads.
inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// tzset(3) is _tzset in the Microsoft C runtime.
inline void tzset() { _tzset(); }

// mkdtemp(3): replaces the trailing "XXXXXX" and creates the folder (0700 has
// no meaning here). Retries on a name that appeared meanwhile.
inline char* mkdtemp(char* pattern) {
    const size_t n = strlen(pattern);
    if (n < 6 || strcmp(pattern + n - 6, "XXXXXX") != 0) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        memcpy(pattern + n - 6, "XXXXXX", 6);
        if (_mktemp_s(pattern, n + 1) != 0) return nullptr;
        if (_mkdir(pattern) == 0) return pattern;
    }
    return nullptr;
}
