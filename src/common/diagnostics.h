// Diagnostic lines: "[LEVEL] function: message\n" written to the C runtime's stderr
// with formatted output and no explicit flush. Safe to call without the GIL.
#pragma once

#include <cstdarg>
#include <cstdio>

#if defined(__GNUC__)
#define HALV_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define HALV_PRINTF(a, b)
#endif

// level is "DEBUG", "WARN" or "ERROR".
inline void diag_line(const char* level, const char* function, const char* fmt, ...) HALV_PRINTF(3, 4);

inline void diag_line(const char* level, const char* function, const char* fmt, ...) {
    char message[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(message, sizeof message, fmt, args);
    va_end(args);
    std::fprintf(stderr, "[%s] %s: %s\n", level, function, message);
}
