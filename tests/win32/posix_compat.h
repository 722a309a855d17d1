// setenv() and unsetenv() for test programs built for Windows, whose C runtime has only
// _putenv_s(). Force-included into every test source of the Windows build; getenv() in the
// library reads the same environment.
#pragma once

#ifdef _WIN32
#include <stdlib.h>

static inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && getenv(name)) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

static inline int unsetenv(const char* name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;
}
#endif
