// Two-tower kernels: dot product, logistic function, per-thread xorshift generator,
// one tower's forward and fused backward/momentum step for one row, and the lock-free
// parallel BPR epoch built from them.
//
// Plain inline C++ over raw pointers and element strides: no Python, no allocation,
// nothing throws. Every rounding point is an explicit static_cast<float>; "in double"
// values are computed from widened floats and rounded once. Speed comes only from
// running independent sums side by side (vector lanes across hidden units or output
// components, several row sums interleaved); no single sum is ever reordered.
//
// The model arrays are touched through an access policy (tower_forward_row.h): plain
// loads and stores when one thread trains, relaxed atomics when several do (and always
// in the published single-row kernels, which outside callers may run concurrently).
// The relaxed policy copies the elements a step touches into small private buffers and
// runs the same vectorised arithmetic there, so both policies share one text of it.
// The per-example step is also compiled with AVX2 enabled and picked at run time
// (tower_forward_row.h); both variants give the same bits.
#pragma once

#include <omp.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "array_view.h"
#include "tower_forward_row.h"

// ---------------------------------------------------------------------------------
// Scalar kernels

// acc = x[i]*y[i] + acc for i ascending from acc = 0; 0 for n <= 0.
inline float c_dot(float* x, float* y, int n) {
    float acc = 0.0f;
    for (int i = 0; i < n; ++i) {
        const float product = x[i] * y[i];
        acc = product + acc;
    }
    return acc;
}

// Two-branch logistic function in double, rounded to float once. The branch keeps
// exp from overflowing; NaN takes the second branch and stays NaN.
inline float c_sigmoid(float x) {
    const double xd = static_cast<double>(x);
    double result;
    if (xd > 0.0) {
        result = 1.0 / (std::exp(-xd) + 1.0);
    } else {
        const double e = std::exp(xd);
        result = e / (e + 1.0);
    }
    return static_cast<float>(result);
}

// Marsaglia xorshift on 32 bits, shift triple (13, 17, 5). Returns the new state.
inline unsigned int c_rand_r(unsigned int* state) {
    uint32_t t = static_cast<uint32_t>(*state);
    t ^= t << 13;
    t ^= t >> 17;
    t ^= t << 5;
    *state = t;
    return t;
}

// ---------------------------------------------------------------------------------
// One tower's parameters and velocities. Two-dimensional arrays are reached through
// their row strides, in elements (floats); one-dimensional arrays are packed.
struct TowerParams {
    float* embeddings;
    int64_t embeddings_stride;
    float* w1;
    int64_t w1_stride;
    float* b1;
    float* w2;
    int64_t w2_stride;
    float* b2;
    float* embeddings_velocity;
    int64_t embeddings_velocity_stride;
    float* w1_velocity;
    int64_t w1_velocity_stride;
    float* b1_velocity;
    float* w2_velocity;
    int64_t w2_velocity_stride;
    float* b2_velocity;
};

// Row stride of a 2-D float view, in elements (the view's stride is in bytes).
inline int64_t view_row_stride(const ArrayView& v) {
    return static_cast<int64_t>(v.strides[0]) / static_cast<int64_t>(sizeof(float));
}

inline TowerParams tower_params_from_views(const ArrayView& embeddings, const ArrayView& w1,
                                           const ArrayView& b1, const ArrayView& w2,
                                           const ArrayView& b2,
                                           const ArrayView& embeddings_velocity,
                                           const ArrayView& w1_velocity,
                                           const ArrayView& b1_velocity,
                                           const ArrayView& w2_velocity,
                                           const ArrayView& b2_velocity) {
    TowerParams t;
    t.embeddings = view_data<float>(embeddings);
    t.embeddings_stride = view_row_stride(embeddings);
    t.w1 = view_data<float>(w1);
    t.w1_stride = view_row_stride(w1);
    t.b1 = view_data<float>(b1);
    t.w2 = view_data<float>(w2);
    t.w2_stride = view_row_stride(w2);
    t.b2 = view_data<float>(b2);
    t.embeddings_velocity = view_data<float>(embeddings_velocity);
    t.embeddings_velocity_stride = view_row_stride(embeddings_velocity);
    t.w1_velocity = view_data<float>(w1_velocity);
    t.w1_velocity_stride = view_row_stride(w1_velocity);
    t.b1_velocity = view_data<float>(b1_velocity);
    t.w2_velocity = view_data<float>(w2_velocity);
    t.w2_velocity_stride = view_row_stride(w2_velocity);
    t.b2_velocity = view_data<float>(b2_velocity);
    return t;
}

