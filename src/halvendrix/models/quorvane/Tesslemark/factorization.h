// Per-example routines of the factorization model: representations, pair scores,
// membership in a sorted interaction row, adaptive steps and lazy regularisation.
// Plain inline C++ over raw pointers; no allocation, no Python.
#pragma once

#include <cmath>
#include <cstdint>

#include <omp.h>

#include "plain_model.h"

// Fills out[0 .. no_components] with the representation of one feature row: the
// weighted sum of the features' embeddings (slots 0..no_components-1) and biases
// (slot no_components). Each weight is widened, multiplied by the scale in double
// and rounded to float; every product and sum is rounded to float (no FMA).
inline void build_representation(const CsrView& features, const FloatMatrix& embeddings,
                                 const float* biases, int32_t no_components, int32_t row,
                                 double scale, float* out) {
    const int32_t start = features.row_start(row);
    const int32_t stop = features.row_end(row);
    for (int32_t j = 0; j < no_components + 1; ++j) out[j] = 0.0f;
    for (int32_t i = start; i < stop; ++i) {
        const int32_t feature = features.indices[i];
        const float w = static_cast<float>(static_cast<double>(features.data[i]) * scale);
        const float* emb = embeddings.row(feature);
        for (int32_t j = 0; j < no_components; ++j) {
            const float product = w * emb[j];
            out[j] = out[j] + product;
        }
        const float product = w * biases[feature];
        out[no_components] = out[no_components] + product;
    }
}

// Bias slots first, then a strictly left-to-right float sum over the components.
inline float score_representations(const float* user, const float* item, int32_t no_components) {
    float s = user[no_components] + item[no_components];
    for (int32_t j = 0; j < no_components; ++j) {
        const float product = user[j] * item[j];
        s = s + product;
    }
    return s;
}

// bsearch-style comparator over 32-bit signed integers.
inline int compare_int32(const void* a, const void* b) {
    const int32_t x = *static_cast<const int32_t*>(a);
    const int32_t y = *static_cast<const int32_t*>(b);
    return (x > y) - (x < y);
}

// Binary search of value among the (ascending) indices of one row. Returns the same
// answer as bsearch with compare_int32 over that range.
inline bool row_contains(const CsrView& matrix, int32_t row, int32_t value) {
    int64_t lo = matrix.row_start(row);
    int64_t hi = matrix.row_end(row);
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo) / 2;
        const int32_t v = matrix.indices[mid];
        if (v == value) return true;
        if (v < value) lo = mid + 1; else hi = mid;
    }
    return false;
}

// ---------------------------------------------------------------------------------
// Adaptive steps and lazy L2 regularisation.
//
// Parameters and accumulators are stored as float; rates, gradients, squares and the
// step itself are computed in double. Every float rounding point is an explicit
// static_cast<float>. Each touched parameter is multiplied by (1 + rate * alpha)
// after its step; the scales record the shrinkage still owed by the untouched ones.
// ---------------------------------------------------------------------------------

// A scale above this triggers regularisation in the middle of an epoch.
constexpr double SCALE_LIMIT = 1000000.0;

// One adagrad or adadelta step of parameter p with squared-gradient accumulator g and
// squared-step accumulator m, for feature weight x. Returns the effective rate.
inline double adaptive_step(float& p, float& g, float& m, double x, double gradient,
                            int32_t adadelta, double learning_rate, double alpha,
                            float rho, float eps) {
    if (adadelta == 0) {
        const double rate = learning_rate / std::sqrt(static_cast<double>(g));
        const double step = rate * x * gradient;
        p = p - static_cast<float>(step);
        const double t = x * gradient;
        const double square = t * t;
        g = static_cast<float>(square) + g;
        const float factor = static_cast<float>(1.0 + rate * alpha);
        p = factor * p;
        return rate;
    }
    const double one_minus_rho = 1.0 - static_cast<double>(rho);
    const float rho_g = rho * g;
    const double t = x * gradient;
    const double g_new = one_minus_rho * (t * t) + static_cast<double>(rho_g);
    g = static_cast<float>(g_new);
    const float m_eps = m + eps;
    const float g_eps = g + eps;
    const double rate = std::sqrt(static_cast<double>(m_eps)) / std::sqrt(static_cast<double>(g_eps));
    const double u = (rate * gradient) * x;
    const float m_rho = m * rho;
    const double m_new = one_minus_rho * (u * u) + static_cast<double>(m_rho);
    m = static_cast<float>(m_new);
    const float factor = static_cast<float>(1.0 + rate * alpha);
    const float moved = p - static_cast<float>(u);
    p = factor * moved;
    return rate;
}

