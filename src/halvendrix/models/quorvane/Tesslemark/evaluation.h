// Evaluation kernel of the factorization model: one ROC-AUC value per user from the
// ranks of the user's test items. Plain C++ over raw pointers; no allocation.
#pragma once

#include <omp.h>

#include <cstdint>
#include <cstdlib>

#include "plain_model.h"

// qsort comparator over floats: 1 if the first is greater, -1 if smaller, 0
// otherwise, so a NaN compares equal to anything.
inline int compare_flt(const void* a, const void* b) {
    const float x = *static_cast<const float*>(a);
    const float y = *static_cast<const float*>(b);
    if (x > y) return 1;
    if (x < y) return -1;
    return 0;
}

// auc[u] for every row u of ranks. The user's P test positives occupy
// rank_data[row_start(u) .. row_end(u) - 1]; N = cols - num_train_positives[u] - P.
// With P == 0 (or a malformed, negative row width) or N <= 0 the AUC is 0.5 and the
// segment is left as it is; otherwise the segment is sorted ascending in place and
//   A = sum over j of (1 - max(0, r_j - j) / N), accumulated left to right in float,
//   auc[u] = A / P.
inline void auc_kernel(const CsrView& ranks, const int32_t* num_train_positives, float* rank_data,
                       float* auc, int num_threads) {
    const int32_t n_users = ranks.rows;
    const int threads = num_threads > 0 ? num_threads : omp_get_max_threads();
    const float one = 1.0f;
    const float zero = 0.0f;
    const float half = 0.5f;
#pragma omp parallel for schedule(static) num_threads(threads)
    for (int32_t u = 0; u < n_users; ++u) {
        const int32_t start = ranks.row_start(u);
        const int32_t num_positives = ranks.row_end(u) - start;
        // 32-bit signed arithmetic, written so that an out-of-range difference wraps
        // rather than overflowing.
        const int32_t num_negatives = static_cast<int32_t>(static_cast<uint32_t>(
            static_cast<int64_t>(ranks.cols) - num_train_positives[u] - num_positives));
        if (num_positives <= 0 || num_negatives <= 0) {
            auc[u] = half;
            continue;
        }
        float* segment = rank_data + start;
        std::qsort(segment, static_cast<size_t>(num_positives), sizeof(float), compare_flt);
        const float negatives = static_cast<float>(num_negatives);
        float acc = zero;
        for (int32_t j = 0; j < num_positives; ++j) {
            const float x = static_cast<float>(segment[j] - static_cast<float>(j));
            const float d = zero > x ? zero : x;
            const float share = static_cast<float>(d / negatives);
            const float term = static_cast<float>(one - share);
            acc = static_cast<float>(term + acc);
            auc[u] = acc;
        }
        auc[u] = static_cast<float>(acc / static_cast<float>(num_positives));
    }
}