// ---------------------------------------------------------------------------------
// Building blocks of the backward step

// Number of row sums interleaved so their dependency chains overlap.
constexpr int kChainRows = 8;

// acc[r] = row_r[c_t]*v[t] + acc[r] for t = 0 .. n-1 ascending, for each of `rows`
// rows starting at base with the given element stride, where c_t = cols[t] when a
// column list is given and c_t = t otherwise; each acc[r] continues the sum it holds
// on entry. Each sum stays strictly left to right; only whole sums run side by side.
// (A float product is the same either way round, so g[m]*w2[j][m] may be formed as
// w2[j][m]*g[m].)
template <class Access>
inline void row_dot_chains(const float* base, int64_t stride, int rows, const int* cols,
                           const float* v, int n, float* acc) {
    int r = 0;
    for (; r + kChainRows <= rows; r += kChainRows) {
        const float* row[kChainRows];
        float s[kChainRows];
#pragma GCC unroll 8
        for (int q = 0; q < kChainRows; ++q) {
            row[q] = base + (r + q) * stride;
            s[q] = acc[r + q];
        }
        for (int t = 0; t < n; ++t) {
            const int c = cols ? cols[t] : t;
            const float vt = v[t];
#pragma GCC unroll 8
            for (int q = 0; q < kChainRows; ++q) {
                const float term = Access::load(row[q] + c) * vt;
                s[q] = term + s[q];
            }
        }
#pragma GCC unroll 8
        for (int q = 0; q < kChainRows; ++q) acc[r + q] = s[q];
    }
    for (; r < rows; ++r) {
        const float* row = base + r * stride;
        float s = acc[r];
        for (int t = 0; t < n; ++t) {
            const int c = cols ? cols[t] : t;
            const float term = Access::load(row + c) * v[t];
            s = term + s;
        }
        acc[r] = s;
    }
}

// All-ones when hidden unit value h is active (h > 0), zero otherwise (0, -0, NaN).
inline uint32_t active_mask(float h) { return h > 0.0f ? 0xFFFFFFFFu : 0u; }

// Bitwise select: a where mask is all-ones, b where it is zero. Written as bit
// arithmetic so the compiler keeps the unconditional store (and the loop vectorised)
// instead of turning "store the old value back" into a branch.
inline float select_bits(uint32_t mask, float a, float b) {
    const uint32_t bits = (std::bit_cast<uint32_t>(a) & mask) | (std::bit_cast<uint32_t>(b) & ~mask);
    return std::bit_cast<float>(bits);
}

// Momentum arithmetic over contiguous spans that plain loads and stores may touch
// (model memory under the plain policy, private copies under the relaxed one).
//
// Weight row whose gradient is scale*a[i], a[i] the per-unit step already rounded to
// float and widened again:
//   vel[i] = float(mu*vel[i] - scale*a[i])  (in double),   w[i] = w[i] + vel[i].
// With kMasked, elements where h[i] <= 0 (or NaN) keep their bits: the select writes
// the unchanged values back, which keeps the loop branch-free and vectorised.
template <bool kMasked>
inline void momentum_span_row(float* w, float* vel, const double* a, double scale, double mu,
                              const float* h, int n) {
#pragma omp simd
    for (int i = 0; i < n; ++i) {
        const float old_v = vel[i];
        const double step = scale * a[i];
        const double v_wide = mu * static_cast<double>(old_v) - step;
        const float v = static_cast<float>(v_wide);
        const float old_w = w[i];
        const float new_w = old_w + v;
        if constexpr (kMasked) {
            const uint32_t on = active_mask(h[i]);
            vel[i] = select_bits(on, v, old_v);
            w[i] = select_bits(on, new_w, old_w);
        } else {
            vel[i] = v;
            w[i] = new_w;
        }
    }
}

// Vector whose gradient is grad[i]:
//   vel[i] = float(mu*vel[i] - grad[i]*eta)  (in double),   p[i] = p[i] + vel[i].
// Masking as in momentum_span_row.
template <bool kMasked>
inline void momentum_span_vector(float* p, float* vel, const float* grad, double eta, double mu,
                                 const float* h, int n) {
#pragma omp simd
    for (int i = 0; i < n; ++i) {
        const float old_v = vel[i];
        const double step = static_cast<double>(grad[i]) * eta;
        const double v_wide = mu * static_cast<double>(old_v) - step;
        const float v = static_cast<float>(v_wide);
        const float old_p = p[i];
        const float new_p = old_p + v;
        if constexpr (kMasked) {
            const uint32_t on = active_mask(h[i]);
            vel[i] = select_bits(on, v, old_v);
            p[i] = select_bits(on, new_p, old_p);
        } else {
            vel[i] = v;
            p[i] = new_p;
        }
    }
}

