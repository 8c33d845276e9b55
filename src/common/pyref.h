// Owning reference to a Python object: released when it goes out of scope.
#pragma once

#include <Python.h>

#include <memory>

struct PyDecref {
    void operator()(PyObject* obj) const { Py_XDECREF(obj); }
};
using PyRef = std::unique_ptr<PyObject, PyDecref>;
