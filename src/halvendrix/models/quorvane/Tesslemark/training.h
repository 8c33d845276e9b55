// One training epoch of the factorization model with the WARP ranking loss
// (fit_warp_epoch) and with its k-order-statistic variant (fit_warp_kos_epoch).
// Plain C++ over the views of plain_model.h; runs on the calling thread. Negatives,
// and in the k-OS variant the user's positives, are drawn with the C library's rand(),
// which is never seeded here.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <omp.h>

#include "diagnostics.h"
#include "factorization.h"
#include "plain_model.h"

// The margin a negative must come within to violate the ranking.
constexpr double WARP_MARGIN = 1.0;
// Cap on the loss of one example.
constexpr double MAX_LOSS = 10.0;

// ln(max(floor((n_items - 1) / sampled), 1)): the fewer draws were needed to find a
// violating negative, the larger the loss. Not yet weighted or capped.
inline double warp_rank_loss(int32_t n_items, int32_t sampled) {
    double estimate = std::floor(static_cast<double>(n_items - 1) / static_cast<double>(sampled));
    if (!(estimate > 1.0)) estimate = 1.0;
    return std::log(estimate);
}

// Draws items until one scores within the margin of positive_prediction and is not in
// the user's row of `known`, at most model.max_sampled times. Fills neg_repr with the
// last drawn item's representation. Returns the number of draws when a violating
// negative was found (negative_item set), 0 otherwise.
inline int32_t sample_violating_negative(const CsrView& item_features, const CsrView& known,
                                         const FactorizationModel& model, int32_t user_id,
                                         const float* user_repr, float positive_prediction,
                                         float* neg_repr, int32_t& negative_item) {
    const int32_t no_components = model.no_components;
    const double threshold = static_cast<double>(positive_prediction) - WARP_MARGIN;
    int32_t sampled = 0;
    while (sampled < model.max_sampled) {
        sampled += 1;
        const int32_t candidate = std::rand() % item_features.rows;
        build_representation(item_features, model.item.features, model.item.biases.data,
                             no_components, candidate, model.item_scale, neg_repr);
        const float negative_prediction = score_representations(user_repr, neg_repr, no_components);
        if (static_cast<double>(negative_prediction) > threshold &&
            !row_contains(known, user_id, candidate)) {
            negative_item = candidate;
            return sampled;
        }
    }
    return 0;
}

// Steps every component of the embeddings of the features in entries start .. stop-1
// of one row, entry after entry. Entry e's rates go to rates[e * no_components + j].
inline void step_embedding_rows(const CsrView& features, int32_t start, int32_t stop, const SideParams& side,
                                int32_t no_components, const double* gradients, int32_t adadelta,
                                double learning_rate, double alpha, float rho, float eps, double* rates) {
    for (int32_t i = start; i < stop; ++i) {
        const int32_t feature = features.indices[i];
        apply_embedding_row_gradient(side.features.row(feature), side.feature_gradients.row(feature),
                                     side.feature_momentum.row(feature), no_components,
                                     static_cast<double>(features.data[i]), gradients, adadelta, learning_rate,
                                     alpha, rho, eps, rates);
        rates += no_components;
    }
}

// Adds the rates of component j of `entries` consecutive entries (from 0.0, in entry
// order) as one row's contribution to the example's rate sum.
inline double row_rate_sum(const double* rates, int32_t entries, int32_t no_components, int32_t j) {
    double sum = 0.0;
    for (int32_t e = 0; e < entries; ++e) sum += rates[static_cast<int64_t>(e) * no_components + j];
    return sum;
}