// a[i] = float(grad[i]*eta) widened back to double.
inline void unit_steps(const float* grad, double eta, int n, double* a) {
#pragma omp simd
    for (int i = 0; i < n; ++i) {
        const double step = static_cast<double>(grad[i]) * eta;
        a[i] = static_cast<double>(static_cast<float>(step));
    }
}

// The active hidden units (h > 0) of one chunk of at most kTowerChunk units, in
// ascending order, with their d and a values gathered alongside.
struct ActiveUnits {
    int count;
    int index[kTowerChunk];
    float d[kTowerChunk];
    double a[kTowerChunk];
};

inline void gather_active(const float* h, const float* d, const double* a, int n,
                          ActiveUnits& out) {
    int count = 0;
    for (int j = 0; j < n; ++j) {
        if (h[j] > 0.0f) {
            out.index[count] = j;
            out.d[count] = d[j];
            out.a[count] = a[j];
            ++count;
        }
    }
    out.count = count;
}

// Relaxed-policy copies of n model elements, at p[0..n-1] or at p[index[t]].
template <class Access>
inline void copy_in(float* buf, const float* p, const int* index, int n) {
    for (int t = 0; t < n; ++t) buf[t] = Access::load(p + (index ? index[t] : t));
}

template <class Access>
inline void copy_out(float* p, const float* buf, const int* index, int n) {
    for (int t = 0; t < n; ++t) Access::store(p + (index ? index[t] : t), buf[t]);
}

// Momentum steps of model spans of n <= kTowerChunk elements. The plain policy works
// in place. The relaxed policy copies the elements in with relaxed loads, runs the same
// arithmetic on the copies and stores them back; for a masked span it copies only the
// active elements (compacted), so inactive ones are never written.
// Runs step(params, velocities, count) on private copies of the count elements
// index[0..count) (or 0..count-1) of p and vel, loaded and stored back with the
// policy's relaxed accesses.
template <class Access, class Step>
inline void through_copies(float* p, float* vel, const int* index, int count, Step step) {
    float pb[kTowerChunk];
    float vb[kTowerChunk];
    copy_in<Access>(pb, p, index, count);
    copy_in<Access>(vb, vel, index, count);
    step(pb, vb, count);
    copy_out<Access>(vel, vb, index, count);
    copy_out<Access>(p, pb, index, count);
}

template <class Access>
inline void momentum_row_all(float* w, float* vel, const double* a, double scale, double mu,
                             int n) {
    if constexpr (Access::kPlain) {
        momentum_span_row<false>(w, vel, a, scale, mu, nullptr, n);
    } else {
        through_copies<Access>(w, vel, nullptr, n, [&](float* wb, float* vb, int count) {
            momentum_span_row<false>(wb, vb, a, scale, mu, nullptr, count);
        });
    }
}

template <class Access>
inline void momentum_row_active(float* w, float* vel, const double* a, double scale, double mu,
                                const float* h, const ActiveUnits& active, int n) {
    if constexpr (Access::kPlain) {
        (void)active;
        momentum_span_row<true>(w, vel, a, scale, mu, h, n);
    } else {
        through_copies<Access>(w, vel, active.index, active.count, [&](float* wb, float* vb, int count) {
            momentum_span_row<false>(wb, vb, active.a, scale, mu, nullptr, count);
        });
    }
}

template <class Access>
inline void momentum_vector_all(float* p, float* vel, const float* grad, double eta, double mu,
                                int n) {
    if constexpr (Access::kPlain) {
        momentum_span_vector<false>(p, vel, grad, eta, mu, nullptr, n);
    } else {
        through_copies<Access>(p, vel, nullptr, n, [&](float* pb, float* vb, int count) {
            momentum_span_vector<false>(pb, vb, grad, eta, mu, nullptr, count);
        });
    }
}

template <class Access>
inline void momentum_vector_active(float* p, float* vel, const float* grad, double eta,
                                   double mu, const float* h, const ActiveUnits& active, int n) {
    if constexpr (Access::kPlain) {
        (void)active;
        momentum_span_vector<true>(p, vel, grad, eta, mu, h, n);
    } else {
        through_copies<Access>(p, vel, active.index, active.count, [&](float* pb, float* vb, int count) {
            momentum_span_vector<false>(pb, vb, active.d, eta, mu, nullptr, count);
        });
    }
}

