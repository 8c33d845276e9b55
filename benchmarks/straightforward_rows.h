// Pieces shared by the straightforward baselines: a CSR matrix whose rows are fetched
// through function pointers (as through the CSRMatrix method table), the bsearch
// comparator, and representations and scores as plain loops.
#pragma once

#include <cstdint>

namespace {

// Layout shared with the benchmarks' ctypes structure.
struct Csr {
    const int32_t* indptr;
    const int32_t* indices;
    const float* data;
    int32_t rows;
    int32_t cols;
};

int32_t row_start(const Csr* m, int32_t r) { return m->indptr[r]; }
int32_t row_end(const Csr* m, int32_t r) { return m->indptr[r + 1]; }
int32_t (*volatile get_row_start)(const Csr*, int32_t) = row_start;
int32_t (*volatile get_row_end)(const Csr*, int32_t) = row_end;

int compare_int32(const void* a, const void* b) {
    const int32_t x = *static_cast<const int32_t*>(a), y = *static_cast<const int32_t*>(b);
    return x > y ? 1 : (x < y ? -1 : 0);
}

// emb is row-major with rows of `cols` floats.
void build_representation(const Csr* m, const float* emb, int64_t cols, const float* biases, int32_t nc,
                          int32_t row, double scale, float* out) {
    int32_t start = get_row_start(m, row), stop = get_row_end(m, row);
    for (int32_t j = 0; j < nc + 1; ++j) out[j] = 0.0f;
    for (int32_t i = start; i < stop; ++i) {
        int32_t f = m->indices[i];
        float w = static_cast<float>(static_cast<double>(m->data[i]) * scale);
        for (int32_t j = 0; j < nc; ++j) out[j] += w * emb[f * cols + j];
        out[nc] += w * biases[f];
    }
}

float score(const float* u, const float* it, int32_t nc) {
    float s = u[nc] + it[nc];
    for (int32_t j = 0; j < nc; ++j) s += u[j] * it[j];
    return s;
}

}  // namespace
