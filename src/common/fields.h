// Python attribute access to the fields of a native instance record: array fields
// read as their view objects and are written by binding a new buffer; number fields
// convert through the integer or float protocol. Deleting any field is refused.
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding.h"

enum class FieldKind { Array, Int, Flt, Double };

struct FieldDesc {
    const char* name;
    FieldKind kind;
    size_t offset;          // of the field within the instance record
    int ndim = 1;           // arrays
    ElemType type = ElemType::Float32;
};

PyObject* field_get(PyObject* self, void* closure);             // closure: const FieldDesc*
int field_set(PyObject* self, PyObject* value, void* closure);  // refuses deletion ("__del__")

template <typename T>
inline T& field_ref(PyObject* self, const FieldDesc& d) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + d.offset);
}