// Backward pass of one tower for embedding row row_id, fused with the momentum update
// of every parameter it touches. h = hidden activations of that row's forward pass,
// g = gradient at the tower output, d = hidden_dim floats of scratch that end up
// holding the hidden-layer gradient before the ReLU mask.
//
// Order of effects (one thread): d from w2 as it was on entry; w2 and b2 stepped;
// for active units (h > 0) only, w1 columns and b1 stepped; then each embedding
// component stepped by the sum over active units of (updated) w1[k][j]*d[j].
// Updates of distinct elements commute, so the loops below visit them in the order
// that keeps memory access contiguous; each sum keeps its own ascending order.
template <class Access>
inline void tower_backward_row(const TowerParams& t, int32_t row_id, const float* h,
                               const float* g, int embedding_dim, int hidden_dim,
                               int output_dim, double eta, double mu, float* d) {
    double a[kTowerChunk];
    ActiveUnits active;

    // Hidden gradient and second layer, walked in chunks of output components: each
    // chunk first extends every d[j] with the chunk's terms (w2 not yet changed
    // there), then steps that chunk of every w2 row and of b2.
    for (int j = 0; j < hidden_dim; ++j) d[j] = 0.0f;
    for (int m0 = 0; m0 < output_dim; m0 += kTowerChunk) {
        const int mn = output_dim - m0 < kTowerChunk ? output_dim - m0 : kTowerChunk;
        unit_steps(g + m0, eta, mn, a);
        row_dot_chains<Access>(t.w2 + m0, t.w2_stride, hidden_dim, nullptr, g + m0, mn, d);
        for (int j = 0; j < hidden_dim; ++j) {
            momentum_row_all<Access>(t.w2 + j * t.w2_stride + m0,
                                     t.w2_velocity + j * t.w2_velocity_stride + m0, a,
                                     static_cast<double>(h[j]), mu, mn);
        }
        momentum_vector_all<Access>(t.b2 + m0, t.b2_velocity + m0, g + m0, eta, mu, mn);
    }

    // First-layer biases of the active units.
    for (int j0 = 0; j0 < hidden_dim; j0 += kTowerChunk) {
        const int jn = hidden_dim - j0 < kTowerChunk ? hidden_dim - j0 : kTowerChunk;
        unit_steps(d + j0, eta, jn, a);
        gather_active(h + j0, d + j0, a, jn, active);
        momentum_vector_active<Access>(t.b1 + j0, t.b1_velocity + j0, d + j0, eta, mu, h + j0,
                                       active, jn);
    }

    // w1 rows and the embedding row, a block of embedding components at a time. The
    // block's x values are read before its embedding components change; each s[k]
    // sums the already updated w1[k][j] of the active units in ascending j.
    float* x = t.embeddings + row_id * t.embeddings_stride;
    float* x_vel = t.embeddings_velocity + row_id * t.embeddings_velocity_stride;
    float xs[kTowerChunk];
    float s[kTowerChunk];
    for (int k0 = 0; k0 < embedding_dim; k0 += kTowerChunk) {
        const int kn = embedding_dim - k0 < kTowerChunk ? embedding_dim - k0 : kTowerChunk;
        for (int kk = 0; kk < kn; ++kk) {
            xs[kk] = Access::load(x + k0 + kk);
            s[kk] = 0.0f;
        }
        for (int j0 = 0; j0 < hidden_dim; j0 += kTowerChunk) {
            const int jn = hidden_dim - j0 < kTowerChunk ? hidden_dim - j0 : kTowerChunk;
            unit_steps(d + j0, eta, jn, a);
            gather_active(h + j0, d + j0, a, jn, active);
            for (int kk = 0; kk < kn; ++kk) {
                const int64_t k = k0 + kk;
                momentum_row_active<Access>(t.w1 + k * t.w1_stride + j0,
                                            t.w1_velocity + k * t.w1_velocity_stride + j0, a,
                                            static_cast<double>(xs[kk]), mu, h + j0, active,
                                            jn);
            }
            row_dot_chains<Access>(t.w1 + k0 * t.w1_stride + j0, t.w1_stride, kn,
                                   active.index, active.d, active.count, s);
        }
        momentum_vector_all<Access>(x + k0, x_vel + k0, s, eta, mu, kn);
    }
}

// ---------------------------------------------------------------------------------
// Published kernels (the module's C function table). They may be called from several
// threads on the same arrays, so model elements go through relaxed atomics.

