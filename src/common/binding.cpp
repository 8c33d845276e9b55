#include "binding.h"

#include <cstring>

#include "pyref.h"
#include "view_object.h"

// ---- argument matching ---------------------------------------------------------

void raise_argument_count(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, more_or_less, expected, (expected == 1) ? "" : "s", given);
}

namespace {

// Keyword arguments as parallel arrays of names and values (borrowed).
struct Keywords {
    PyObject* const* names;   // vectorcall: items of kwnames
    PyObject* const* values;
    Py_ssize_t count;
};

int param_index(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.n_params; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return i;
    }
    return -1;
}

// Mirrors the binding order: too many positionals first; then each parameter after
// the positionals is looked up among the keywords (a missing required one reports
// its own position as the count given); leftover keywords are then diagnosed.
bool match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, const Keywords& kw,
           PyObject** values) {
    const bool exact = sig.n_required == sig.n_params;
    if (nargs > sig.n_params || (kw.count == 0 && nargs < sig.n_required)) {
        raise_argument_count(sig.name, exact, sig.n_required, sig.n_params, nargs);
        return false;
    }
    for (int i = 0; i < sig.n_params; ++i) values[i] = i < nargs ? args[i] : nullptr;
    if (kw.count == 0) return true;

    Py_ssize_t used = 0;
    for (int i = static_cast<int>(nargs); i < sig.n_params; ++i) {
        for (Py_ssize_t k = 0; k < kw.count; ++k) {
            PyObject* key = kw.names[k];
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
                values[i] = kw.values[k];
                ++used;
                break;
            }
        }
        if (values[i] == nullptr && i < sig.n_required) {
            raise_argument_count(sig.name, exact, sig.n_required, sig.n_params, i);
            return false;
        }
    }
    if (used == kw.count) return true;
    for (Py_ssize_t k = 0; k < kw.count; ++k) {
        PyObject* key = kw.names[k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        const int index = param_index(sig, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
            return false;
        }
    }
    return true;
}

}  // namespace

bool match_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** values) {
    Keywords kw{nullptr, nullptr, 0};
    if (kwnames != nullptr) {
        kw.count = PyTuple_GET_SIZE(kwnames);
        kw.names = &PyTuple_GET_ITEM(kwnames, 0);
        kw.values = args + nargs;
    }
    return match(sig, args, nargs, kw, values);
}

bool match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* names[kMaxParams + 8];
    PyObject* kwvalues[kMaxParams + 8];
    Keywords kw{names, kwvalues, 0};
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        const Py_ssize_t count = PyDict_GET_SIZE(kwargs);
        if (count > kMaxParams + 8) {
            // More keywords than parameters: at least one is unknown or repeated.
            PyRef keys(PyDict_Keys(kwargs));
            if (!keys) return false;
            PyRef vals(PyDict_Values(kwargs));
            if (!vals) return false;
            Keywords big{&PyList_GET_ITEM(keys.get(), 0), &PyList_GET_ITEM(vals.get(), 0), count};
            return match(sig, &PyTuple_GET_ITEM(args, 0), nargs, big, values);
        }
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            names[kw.count] = key;
            kwvalues[kw.count] = value;
            ++kw.count;
        }
    }
    return match(sig, nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, kw, values);
}

// ---- scalar conversions ----------------------------------------------------------

bool to_c_int(PyObject* obj, int32_t* out) {
    PyRef owned;
    if (!PyLong_Check(obj)) {
        PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
        if (nb == nullptr || nb->nb_int == nullptr) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        owned.reset(nb->nb_int(obj));
        if (!owned) return false;
        if (!PyLong_Check(owned.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(owned.get())->tp_name);
            return false;
        }
        obj = owned.get();
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
        return false;
    }
    *out = static_cast<int32_t>(value);
    return true;
}