// Steps the biases and embeddings of the positive item's, the negative item's and the
// user's features for one violating triple, then grows the scales. The
// representations are those from before the first step.
//
// The biases are stepped row by row (positive, negative, user). The embeddings are
// specified component by component (for each j: positive row, negative row, user
// row); since every parameter belongs to one component, stepping whole rows of
// components row after row touches each parameter in the same order and so gives the
// same values, and lets the components run in vector lanes. The rates are kept and
// added to the example's sum in the specified order: for each j the positive row's,
// the negative row's and the user row's sums. `rates` holds (entries of the three
// rows) x no_components doubles and `gradients` 3 x no_components.
inline void warp_update(const CsrView& item_features, const CsrView& user_features,
                        FactorizationModel& model, int32_t user_id, int32_t positive_item,
                        int32_t negative_item, double loss, const float* user_repr,
                        const float* pos_repr, const float* neg_repr, double item_alpha,
                        double user_alpha, double* rates, double* gradients) {
    const int32_t pos_start = item_features.row_start(positive_item);
    const int32_t pos_stop = item_features.row_end(positive_item);
    const int32_t neg_start = item_features.row_start(negative_item);
    const int32_t neg_stop = item_features.row_end(negative_item);
    const int32_t user_start = user_features.row_start(user_id);
    const int32_t user_stop = user_features.row_end(user_id);

    const int32_t nc = model.no_components;
    const int32_t adadelta = model.adadelta;
    const double learning_rate = static_cast<double>(model.learning_rate);
    const float rho = model.rho;
    const float eps = model.eps;
    SideParams& item = model.item;
    SideParams& user = model.user;

    double rate_sum = 0.0;
    rate_sum += apply_bias_gradient(item_features, pos_start, pos_stop, item.biases.data,
                                    item.bias_gradients.data, item.bias_momentum.data, -loss,
                                    adadelta, learning_rate, item_alpha, rho, eps);
    rate_sum += apply_bias_gradient(item_features, neg_start, neg_stop, item.biases.data,
                                    item.bias_gradients.data, item.bias_momentum.data, loss,
                                    adadelta, learning_rate, item_alpha, rho, eps);
    rate_sum += apply_bias_gradient(user_features, user_start, user_stop, user.biases.data,
                                    user.bias_gradients.data, user.bias_momentum.data, loss,
                                    adadelta, learning_rate, user_alpha, rho, eps);

    double* const pos_gradients = gradients;
    double* const neg_gradients = gradients + nc;
    double* const user_gradients = gradients + 2 * static_cast<int64_t>(nc);
    for (int32_t j = 0; j < nc; ++j) {
        const double user_component = static_cast<double>(user_repr[j]);
        pos_gradients[j] = user_component * -loss;
        neg_gradients[j] = user_component * loss;
        user_gradients[j] = static_cast<double>(neg_repr[j] - pos_repr[j]) * loss;
    }
    const int32_t n_pos = pos_stop - pos_start;
    const int32_t n_neg = neg_stop - neg_start;
    const int32_t n_user = user_stop - user_start;
    double* const pos_rates = rates;
    double* const neg_rates = pos_rates + static_cast<int64_t>(n_pos) * nc;
    double* const user_rates = neg_rates + static_cast<int64_t>(n_neg) * nc;
    step_embedding_rows(item_features, pos_start, pos_stop, item, nc, pos_gradients, adadelta, learning_rate,
                        item_alpha, rho, eps, pos_rates);
    step_embedding_rows(item_features, neg_start, neg_stop, item, nc, neg_gradients, adadelta, learning_rate,
                        item_alpha, rho, eps, neg_rates);
    step_embedding_rows(user_features, user_start, user_stop, user, nc, user_gradients, adadelta, learning_rate,
                        user_alpha, rho, eps, user_rates);
    for (int32_t j = 0; j < nc; ++j) {
        rate_sum += row_rate_sum(pos_rates, n_pos, nc, j);
        rate_sum += row_rate_sum(neg_rates, n_neg, nc, j);
        rate_sum += row_rate_sum(user_rates, n_user, nc, j);
    }

    accumulate_scales(model, rate_sum, n_user + n_pos + n_neg, item_alpha, user_alpha);
}

// The longest row of a CSR matrix (0 without rows).
inline int32_t max_row_entries(const CsrView& m) {
    int32_t widest = 0;
    for (int32_t r = 0; r < m.rows; ++r) {
        const int32_t width = m.row_end(r) - m.row_start(r);
        if (width > widest) widest = width;
    }
    return widest;
}

// A sampled positive of one user and its score.
struct PositivePair {
    int32_t item_id;
    float score;
};

// qsort comparator ordering records by descending score. Never reports equality:
// 1 when the first score is smaller, -1 otherwise.
inline int compare_positive_pairs(const void* a, const void* b) {
    const float first = static_cast<const PositivePair*>(a)->score;
    const float second = static_cast<const PositivePair*>(b)->score;
    return first < second ? 1 : -1;
}

