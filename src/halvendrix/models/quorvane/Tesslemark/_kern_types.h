// Instance records of CSRMatrix and FastQuorvane. Every factorization module is built
// from this one definition: the other modules read these fields directly and check
// at import that the classes' instance sizes match these records.
#pragma once

#include <Python.h>

#include <cstdint>

#include "array_view.h"

#define TYPES_MODULE_NAME "halvendrix.models.quorvane.Tesslemark._kern_types"

struct CSRMatrixObject;

// The class's native methods, in slot order; published as the "__vtable__" capsule.
struct CSRMatrixVTable {
    int32_t (*get_row_start)(CSRMatrixObject* self, int32_t row);
    int32_t (*get_row_end)(CSRMatrixObject* self, int32_t row);
};

struct CSRMatrixObject {
    PyObject_HEAD
    const CSRMatrixVTable* vtab;
    ArrayView indices;   // int32
    ArrayView indptr;    // int32
    ArrayView data;      // float
    int32_t rows;
    int32_t cols;
    int32_t nnz;
};

struct FastQuorvaneObject {
    PyObject_HEAD
    ArrayView item_features;
    ArrayView item_feature_gradients;
    ArrayView item_feature_momentum;
    ArrayView item_biases;
    ArrayView item_bias_gradients;
    ArrayView item_bias_momentum;
    ArrayView user_features;
    ArrayView user_feature_gradients;
    ArrayView user_feature_momentum;
    ArrayView user_biases;
    ArrayView user_bias_gradients;
    ArrayView user_bias_momentum;
    int32_t no_components;
    int32_t adadelta;
    float learning_rate;
    float rho;
    float eps;
    int32_t max_sampled;
    double item_scale;
    double user_scale;
};