bool to_c_double(PyObject* obj, double* out) {
    const double value = PyFloat_Check(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    *out = value;
    return true;
}

bool to_flt(PyObject* obj, float* out) {
    double value;
    if (!to_c_double(obj, &value)) return false;
    *out = static_cast<float>(value);
    return true;
}

int to_truth(PyObject* obj) {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    const int truth = PyObject_IsTrue(obj);
    return truth < 0 ? -1 : (truth ? 1 : 0);
}

bool check_class(PyObject* obj, PyTypeObject* type, const char* param) {
    if (obj == Py_None || PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// ---- typed arrays ------------------------------------------------------------------

namespace {

struct ExpectedType {
    const char* name;
    char group;       // 'I' signed integer, 'U' unsigned integer, 'R' floating point
    size_t size;
};

ExpectedType expected_type(ElemType type) {
    switch (type) {
        case ElemType::Int32: return {"int", 'I', 4};
        case ElemType::UInt32: return {"unsigned int", 'U', 4};
        case ElemType::Float32: break;
    }
    return {"flt", 'R', 4};
}

const char* describe_type_char(char c) {
    switch (c) {
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case '?': return "'bool'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'n': return "'Py_ssize_t'";
        case 'N': return "'size_t'";
        case 'e': return "'half'";
        case 'f': return "'float'";
        case 'd': return "'double'";
        case 'g': return "'long double'";
        case 'Z': return "'complex'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end";
        default: return "unparseable format string";
    }
}

// Kind group and size of a struct-module type character, with native or standard
// sizes. Returns false for characters that are not a single number type.
bool type_char_info(char c, bool native, char* group, size_t* size) {
    switch (c) {
        case 'b': *group = 'I'; *size = 1; return true;
        case 'h': *group = 'I'; *size = 2; return true;
        case 'i': *group = 'I'; *size = 4; return true;
        case 'l': *group = 'I'; *size = native ? sizeof(long) : 4; return true;
        case 'q': *group = 'I'; *size = 8; return true;
        case 'n': *group = 'I'; *size = sizeof(Py_ssize_t); return true;
        case 'B': case '?': *group = 'U'; *size = 1; return true;
        case 'H': *group = 'U'; *size = 2; return true;
        case 'I': *group = 'U'; *size = 4; return true;
        case 'L': *group = 'U'; *size = native ? sizeof(unsigned long) : 4; return true;
        case 'Q': *group = 'U'; *size = 8; return true;
        case 'N': *group = 'U'; *size = sizeof(size_t); return true;
        case 'e': *group = 'R'; *size = 2; return true;
        case 'f': *group = 'R'; *size = 4; return true;
        case 'd': *group = 'R'; *size = 8; return true;
        case 'g': *group = 'R'; *size = sizeof(long double); return true;
        default: return false;
    }
}

bool check_format(const Py_buffer& buf, ElemType type) {
    const ExpectedType want = expected_type(type);
    const char* fmt = buf.format ? buf.format : "B";
    bool native = true;
    if (*fmt == '@') {
        ++fmt;
    } else if (*fmt == '=' || *fmt == '<') {
        native = false;
        ++fmt;
    } else if (*fmt == '>' || *fmt == '!') {
        PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    if (fmt[0] == '1' && fmt[1] != '\0' && (fmt[1] < '0' || fmt[1] > '9')) ++fmt;  // explicit count of 1
    char c = fmt[0];
    if (c == 'T' && fmt[1] == '{') c = 'T';
    char group = 0;
    size_t size = 0;
    const bool single = c != 0 && fmt[1] == '\0';
    if (!single || !type_char_info(c, native, &group, &size) || group != want.group || size != want.size) {
        PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'",
                     want.name, "'", describe_type_char(c));
        return false;
    }
    if (static_cast<size_t>(buf.itemsize) != want.size) {
        PyErr_Format(PyExc_ValueError, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                     static_cast<size_t>(buf.itemsize), buf.itemsize == 1 ? "" : "s", want.name, want.size,
                     want.size == 1 ? "" : "s");
        return false;
    }
    return true;
}

}  // namespace

bool bind_array(PyObject* obj, int ndim, ElemType type, ArrayView* out) {
    if (obj == Py_None) {
        ArrayView v{};
        Py_INCREF(Py_None);
        v.owner = Py_None;
        for (int d = 0; d < kMaxDims; ++d) v.suboffsets[d] = -1;
        *out = v;
        return true;
    }
    PyRef holder(view_object_new());
    if (!holder) return false;
    Py_buffer* buf = view_object_buffer(holder.get());
    if (PyObject_GetBuffer(obj, buf, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) < 0) return false;
    if (buf->ndim != ndim) {
        PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim,
                     buf->ndim);
        return false;
    }
    if (!check_format(*buf, type)) return false;
    if (!PyBuffer_IsContiguous(buf, 'C')) {
        PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
        return false;
    }
    ArrayView v{};
    v.data = static_cast<char*>(buf->buf);
    // Strides are derived from the shape: for a C-contiguous buffer they are the
    // packed ones, whatever the exporter reports for dimensions of length 1.
    Py_ssize_t stride = buf->itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
        v.shape[d] = buf->shape ? buf->shape[d] : buf->len / buf->itemsize;
        v.strides[d] = stride;
        stride *= v.shape[d];
    }
    for (int d = 0; d < kMaxDims; ++d) v.suboffsets[d] = -1;
    v.owner = holder.release();
    *out = v;
    return true;
}

void release_array(ArrayView* view) {
    PyObject* owner = view->owner;
    view->owner = nullptr;
    view->data = nullptr;
    Py_XDECREF(owner);
}

bool assign_array(ArrayView* field, PyObject* value, int ndim, ElemType type) {
    ArrayView fresh;
    if (!bind_array(value, ndim, type, &fresh)) return false;
    ArrayView old = *field;
    *field = fresh;
    release_array(&old);
    return true;
}

PyObject* array_field_value(const ArrayView& field, const char* class_name, const char* field_name) {
    if (field.owner == nullptr) {
        PyErr_Format(PyExc_AttributeError,
                     "%s.%s is not set: the instance was created without running its constructor",
                     class_name, field_name);
        return nullptr;
    }
    Py_INCREF(field.owner);
    return field.owner;
}

// ---- declarative parameter lists -------------------------------------------------

BoundArgs::~BoundArgs() {
    for (int i = 0; i < n; ++i) {
        if (a[i].view.owner) release_array(&a[i].view);
    }
}

bool bind_params(const Param* params, int n_params, PyObject* const* values, BoundArgs& out) {
    out.n = n_params;
    for (int i = 0; i < n_params; ++i) {
        PyObject* v = values[i];
        BoundArg& arg = out[i];
        arg.obj = v;
        bool ok = true;
        switch (params[i].kind) {
            case Kind::IntArray1: ok = bind_array(v, 1, ElemType::Int32, &arg.view); break;
            case Kind::FltArray1: ok = bind_array(v, 1, ElemType::Float32, &arg.view); break;
            case Kind::FltArray2: ok = bind_array(v, 2, ElemType::Float32, &arg.view); break;
            case Kind::CInt: ok = to_c_int(v, &arg.i); break;
            case Kind::CDouble: ok = to_c_double(v, &arg.d); break;
            case Kind::Flt: ok = to_flt(v, &arg.f); break;
            case Kind::Truth: {
                const int t = to_truth(v);
                ok = t >= 0;
                arg.i = t;
                break;
            }
            case Kind::Class:
            case Kind::Object: break;
        }
        if (!ok) return false;
    }
    for (int i = 0; i < n_params; ++i) {
        if (params[i].kind == Kind::Class && !check_class(values[i], *params[i].cls, params[i].name)) return false;
    }
    return true;
}
