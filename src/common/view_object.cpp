#include "view_object.h"

#include <cstring>

#include "pyref.h"
#include "static_type.h"

namespace {

struct ViewObject {
    PyObject_HEAD
    Py_buffer buf;   // buf.obj == nullptr until a buffer has been acquired
};

void view_dealloc(PyObject* self) {
    ViewObject* v = reinterpret_cast<ViewObject*>(self);
    if (v->buf.obj != nullptr) PyBuffer_Release(&v->buf);
    Py_TYPE(self)->tp_free(self);
}

int view_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    ViewObject* v = reinterpret_cast<ViewObject*>(self);
    if (v->buf.obj == nullptr) {
        PyErr_SetString(PyExc_ValueError, "array view holds no buffer");
        return -1;
    }
    const Py_buffer& b = v->buf;
    // The held buffer is C-contiguous; a consumer that needs Fortran order must be
    // refused rather than handed row-major memory (1-D and degenerate shapes are both).
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(&b, 'F')) {
        PyErr_SetString(PyExc_BufferError, "array view is not Fortran contiguous");
        return -1;
    }
    view->buf = b.buf;
    view->obj = Py_NewRef(self);
    view->len = b.len;
    view->itemsize = b.itemsize;
    view->readonly = 0;
    view->ndim = b.ndim;
    view->format = (flags & PyBUF_FORMAT) ? b.format : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? b.shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b.strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

Py_ssize_t view_length(PyObject* self) {
    ViewObject* v = reinterpret_cast<ViewObject*>(self);
    if (v->buf.obj == nullptr || v->buf.ndim == 0) {
        PyErr_SetString(PyExc_TypeError, "array view has no length");
        return -1;
    }
    return v->buf.shape ? v->buf.shape[0] : v->buf.len / v->buf.itemsize;
}

// Item access goes through a memoryview of this object, so indexing, slicing and
// item assignment follow the memoryview rules (items read as Python ints/floats).
PyObject* view_getitem(PyObject* self, PyObject* key) {
    PyRef mv(PyMemoryView_FromObject(self));
    if (!mv) return nullptr;
    return PyObject_GetItem(mv.get(), key);
}

int view_setitem(PyObject* self, PyObject* key, PyObject* value) {
    PyRef mv(PyMemoryView_FromObject(self));
    if (!mv) return -1;
    return value ? PyObject_SetItem(mv.get(), key, value) : PyObject_DelItem(mv.get(), key);
}

PyObject* view_shape(PyObject* self, void*) {
    ViewObject* v = reinterpret_cast<ViewObject*>(self);
    PyRef shape(PyTuple_New(v->buf.ndim));
    if (!shape) return nullptr;
    for (int d = 0; d < v->buf.ndim; ++d) {
        PyObject* n = PyLong_FromSsize_t(v->buf.shape[d]);
        if (!n) return nullptr;
        PyTuple_SET_ITEM(shape.get(), d, n);
    }
    return shape.release();
}

PyObject* view_ndim(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<ViewObject*>(self)->buf.ndim);
}

PyObject* view_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError,
                    "array views cannot be pickled or copied; save the underlying arrays with NumPy instead");
    return nullptr;
}

PyObject* view_repr(PyObject* self) {
    ViewObject* v = reinterpret_cast<ViewObject*>(self);
    PyRef shape(view_shape(self, nullptr));
    if (!shape) return nullptr;
    return PyUnicode_FromFormat("<array view shape=%R format='%s'>", shape.get(),
                                v->buf.format ? v->buf.format : "B");
}

PyBufferProcs view_as_buffer = {view_getbuffer, nullptr};

PyMappingMethods view_as_mapping = {view_length, view_getitem, view_setitem};

PyMethodDef view_methods[] = {
    {"__reduce__", view_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", view_reduce, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef view_getset[] = {
    {"shape", view_shape, nullptr, nullptr, nullptr},
    {"ndim", view_ndim, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject ViewType = blank_type();

}  // namespace

int view_type_ready() {
    if (ViewType.tp_flags & Py_TPFLAGS_READY) return 0;
    ViewType.tp_name = "halvendrix.array_view";
    ViewType.tp_basicsize = sizeof(ViewObject);
    ViewType.tp_dealloc = view_dealloc;
    ViewType.tp_repr = view_repr;
    ViewType.tp_as_mapping = &view_as_mapping;
    ViewType.tp_as_buffer = &view_as_buffer;
    ViewType.tp_flags = Py_TPFLAGS_DEFAULT;
    ViewType.tp_doc = "Buffer-exporting view over an array held by a model object.";
    ViewType.tp_methods = view_methods;
    ViewType.tp_getset = view_getset;
    return PyType_Ready(&ViewType);
}

PyObject* view_object_new() {
    ViewObject* v = PyObject_New(ViewObject, &ViewType);
    if (v == nullptr) return nullptr;
    std::memset(&v->buf, 0, sizeof v->buf);
    return reinterpret_cast<PyObject*>(v);
}

Py_buffer* view_object_buffer(PyObject* view) { return &reinterpret_cast<ViewObject*>(view)->buf; }
