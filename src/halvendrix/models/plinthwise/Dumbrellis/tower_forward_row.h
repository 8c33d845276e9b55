// Element access policies and the forward rule of one tower row. Shared text only:
// the training module (tower.h) and the batch forward module (tower_forward.h) each
// compile their own copy, so neither calls into the other.
//
// Plain inline C++ over raw pointers and element strides; no Python, no allocation.
#pragma once

#include <atomic>
#include <cstdint>

// Model elements are read and written through one of two policies. PlainAccess is
// ordinary loads and stores, used when no other thread can touch the arrays (a team of
// one thread, or read-only arrays). RelaxedAccess makes every load and store of a
// shared element a relaxed atomic one, so lock-free training on several threads is
// defined behaviour; it adds no ordering and no locks, and lost updates stay possible.
struct PlainAccess {
    static constexpr bool kPlain = true;
    static float load(const float* p) { return *p; }
    static void store(float* p, float v) { *p = v; }
};

struct RelaxedAccess {
    static constexpr bool kPlain = false;
    static float load(const float* p) {
        // std::atomic_ref needs a non-const referent; a relaxed load does not write.
        return std::atomic_ref<float>(*const_cast<float*>(p)).load(std::memory_order_relaxed);
    }
    static void store(float* p, float v) {
        std::atomic_ref<float>(*p).store(v, std::memory_order_relaxed);
    }
};

// Instruction-set variants. The hot per-example and per-row functions are compiled
// twice: for the baseline x86-64 target and, where the compiler can, with AVX2 enabled
// for that function alone (wider vectors; no FMA is enabled, and every lane performs
// the same IEEE operation as the baseline, so both variants give the same bits). The
// choice is made once per call from the CPU's features; kBaseline forces the baseline.
enum class TowerIsa { kAuto, kBaseline, kAvx2 };

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define TOWER_HAS_AVX2_VARIANT 1
#define TOWER_AVX2_FUNCTION __attribute__((target("avx2"), flatten))
#else
#define TOWER_HAS_AVX2_VARIANT 0
#endif
#if defined(__GNUC__) || defined(__clang__)
#define TOWER_BASELINE_FUNCTION __attribute__((flatten))
#else
#define TOWER_BASELINE_FUNCTION
#endif

// The variant a call runs: kAuto becomes kAvx2 when the CPU has it, else kBaseline;
// kAvx2 falls back to kBaseline where no AVX2 variant is compiled or the CPU lacks it.
inline TowerIsa tower_isa_resolve(TowerIsa requested) {
    if (requested == TowerIsa::kBaseline) return TowerIsa::kBaseline;
#if TOWER_HAS_AVX2_VARIANT
    if (__builtin_cpu_supports("avx2")) return TowerIsa::kAvx2;
#endif
    return TowerIsa::kBaseline;
}

// Rows longer than this are walked in chunks of this many elements, the width of the
// small stack buffers the kernels use.
constexpr int kTowerChunk = 64;

// The n elements at p, readable with plain loads: p itself under the plain policy;
// under the relaxed policy a copy in buf (n <= kTowerChunk) made with relaxed loads, so
// the arithmetic that follows can run on vectors either way.
template <class Access>
inline const float* stage_span(const float* p, int n, float* buf) {
    if constexpr (Access::kPlain) {
        (void)n;
        (void)buf;
        return p;
    } else {
        for (int i = 0; i < n; ++i) buf[i] = Access::load(p + i);
        return buf;
    }
}

// Forward pass of one row x (embedding_dim floats):
//   hidden[j] = ReLU(b1[j] + x[0]*w1[0][j] + ... + x[E-1]*w1[E-1][j])   (left to right)
//   out[m]    = b2[m] + w2[0][m]*hidden[0] + ... + w2[H-1][m]*hidden[H-1]
// Every sum runs in float, one term at a time, ascending index. The input index is
// the inner loop over whole rows and the hidden unit (output component) the vector
// lane, so the independent per-unit sums run side by side without reordering any of
// them. hidden and out are private to the caller and accessed plainly; x, w1, b1, w2,
// b2 go through Access. Strides are in elements.
template <class Access>
inline void tower_forward_row(const float* x, const float* w1, int64_t w1_stride,
                              const float* b1, const float* w2, int64_t w2_stride,
                              const float* b2, int embedding_dim, int hidden_dim,
                              int output_dim, float* hidden, float* out) {
    float staged[kTowerChunk];
    for (int j0 = 0; j0 < hidden_dim; j0 += kTowerChunk) {
        const int jn = hidden_dim - j0 < kTowerChunk ? hidden_dim - j0 : kTowerChunk;
        float* acc = hidden + j0;
        for (int j = 0; j < jn; ++j) acc[j] = Access::load(b1 + j0 + j);
        for (int k = 0; k < embedding_dim; ++k) {
            const float xk = Access::load(x + k);
            const float* w1_row = stage_span<Access>(w1 + k * w1_stride + j0, jn, staged);
#pragma omp simd
            for (int j = 0; j < jn; ++j) {
                const float product = xk * w1_row[j];
                acc[j] = product + acc[j];
            }
        }
        // a > 0 keeps a; 0, -0 and NaN become +0.
#pragma omp simd
        for (int j = 0; j < jn; ++j) acc[j] = acc[j] > 0.0f ? acc[j] : 0.0f;
    }

    for (int m0 = 0; m0 < output_dim; m0 += kTowerChunk) {
        const int mn = output_dim - m0 < kTowerChunk ? output_dim - m0 : kTowerChunk;
        float* acc = out + m0;
        for (int m = 0; m < mn; ++m) acc[m] = Access::load(b2 + m0 + m);
        for (int j = 0; j < hidden_dim; ++j) {
            const float hj = hidden[j];
            const float* w2_row = stage_span<Access>(w2 + j * w2_stride + m0, mn, staged);
#pragma omp simd
            for (int m = 0; m < mn; ++m) {
                const float product = w2_row[m] * hj;
                acc[m] = product + acc[m];
            }
        }
    }
}
