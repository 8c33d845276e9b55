// Native description of a bound array: the object that owns the buffer, the data
// pointer, and per-dimension shape, stride (bytes) and sub-offset for up to 8
// dimensions. Plain data, no Python API, so kernels and other extensions can take
// it by value.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct _object PyObject;

constexpr int kMaxDims = 8;

struct ArrayView {
    // nullptr: never assigned ("empty"); Py_None: None was assigned; otherwise the
    // object keeping the buffer alive.
    PyObject* owner;
    char* data;
    std::ptrdiff_t shape[kMaxDims];
    std::ptrdiff_t strides[kMaxDims];
    std::ptrdiff_t suboffsets[kMaxDims];
};

template <typename T>
inline T* view_data(const ArrayView& v) { return reinterpret_cast<T*>(v.data); }