// The working storage one epoch owns: the lock guarding the regularisation check and
// the three representation buffers (and, for k-OS, the sampled-positive records),
// allocated once per call. begin() prints the lock's debug line and, if an allocation
// fails, the given error line; it then frees what it obtained, destroys the lock and
// returns false. finish() frees everything, destroys the lock, settles the pending
// regularisation so both scales end at 1.0, and prints the closing debug line.
struct EpochStorage {
    omp_lock_t reg_lock;
    float* user_repr = nullptr;
    float* pos_it_repr = nullptr;
    float* neg_it_repr = nullptr;
    PositivePair* pos_pairs = nullptr;
    double* rates = nullptr;       // per-component rates of one update's three rows
    double* gradients = nullptr;   // per-component gradients of one update's three rows

    bool begin(const char* function, const CsrView& item_features, const CsrView& user_features,
               int32_t no_components, int32_t n_pairs, const char* malloc_message, bool verbose) {
        omp_init_lock(&reg_lock);
        if (verbose) diag_line("DEBUG", function, "OMP lock initialised");
        const std::size_t repr_bytes = sizeof(float) * static_cast<std::size_t>(no_components + 1);
        user_repr = static_cast<float*>(std::malloc(repr_bytes));
        pos_it_repr = static_cast<float*>(std::malloc(repr_bytes));
        neg_it_repr = static_cast<float*>(std::malloc(repr_bytes));
        // Room for two item rows and one user row of the widest kind, one entry at least.
        const int64_t entries = 2 * static_cast<int64_t>(max_row_entries(item_features)) +
                                max_row_entries(user_features) + 1;
        const int64_t components = no_components > 0 ? no_components : 1;
        rates = static_cast<double*>(std::malloc(sizeof(double) * static_cast<std::size_t>(entries * components)));
        gradients = static_cast<double*>(std::malloc(sizeof(double) * static_cast<std::size_t>(3 * components)));
        if (n_pairs > 0) {
            pos_pairs = static_cast<PositivePair*>(std::malloc(sizeof(PositivePair) * static_cast<std::size_t>(n_pairs)));
        }
        if (user_repr == nullptr || pos_it_repr == nullptr || neg_it_repr == nullptr || rates == nullptr ||
            gradients == nullptr || (n_pairs > 0 && pos_pairs == nullptr)) {
            diag_line("ERROR", function, "%s", malloc_message);
            release();
            return false;
        }
        return true;
    }

    void finish(const char* function, FactorizationModel& model, bool verbose) {
        release();
        apply_regularization(model);
        if (verbose) diag_line("DEBUG", function, "epoch complete");
    }

private:
    void release() {
        std::free(user_repr);
        std::free(pos_it_repr);
        std::free(neg_it_repr);
        std::free(pos_pairs);
        std::free(rates);
        std::free(gradients);
        omp_destroy_lock(&reg_lock);
    }
};

// One WARP epoch over the examples in shuffle order. The entry point has already
// written its first debug line, drawn the seeds and checked no_examples > 0.
inline void fit_warp_epoch(const CsrView& item_features, const CsrView& user_features,
                           const CsrView& interactions, const int32_t* user_ids,
                           const int32_t* item_ids, const float* Y, const float* sample_weight,
                           const int32_t* shuffle_indices, int32_t no_examples,
                           FactorizationModel& model, double item_alpha, double user_alpha,
                           bool verbose) {
    static const char kFunction[] = "fit_warp";
    EpochStorage storage;
    if (!storage.begin(kFunction, item_features, user_features, model.no_components, 0, "malloc failed for thread buffer", verbose)) return;
    const int32_t no_components = model.no_components;
    float* const user_repr = storage.user_repr;
    float* const pos_it_repr = storage.pos_it_repr;
    float* const neg_it_repr = storage.neg_it_repr;

    for (int32_t i = 0; i < no_examples; ++i) {
        const int32_t row = shuffle_indices[i];
        if (!(Y[row] > 0.0f)) continue;
        const int32_t user_id = user_ids[row];
        const int32_t positive_item_id = item_ids[row];
        const float weight = sample_weight[row];

        build_representation(user_features, model.user.features, model.user.biases.data,
                             no_components, user_id, model.user_scale, user_repr);
        build_representation(item_features, model.item.features, model.item.biases.data,
                             no_components, positive_item_id, model.item_scale, pos_it_repr);
        const float positive_prediction = score_representations(user_repr, pos_it_repr, no_components);

        int32_t negative_item_id = 0;
        const int32_t sampled = sample_violating_negative(item_features, interactions, model, user_id,
                                                          user_repr, positive_prediction,
                                                          neg_it_repr, negative_item_id);
        if (sampled > 0) {
            double loss = static_cast<double>(weight) * warp_rank_loss(item_features.rows, sampled);
            if (loss > MAX_LOSS) loss = MAX_LOSS;
            warp_update(item_features, user_features, model, user_id, positive_item_id,
                        negative_item_id, loss, user_repr, pos_it_repr, neg_it_repr, item_alpha,
                        user_alpha, storage.rates, storage.gradients);
        }
        apply_regularization_if_needed(model, &storage.reg_lock);
    }

    storage.finish(kFunction, model, verbose);
}

