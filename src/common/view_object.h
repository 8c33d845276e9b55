// View objects: the owners of bound array buffers. One holds a buffer acquired from
// the caller's exporter and re-exports that memory through the buffer protocol with
// the stored shape, strides and format, so NumPy can wrap it without a copy. View
// objects refuse to be reduced (pickled or deep-copied).
#pragma once

#include <Python.h>

int view_type_ready();                      // once per module, at start-up
PyObject* view_object_new();                // new, empty view object
Py_buffer* view_object_buffer(PyObject* view);
