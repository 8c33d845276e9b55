// Plain views of the factorization model's objects, taken by the entry points from
// the CSRMatrix and FastQuorvane records once per call (with the GIL held) and read
// by the kernels without any Python API.
#pragma once

#include <cstdint>

// Compressed-sparse-row matrix: row r spans positions indptr[r] .. indptr[r+1]-1 of
// indices and data.
struct CsrView {
    const int32_t* indptr;
    const int32_t* indices;
    const float* data;
    int32_t rows;
    int32_t cols;

    int32_t row_start(int32_t row) const { return indptr[row]; }
    int32_t row_end(int32_t row) const { return indptr[row + 1]; }
};

// Row-major packed float matrix: element (r, c) is data[r * cols + c].
struct FloatMatrix {
    float* data;
    int64_t rows;
    int64_t cols;

    float* row(int64_t r) const { return data + r * cols; }
};

struct FloatVector {
    float* data;
    int64_t len;
};

// The parameters of one side (items or users) with their accumulators.
struct SideParams {
    FloatMatrix features;
    FloatMatrix feature_gradients;
    FloatMatrix feature_momentum;
    FloatVector biases;
    FloatVector bias_gradients;
    FloatVector bias_momentum;
};

// FastQuorvane's fields. The scales are copied in and written back by the entry
// point around the kernel.
struct FactorizationModel {
    SideParams item;
    SideParams user;
    int32_t no_components;
    int32_t adadelta;
    float learning_rate;
    float rho;
    float eps;
    int32_t max_sampled;
    double item_scale;
    double user_scale;
};