// One WARP k-OS epoch: each example is a user; up to n of its positives are drawn,
// sorted best first, and the k-th (or the last, when fewer) is trained against a
// violating negative with weight 1. The entry point has already written its first
// debug line, drawn the seeds and checked no_examples > 0; k >= 1 and n >= 1.
inline void fit_warp_kos_epoch(const CsrView& item_features, const CsrView& user_features,
                               const CsrView& data, const int32_t* user_ids,
                               const int32_t* shuffle_indices, int32_t no_examples,
                               FactorizationModel& model, double item_alpha, double user_alpha,
                               int32_t k, int32_t n, bool verbose) {
    static const char kFunction[] = "fit_warp_kos";
    EpochStorage storage;
    if (!storage.begin(kFunction, item_features, user_features, model.no_components, n, "malloc failed", verbose)) return;
    const int32_t no_components = model.no_components;
    float* const user_repr = storage.user_repr;
    float* const pos_it_repr = storage.pos_it_repr;
    float* const neg_it_repr = storage.neg_it_repr;
    PositivePair* const pos_pairs = storage.pos_pairs;

    for (int32_t i = 0; i < no_examples; ++i) {
        const int32_t row = shuffle_indices[i];
        const int32_t user_id = user_ids[row];
        build_representation(user_features, model.user.features, model.user.biases.data,
                             no_components, user_id, model.user_scale, user_repr);

        const int32_t user_pids_start = data.row_start(user_id);
        const int32_t user_pids_stop = data.row_end(user_id);
        if (user_pids_start == user_pids_stop) continue;
        const int32_t no_positives = user_pids_stop - user_pids_start;
        const int32_t count = n < no_positives ? n : no_positives;

        for (int32_t j = 0; j < count; ++j) {
            const int32_t idx = std::rand() % no_positives;
            const int32_t positive_item_id = data.indices[user_pids_start + idx];
            build_representation(item_features, model.item.features, model.item.biases.data,
                                 no_components, positive_item_id, model.item_scale, pos_it_repr);
            pos_pairs[j].item_id = positive_item_id;
            pos_pairs[j].score = score_representations(user_repr, pos_it_repr, no_components);
        }
        std::qsort(pos_pairs, static_cast<std::size_t>(count), sizeof(PositivePair),
                   compare_positive_pairs);

        const int32_t chosen = (k < count ? k : count) - 1;
        const int32_t sampled_positive_item_id = pos_pairs[chosen].item_id;
        const float sampled_positive_prediction = pos_pairs[chosen].score;
        build_representation(item_features, model.item.features, model.item.biases.data,
                             no_components, sampled_positive_item_id, model.item_scale, pos_it_repr);

        int32_t negative_item_id = 0;
        const int32_t sampled = sample_violating_negative(item_features, data, model, user_id,
                                                          user_repr, sampled_positive_prediction,
                                                          neg_it_repr, negative_item_id);
        if (sampled > 0) {
            double loss = warp_rank_loss(item_features.rows, sampled);
            if (loss > MAX_LOSS) loss = MAX_LOSS;
            warp_update(item_features, user_features, model, user_id, sampled_positive_item_id,
                        negative_item_id, loss, user_repr, pos_it_repr, neg_it_repr, item_alpha,
                        user_alpha, storage.rates, storage.gradients);
        }
        apply_regularization_if_needed(model, &storage.reg_lock);
    }

    storage.finish(kFunction, model, verbose);
}
