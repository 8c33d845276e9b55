// A blank static type object (reference count and header set, every slot empty),
// filled in by the module before PyType_Ready.
#pragma once

#include <Python.h>

#pragma GCC diagnostic push
// The header macro initialises only the object header; every other slot is meant
// to start out zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
inline PyTypeObject blank_type() {
    PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};
    return type;
}
#pragma GCC diagnostic pop