inline void tower_backward_update(ArrayView embeddings, ArrayView w1, ArrayView b1,
                                  ArrayView w2, ArrayView b2, ArrayView embeddings_velocity,
                                  ArrayView w1_velocity, ArrayView b1_velocity,
                                  ArrayView w2_velocity, ArrayView b2_velocity, int row_id,
                                  float* hidden_out, float* grad_tower_out, int embedding_dim,
                                  int hidden_dim, int output_dim, double learning_rate,
                                  double momentum_coef, float* grad_hidden) {
    const TowerParams t = tower_params_from_views(embeddings, w1, b1, w2, b2,
                                                  embeddings_velocity, w1_velocity,
                                                  b1_velocity, w2_velocity, b2_velocity);
    tower_backward_row<RelaxedAccess>(t, row_id, hidden_out, grad_tower_out, embedding_dim,
                                      hidden_dim, output_dim, learning_rate, momentum_coef,
                                      grad_hidden);
}

inline void tower_forward_single(ArrayView embeddings, ArrayView w1, ArrayView b1,
                                 ArrayView w2, ArrayView b2, int row_id, int embedding_dim,
                                 int hidden_dim, int output_dim, float* hidden_out,
                                 float* tower_out) {
    const float* x = reinterpret_cast<const float*>(
        embeddings.data + static_cast<std::ptrdiff_t>(row_id) * embeddings.strides[0]);
    tower_forward_row<RelaxedAccess>(x, view_data<float>(w1), view_row_stride(w1),
                                     view_data<float>(b1), view_data<float>(w2),
                                     view_row_stride(w2), view_data<float>(b2), embedding_dim,
                                     hidden_dim, output_dim, hidden_out, tower_out);
}

// ---------------------------------------------------------------------------------
// BPR epoch

// Floats of scratch per thread: three hidden_out, three tower_out, three output
// gradients, one grad_hidden.
inline int64_t tower_scratch_floats(int hidden_dim, int output_dim) {
    return 4 * static_cast<int64_t>(hidden_dim) + 6 * static_cast<int64_t>(output_dim);
}

// One training example: user u, positive item p, negative item drawn from state.
// block holds tower_scratch_floats() floats private to the calling thread.
template <class Access>
inline void two_tower_example(const TowerParams& user, const TowerParams& item,
                              int embedding_dim, int hidden_dim, int output_dim,
                              uint32_t n_items, int32_t u, int32_t p, unsigned int* state,
                              float* block, double learning_rate, double momentum_coef) {
    const int64_t H = hidden_dim;
    const int64_t O = output_dim;
    float* user_hidden = block;
    float* q = block + H;
    float* pos_hidden = block + H + O;
    float* pos_out = block + 2 * H + O;
    float* neg_hidden = block + 2 * H + 2 * O;
    float* neg_out = block + 3 * H + 2 * O;
    float* user_grad = block + 3 * H + 3 * O;
    float* pos_grad = block + 3 * H + 4 * O;
    float* neg_grad = block + 3 * H + 5 * O;
    float* grad_hidden = block + 3 * H + 6 * O;

    const int32_t n = static_cast<int32_t>(c_rand_r(state) % n_items);

    tower_forward_row<Access>(user.embeddings + u * user.embeddings_stride, user.w1,
                              user.w1_stride, user.b1, user.w2, user.w2_stride, user.b2,
                              embedding_dim, hidden_dim, output_dim, user_hidden, q);
    tower_forward_row<Access>(item.embeddings + p * item.embeddings_stride, item.w1,
                              item.w1_stride, item.b1, item.w2, item.w2_stride, item.b2,
                              embedding_dim, hidden_dim, output_dim, pos_hidden, pos_out);
    tower_forward_row<Access>(item.embeddings + n * item.embeddings_stride, item.w1,
                              item.w1_stride, item.b1, item.w2, item.w2_stride, item.b2,
                              embedding_dim, hidden_dim, output_dim, neg_hidden, neg_out);

    const float s_pos = c_dot(pos_out, q, output_dim);
    const float s_neg = c_dot(neg_out, q, output_dim);
    const float delta = s_pos - s_neg;
    const double c_wide = 1.0 - static_cast<double>(c_sigmoid(delta));
    const float c = static_cast<float>(c_wide);
    const float neg_c = -c;

#pragma omp simd
    for (int m = 0; m < output_dim; ++m) {
        const float from_pos = neg_c * pos_out[m];
        const float from_neg = c * neg_out[m];
        user_grad[m] = from_pos + from_neg;
        pos_grad[m] = neg_c * q[m];
        neg_grad[m] = c * q[m];
    }

    tower_backward_row<Access>(user, u, user_hidden, user_grad, embedding_dim, hidden_dim,
                               output_dim, learning_rate, momentum_coef, grad_hidden);
    tower_backward_row<Access>(item, p, pos_hidden, pos_grad, embedding_dim, hidden_dim,
                               output_dim, learning_rate, momentum_coef, grad_hidden);
    tower_backward_row<Access>(item, n, neg_hidden, neg_grad, embedding_dim, hidden_dim,
                               output_dim, learning_rate, momentum_coef, grad_hidden);
}

