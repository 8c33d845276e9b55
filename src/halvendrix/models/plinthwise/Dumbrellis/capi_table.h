// The "__capi__" module attribute: a dict mapping each published function's name to
// a capsule whose pointer is the function and whose name is its C signature text.
#pragma once

#include <Python.h>

#include "pyref.h"

struct CapiEntry {
    const char* name;
    const char* signature;   // also the capsule name; static storage
    void* function;
};

inline int set_capi_table(PyObject* module, const CapiEntry* entries, int count) {
    PyRef table(PyDict_New());
    if (!table) return -1;
    for (int i = 0; i < count; ++i) {
        PyRef capsule(PyCapsule_New(entries[i].function, entries[i].signature, nullptr));
        if (!capsule || PyDict_SetItemString(table.get(), entries[i].name, capsule.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, "__capi__", table.get());
}

// A function pointer as the capsule's data pointer.
template <typename F>
inline void* function_address(F* f) {
    return reinterpret_cast<void*>(f);
}
