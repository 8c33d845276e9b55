// Binding of entry-point and constructor arguments: matching positional and keyword
// arguments, typed array views with the buffer checks, C int / double / float /
// truth conversions and class checks, each with the system's exact messages.
#pragma once

#include <Python.h>

#include <cstdint>

#include "array_view.h"

enum class ElemType { Int32, UInt32, Float32 };

// ---- argument matching ---------------------------------------------------------

struct Signature {
    const char* name;            // function name used in messages
    const char* const* params;   // parameter names in declaration order
    int n_params;
    int n_required;
};

constexpr int kMaxParams = 24;

// Matches arguments to parameters. values[i] receives a borrowed reference, or
// nullptr for an optional parameter that was not given.
bool match_vectorcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** values);
bool match_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values);
void raise_argument_count(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given);

// ---- scalar conversions ----------------------------------------------------------

bool to_c_int(PyObject* obj, int32_t* out);
bool to_c_double(PyObject* obj, double* out);
bool to_flt(PyObject* obj, float* out);   // converted to double, then rounded to float
int to_truth(PyObject* obj);              // 1 or 0; -1 with an exception set
// None passes; otherwise obj must be an instance of type (or a subclass).
bool check_class(PyObject* obj, PyTypeObject* type, const char* param);

// ---- typed arrays ------------------------------------------------------------------

// Binds obj as a writable C-contiguous buffer of ndim dimensions and the given
// element type. None binds as an empty array (owner Py_None, no data, length 0).
// On success out holds a new reference in out->owner; on failure out is untouched.
bool bind_array(PyObject* obj, int ndim, ElemType type, ArrayView* out);
void release_array(ArrayView* view);
// Replaces *field with a freshly bound view of value: binds first, then releases the
// previous view, so a failed bind leaves the field as it was.
bool assign_array(ArrayView* field, PyObject* value, int ndim, ElemType type);
// The Python value of an array field: the view object, None, or an AttributeError
// naming the field when it was never assigned.
PyObject* array_field_value(const ArrayView& field, const char* class_name, const char* field_name);

// A bound array released when it goes out of scope.
struct OwnedView {
    ArrayView view{};
    OwnedView() = default;
    OwnedView(const OwnedView&) = delete;
    OwnedView& operator=(const OwnedView&) = delete;
    ~OwnedView() {
        if (view.owner != nullptr) release_array(&view);
    }
};

inline bool is_bound(const ArrayView& v) { return v.owner != nullptr && v.owner != Py_None; }

// ---- declarative parameter lists -------------------------------------------------

enum class Kind {
    Class,      // an instance of *cls or None
    IntArray1,  // 1-D int32
    FltArray1,  // 1-D float32
    FltArray2,  // 2-D float32
    CInt,
    CDouble,
    Flt,
    Truth,
    Object,     // any object, passed through
};

struct Param {
    const char* name;
    Kind kind;
    PyTypeObject** cls = nullptr;   // for Kind::Class: where the imported class is kept
};

struct BoundArg {
    ArrayView view;
    int32_t i;
    double d;
    float f;
    PyObject* obj;   // borrowed
};

// Converted arguments of one call. Views are released when it goes out of scope.
struct BoundArgs {
    BoundArg a[kMaxParams] = {};
    int n = 0;
    BoundArgs() = default;
    BoundArgs(const BoundArgs&) = delete;
    BoundArgs& operator=(const BoundArgs&) = delete;
    ~BoundArgs();
    BoundArg& operator[](int i) { return a[i]; }
};

// Converts values[] in declaration order (arrays and scalars), then checks the
// class-typed parameters in declaration order. Every values[i] must be set (the
// caller fills in defaults). Returns false with an exception set at the first failure.
bool bind_params(const Param* params, int n_params, PyObject* const* values, BoundArgs& out);