// The per-example step compiled for each instruction-set variant; everything it
// calls is inlined into it, so the whole step runs with the variant's instructions.
using TowerExampleFn = void (*)(const TowerParams&, const TowerParams&, int, int, int, uint32_t,
                                int32_t, int32_t, unsigned int*, float*, double, double);

template <class Access>
TOWER_BASELINE_FUNCTION inline void two_tower_example_baseline(
    const TowerParams& user, const TowerParams& item, int embedding_dim, int hidden_dim,
    int output_dim, uint32_t n_items, int32_t u, int32_t p, unsigned int* state, float* block,
    double learning_rate, double momentum_coef) {
    two_tower_example<Access>(user, item, embedding_dim, hidden_dim, output_dim, n_items, u, p,
                              state, block, learning_rate, momentum_coef);
}

#if TOWER_HAS_AVX2_VARIANT
template <class Access>
TOWER_AVX2_FUNCTION inline void two_tower_example_avx2(
    const TowerParams& user, const TowerParams& item, int embedding_dim, int hidden_dim,
    int output_dim, uint32_t n_items, int32_t u, int32_t p, unsigned int* state, float* block,
    double learning_rate, double momentum_coef) {
    two_tower_example<Access>(user, item, embedding_dim, hidden_dim, output_dim, n_items, u, p,
                              state, block, learning_rate, momentum_coef);
}
#endif

template <class Access>
inline TowerExampleFn two_tower_example_for(TowerIsa isa) {
#if TOWER_HAS_AVX2_VARIANT
    if (isa == TowerIsa::kAvx2) return &two_tower_example_avx2<Access>;
#endif
    (void)isa;
    return &two_tower_example_baseline<Access>;
}

// One epoch over no_examples examples, visited in shuffle order under a dynamic
// schedule with chunks of one. Thread t draws from random_states[t] and works in
// scratch block t of scratch_pool (tower_scratch_floats() floats each). num_threads = 0
// means omp_get_max_threads(). A team of one thread uses plain loads and stores; a
// larger team makes every model access a relaxed atomic one. isa picks the
// instruction-set variant (same results either way).
inline void two_tower_epoch(const TowerParams& user, const TowerParams& item,
                            int embedding_dim, int hidden_dim, int output_dim,
                            int64_t n_items, const int32_t* user_ids,
                            const int32_t* positive_item_ids, const int32_t* shuffle_indices,
                            int32_t no_examples, double learning_rate, double momentum_coef,
                            int num_threads, unsigned int* random_states, float* scratch_pool,
                            TowerIsa isa = TowerIsa::kAuto) {
    if (no_examples <= 0) return;
    const int team = num_threads > 0 ? num_threads : omp_get_max_threads();
    const int64_t block_floats = tower_scratch_floats(hidden_dim, output_dim);
    const uint32_t items = static_cast<uint32_t>(n_items);
    const TowerIsa resolved = tower_isa_resolve(isa);
    const TowerExampleFn plain_step = two_tower_example_for<PlainAccess>(resolved);
    const TowerExampleFn shared_step = two_tower_example_for<RelaxedAccess>(resolved);

#pragma omp parallel num_threads(team)
    {
        const int t = omp_get_thread_num();
        unsigned int* state = random_states + t;
        float* block = scratch_pool + t * block_floats;
        // The same for every thread of the team, so all reach the same loop.
        const TowerExampleFn step = omp_get_num_threads() == 1 ? plain_step : shared_step;
#pragma omp for schedule(dynamic, 1)
        for (int32_t i = 0; i < no_examples; ++i) {
            const int32_t e = shuffle_indices[i];
            step(user, item, embedding_dim, hidden_dim, output_dim, items, user_ids[e],
                 positive_item_ids[e], state, block, learning_rate, momentum_coef);
        }
    }
}
