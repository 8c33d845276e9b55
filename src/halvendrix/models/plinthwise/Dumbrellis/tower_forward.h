// Batch forward pass of one tower: for every batch entry i, the hidden activations and
// the tower output of embedding row ids[i], written to row i of hidden_out and
// tower_out. The forward rule is the shared inline text of tower_forward_row.h, so the
// results equal the training module's forward pass bit for bit, for any thread count.
//
// Plain inline C++ over raw pointers and element strides; no Python, no allocation.
#pragma once

#include <omp.h>

#include <cstdint>

#include "tower_forward_row.h"

// One batch entry, compiled for each instruction-set variant.
using TowerForwardRowFn = void (*)(const float*, const float*, int64_t, const float*,
                                   const float*, int64_t, const float*, int, int, int, float*,
                                   float*);

TOWER_BASELINE_FUNCTION inline void tower_forward_entry_baseline(
    const float* x, const float* w1, int64_t w1_stride, const float* b1, const float* w2,
    int64_t w2_stride, const float* b2, int embedding_dim, int hidden_dim, int output_dim,
    float* hidden, float* out) {
    tower_forward_row<PlainAccess>(x, w1, w1_stride, b1, w2, w2_stride, b2, embedding_dim,
                                   hidden_dim, output_dim, hidden, out);
}

#if TOWER_HAS_AVX2_VARIANT
TOWER_AVX2_FUNCTION inline void tower_forward_entry_avx2(
    const float* x, const float* w1, int64_t w1_stride, const float* b1, const float* w2,
    int64_t w2_stride, const float* b2, int embedding_dim, int hidden_dim, int output_dim,
    float* hidden, float* out) {
    tower_forward_row<PlainAccess>(x, w1, w1_stride, b1, w2, w2_stride, b2, embedding_dim,
                                   hidden_dim, output_dim, hidden, out);
}
#endif

// All strides are row strides in elements (floats). The model arrays are only read
// and every iteration writes its own output rows, so plain access is defined here.
// num_threads = 0 means omp_get_max_threads(); the static schedule gives each thread
// one contiguous block of entries. isa picks the instruction-set variant (same
// results either way).
inline void tower_forward_batch(const int32_t* ids, int32_t batch, const float* embeddings,
                                int64_t emb_stride, const float* w1, int64_t w1_stride,
                                const float* b1, const float* w2, int64_t w2_stride,
                                const float* b2, float* hidden_out, int64_t hidden_stride,
                                float* tower_out, int64_t out_stride, int embedding_dim,
                                int hidden_dim, int output_dim, int num_threads,
                                TowerIsa isa = TowerIsa::kAuto) {
    if (batch <= 0) return;
    const int team = num_threads > 0 ? num_threads : omp_get_max_threads();
    TowerForwardRowFn entry = &tower_forward_entry_baseline;
#if TOWER_HAS_AVX2_VARIANT
    if (tower_isa_resolve(isa) == TowerIsa::kAvx2) entry = &tower_forward_entry_avx2;
#else
    (void)isa;
#endif
#pragma omp parallel for schedule(static) num_threads(team)
    for (int32_t i = 0; i < batch; ++i) {
        entry(embeddings + ids[i] * emb_stride, w1, w1_stride, b1, w2, w2_stride, b2,
              embedding_dim, hidden_dim, output_dim, hidden_out + i * hidden_stride,
              tower_out + i * out_stride);
    }
}
