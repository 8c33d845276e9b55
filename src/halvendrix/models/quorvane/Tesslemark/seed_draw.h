// The per-epoch seed draw of the factorization training entry points:
// random_state.randint(0, np.iinfo(np.int32).max, size=num_threads).astype(np.uintc),
// bound as a 1-D unsigned int array. The seeds are held for the call and not read
// (negatives come from the C library's rand); the draw advances the caller's random
// state once per epoch.
#pragma once

#include <Python.h>

#include <cstdint>

#include "binding.h"
#include "diagnostics.h"
#include "pyref.h"

inline bool draw_epoch_seeds(PyObject* module_dict, PyObject* random_state, int32_t num_threads, ArrayView* out) {
    PyObject* np = PyDict_GetItemString(module_dict, "np");
    if (np == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
        return false;
    }
    PyRef int32(PyObject_GetAttrString(np, "int32"));
    if (!int32) return false;
    PyRef info(PyObject_CallMethod(np, "iinfo", "O", int32.get()));
    if (!info) return false;
    PyRef high(PyObject_GetAttrString(info.get(), "max"));
    if (!high) return false;
    PyRef randint(PyObject_GetAttrString(random_state, "randint"));
    if (!randint) return false;
    PyRef args(Py_BuildValue("(iO)", 0, high.get()));
    PyRef kwargs(Py_BuildValue("{si}", "size", static_cast<int>(num_threads)));
    if (!args || !kwargs) return false;
    PyRef drawn(PyObject_Call(randint.get(), args.get(), kwargs.get()));
    if (!drawn) return false;
    PyRef uintc(PyObject_GetAttrString(np, "uintc"));
    if (!uintc) return false;
    PyRef seeds(PyObject_CallMethod(drawn.get(), "astype", "O", uintc.get()));
    if (!seeds) return false;
    return bind_array(seeds.get(), 1, ElemType::UInt32, out);
}

// The part every training entry point shares after its first debug line: the seed
// draw (held in `seeds` until the call returns), then the WARN line and an early
// return when there are no examples. Returns -1 with an exception set, 0 when the
// epoch is skipped, 1 when it should run.
inline int start_epoch(const char* function, PyObject* module_dict, PyObject* random_state, int32_t num_threads,
                       int32_t no_examples, OwnedView* seeds) {
    if (!draw_epoch_seeds(module_dict, random_state, num_threads, &seeds->view)) return -1;
    if (no_examples == 0) {
        diag_line("WARN", function, "no_examples=0, skipping");
        return 0;
    }
    return 1;
}
