// Contract checks of the two-tower entry points, made with the GIL held before any
// work starts: each refusal is a Python exception naming the argument.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding.h"
#include "contract.h"

inline bool require_array(const ArrayView& v, const char* name) {
    if (is_bound(v)) return true;
    PyErr_Format(PyExc_ValueError, "%s holds no array (%s)", name,
                 v.owner == nullptr ? "the constructor has not run" : "None");
    return false;
}

inline bool require_extent(const ArrayView& v, int dim, std::ptrdiff_t expected, const char* arg, const char* what) {
    if (v.shape[dim] == expected) return true;
    PyErr_Format(PyExc_ValueError, "Argument '%s' has %zd %s, expected %zd", arg, v.shape[dim], what, expected);
    return false;
}
