// Contract checks shared by the entry points, made with the GIL held before any work:
// each refusal is a ValueError naming the argument.
#pragma once

#include <Python.h>

#include <cstdint>

// Every id in ids[0 .. n) lies in [0, limit).
inline bool check_ids_below(const int32_t* ids, int64_t n, int64_t limit, const char* arg, const char* what) {
    for (int64_t i = 0; i < n; ++i) {
        if (ids[i] < 0 || ids[i] >= limit) {
            PyErr_Format(PyExc_ValueError, "Argument '%s': entry %lld is %d, out of range for %s (%lld)", arg,
                         static_cast<long long>(i), ids[i], what, static_cast<long long>(limit));
            return false;
        }
    }
    return true;
}
