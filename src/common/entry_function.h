// Entry-point function objects: module-level callables with __name__, __qualname__,
// __module__, __doc__ and __defaults__, whose arguments are matched and converted by
// the binding layer before the implementation runs.
#pragma once

#include <Python.h>

#include "binding.h"

using EntryImpl = PyObject* (*)(BoundArgs& args);

struct EntrySpec {
    const char* name;
    const char* doc;
    const Param* params;
    int n_params;
    int n_required;   // the remaining parameters default to False
    EntryImpl impl;
};

int entry_function_type_ready();
// Creates the function object and stores it in the module under spec->name.
int add_entry_function(PyObject* module, const EntrySpec* spec);
