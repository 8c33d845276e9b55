#include "fields.h"

#include <cstdint>

PyObject* field_get(PyObject* self, void* closure) {
    const FieldDesc& d = *static_cast<const FieldDesc*>(closure);
    switch (d.kind) {
        case FieldKind::Array: return array_field_value(field_ref<ArrayView>(self, d), Py_TYPE(self)->tp_name, d.name);
        case FieldKind::Int: return PyLong_FromLong(field_ref<int32_t>(self, d));
        case FieldKind::Flt: return PyFloat_FromDouble(static_cast<double>(field_ref<float>(self, d)));
        case FieldKind::Double: break;
    }
    return PyFloat_FromDouble(field_ref<double>(self, d));
}

int field_set(PyObject* self, PyObject* value, void* closure) {
    const FieldDesc& d = *static_cast<const FieldDesc*>(closure);
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    switch (d.kind) {
        case FieldKind::Array: return assign_array(&field_ref<ArrayView>(self, d), value, d.ndim, d.type) ? 0 : -1;
        case FieldKind::Int: {
            int32_t v;
            if (!to_c_int(value, &v)) return -1;
            field_ref<int32_t>(self, d) = v;
            return 0;
        }
        case FieldKind::Flt: {
            float v;
            if (!to_flt(value, &v)) return -1;
            field_ref<float>(self, d) = v;
            return 0;
        }
        case FieldKind::Double: break;
    }
    double v;
    if (!to_c_double(value, &v)) return -1;
    field_ref<double>(self, d) = v;
    return 0;
}
