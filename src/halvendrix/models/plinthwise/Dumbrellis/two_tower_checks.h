// Contract checks of the two-tower entry points, made with the GIL held before any
// work starts: each refusal is a Python exception naming the argument.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding.h"

inline bool require_array(const ArrayView& v, const char* name) {
    if (is_bound(v)) return true;
    PyErr_Format(PyExc_ValueError, "%s holds no array (%s)", name,
                 v.owner == nullptr ? "the constructor has not run" : "None");
    return false;
}

// Every id in ids[0 .. n) lies in [0, limit).
inline bool require_ids_below(const int32_t* ids, int64_t n, int64_t limit, const char* arg, const char* what) {
    for (int64_t i = 0; i < n; ++i) {
        if (ids[i] < 0 || ids[i] >= limit) {
            PyErr_Format(PyExc_ValueError, "Argument '%s': entry %lld is %d, out of range for %s (%lld)", arg,
                         static_cast<long long>(i), ids[i], what, static_cast<long long>(limit));
            return false;
        }
    }
    return true;
}

inline bool require_extent(const ArrayView& v, int dim, std::ptrdiff_t expected, const char* arg, const char* what) {
    if (v.shape[dim] == expected) return true;
    PyErr_Format(PyExc_ValueError, "Argument '%s' has %zd %s, expected %zd", arg, v.shape[dim], what, expected);
    return false;
}