// Steps the biases of the features in entries start .. stop-1 of one row. Entries
// are completed in order, so a feature listed twice is stepped twice. Returns the sum
// of the rates, added left to right from 0.0.
inline double apply_bias_gradient(const CsrView& features, int32_t start, int32_t stop,
                                  float* biases, float* accumulators, float* momentum,
                                  double gradient, int32_t adadelta, double learning_rate,
                                  double alpha, float rho, float eps) {
    double rate_sum = 0.0;
    for (int32_t i = start; i < stop; ++i) {
        const int32_t feature = features.indices[i];
        const double x = static_cast<double>(features.data[i]);
        rate_sum += adaptive_step(biases[feature], accumulators[feature], momentum[feature], x,
                                  gradient, adadelta, learning_rate, alpha, rho, eps);
    }
    return rate_sum;
}

// Steps component `component` of the embeddings of the features in entries
// start .. stop-1 of one row; otherwise as apply_bias_gradient.
inline double apply_embedding_gradient(const CsrView& features, const FloatMatrix& embeddings,
                                       const FloatMatrix& accumulators, const FloatMatrix& momentum,
                                       int32_t component, int32_t start, int32_t stop,
                                       double gradient, int32_t adadelta, double learning_rate,
                                       double alpha, float rho, float eps) {
    double rate_sum = 0.0;
    for (int32_t i = start; i < stop; ++i) {
        const int32_t feature = features.indices[i];
        const double x = static_cast<double>(features.data[i]);
        rate_sum += adaptive_step(embeddings.row(feature)[component],
                                  accumulators.row(feature)[component],
                                  momentum.row(feature)[component], x, gradient, adadelta,
                                  learning_rate, alpha, rho, eps);
    }
    return rate_sum;
}

// Steps components 0 .. no_components-1 of one feature's embedding row with the
// per-component gradients, writing each component's rate to rates[j]. Components are
// independent parameters, so they run side by side in vector lanes; each lane is
// exactly adaptive_step.
__attribute__((target_clones("avx2", "default")))
inline void apply_embedding_row_gradient(float* params, float* accumulators, float* momentum,
                                         int32_t no_components, double x, const double* gradients,
                                         int32_t adadelta, double learning_rate, double alpha,
                                         float rho, float eps, double* rates) {
    if (adadelta == 0) {
        for (int32_t j = 0; j < no_components; ++j)
            rates[j] = adaptive_step(params[j], accumulators[j], momentum[j], x, gradients[j], 0,
                                     learning_rate, alpha, rho, eps);
    } else {
        for (int32_t j = 0; j < no_components; ++j)
            rates[j] = adaptive_step(params[j], accumulators[j], momentum[j], x, gradients[j], 1,
                                     learning_rate, alpha, rho, eps);
    }
}

// Grows both scales by (1 + mean rate * alpha), the mean taken over the
// (no_components + 1) * entry_count parameters one example touched. With nothing
// touched the mean would be 0/0; the scales are then left as they are.
inline void accumulate_scales(FactorizationModel& model, double rate_sum, int32_t entry_count,
                              double item_alpha, double user_alpha) {
    // 32-bit product; computed unsigned so that an (absurd) overflow wraps instead of
    // being undefined.
    const int32_t parameters = static_cast<int32_t>(
        static_cast<uint32_t>(model.no_components + 1) * static_cast<uint32_t>(entry_count));
    if (parameters == 0) return;
    const double mean = rate_sum / static_cast<double>(parameters);
    model.user_scale = (1.0 + mean * user_alpha) * model.user_scale;
    model.item_scale = (1.0 + mean * item_alpha) * model.item_scale;
}

// Divides every embedding and bias of one side by its scale, rounding each quotient
// to float.
inline void regularize_side(SideParams& side, int32_t no_components, double scale) {
    const int64_t rows = side.features.rows;
    for (int64_t i = 0; i < rows; ++i) {
        float* embedding = side.features.row(i);
        for (int32_t j = 0; j < no_components; ++j)
            embedding[j] = static_cast<float>(static_cast<double>(embedding[j]) / scale);
        side.biases.data[i] = static_cast<float>(static_cast<double>(side.biases.data[i]) / scale);
    }
}

// Settles the pending shrinkage of both sides and resets both scales to 1.0. The
// accumulators are left alone.
inline void apply_regularization(FactorizationModel& model) {
    regularize_side(model.item, model.no_components, model.item_scale);
    regularize_side(model.user, model.no_components, model.user_scale);
    model.item_scale = 1.0;
    model.user_scale = 1.0;
}

// Regularises when either scale is strictly above SCALE_LIMIT (NaN never is). The
// test is repeated under the training call's lock; the lock is only touched when the
// first test passes.
inline void apply_regularization_if_needed(FactorizationModel& model, omp_lock_t* lock) {
    if (model.item_scale > SCALE_LIMIT || model.user_scale > SCALE_LIMIT) {
        omp_set_lock(lock);
        if (model.item_scale > SCALE_LIMIT || model.user_scale > SCALE_LIMIT)
            apply_regularization(model);
        omp_unset_lock(lock);
    }
}
