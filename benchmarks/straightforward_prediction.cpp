// Straightforward prediction and evaluation loops written directly from the
// algorithms' descriptions: rows fetched through function pointers (as through the
// CSRMatrix method table), both representations rebuilt for every pair, every
// catalogue item rebuilt for every user, train membership through the C library's
// bsearch. Used only as the baseline of bench_predict.py and bench_ranks.py; it
// computes the same bits as the kernels.
#include <omp.h>

#include <cstdint>
#include <cstdlib>

#include "straightforward_rows.h"

namespace {

// Read-only view of the model: row-major embeddings of no_components columns.
struct Model {
    const float* item_features;
    const float* item_biases;
    const float* user_features;
    const float* user_biases;
    int32_t no_components;
    double item_scale;
    double user_scale;
};

int compare_flt(const void* a, const void* b) {
    const float x = *static_cast<const float*>(a), y = *static_cast<const float*>(b);
    return x > y ? 1 : (x < y ? -1 : 0);
}

void build_user(const Csr* U, const Model* m, int32_t row, float* out) {
    build_representation(U, m->user_features, m->no_components, m->user_biases, m->no_components, row, m->user_scale, out);
}

void build_item(const Csr* I, const Model* m, int32_t row, float* out) {
    build_representation(I, m->item_features, m->no_components, m->item_biases, m->no_components, row, m->item_scale, out);
}

float* alloc_floats(int64_t n) {
    float* p = static_cast<float*>(std::malloc(sizeof(float) * n));
    if (p == nullptr) std::abort();
    return p;
}

int threads_for(int num_threads) { return num_threads > 0 ? num_threads : omp_get_max_threads(); }

}  // namespace

// predictions[i] = score(user row user_ids[i], item row item_ids[i]).
extern "C" void predict_pairs_straightforward(const Csr* I, const Csr* U, const int32_t* user_ids,
                                              const int32_t* item_ids, float* predictions, int32_t n,
                                              const Model* m, int num_threads) {
    const int32_t nc = m->no_components;
#pragma omp parallel num_threads(threads_for(num_threads))
    {
        float* ur = alloc_floats(nc + 1);
        float* ir = alloc_floats(nc + 1);
#pragma omp for schedule(static)
        for (int32_t i = 0; i < n; ++i) {
            build_user(U, m, user_ids[i], ur);
            build_item(I, m, item_ids[i], ir);
            predictions[i] = score(ur, ir, nc);
        }
        std::free(ur);
        std::free(ir);
    }
}

// predictions[k] = score(user row k / n_items, item row k % n_items).
extern "C" void predict_cross_join_straightforward(const Csr* I, const Csr* U, int32_t n_users, int32_t n_items,
                                                   float* predictions, const Model* m, int num_threads) {
    const int32_t nc = m->no_components;
    const int32_t n = n_users * n_items;
#pragma omp parallel num_threads(threads_for(num_threads))
    {
        float* ur = alloc_floats(nc + 1);
        float* ir = alloc_floats(nc + 1);
#pragma omp for schedule(static)
        for (int32_t k = 0; k < n; ++k) {
            build_user(U, m, k / n_items, ur);
            build_item(I, m, k % n_items, ir);
            predictions[k] = score(ur, ir, nc);
        }
        std::free(ur);
        std::free(ir);
    }
}

// ranks[s + l] += 1 (in double, rounded to float) for every catalogue item f other
// than the test item, not in the user's train row, whose score is >= the test item's.
extern "C" void predict_ranks_straightforward(const Csr* I, const Csr* U, const Csr* test, const Csr* train,
                                              float* ranks, const Model* m, int num_threads) {
    const int32_t nc = m->no_components;
    int32_t max_row_width = 0;
    for (int32_t u = 0; u < test->rows; ++u) {
        int32_t width = get_row_end(test, u) - get_row_start(test, u);
        if (width > max_row_width) max_row_width = width;
    }
    if (max_row_width == 0) return;
#pragma omp parallel num_threads(threads_for(num_threads))
    {
        float* ur = alloc_floats(nc + 1);
        float* ir = alloc_floats(nc + 1);
        int32_t* test_item_ids = static_cast<int32_t*>(std::malloc(sizeof(int32_t) * max_row_width));
        float* test_preds = alloc_floats(max_row_width);
        if (test_item_ids == nullptr) std::abort();
#pragma omp for schedule(dynamic, 1)
        for (int32_t u = 0; u < test->rows; ++u) {
            int32_t s = get_row_start(test, u), e = get_row_end(test, u);
            int32_t P = e - s;
            if (P == 0) continue;
            build_user(U, m, u, ur);
            for (int32_t l = 0; l < P; ++l) {
                int32_t t = test->indices[s + l];
                build_item(I, m, t, ir);
                test_preds[l] = score(ur, ir, nc);
                test_item_ids[l] = t;
            }
            for (int32_t f = 0; f < test->cols; ++f) {
                int32_t ts = get_row_start(train, u), te = get_row_end(train, u);
                if (std::bsearch(&f, train->indices + ts, te - ts, sizeof(int32_t), compare_int32) != nullptr)
                    continue;
                build_item(I, m, f, ir);
                float g = score(ur, ir, nc);
                for (int32_t l = 0; l < P; ++l) {
                    if (test_item_ids[l] != f && g >= test_preds[l])
                        ranks[s + l] = static_cast<float>(static_cast<double>(ranks[s + l]) + 1.0);
                }
            }
        }
        std::free(ur);
        std::free(ir);
        std::free(test_item_ids);
        std::free(test_preds);
    }
}

// auc[u] = (1/P) * sum over the sorted ranks r_j of (1 - max(0, r_j - j) / N), in float.
extern "C" void auc_straightforward(const Csr* ranks, const int32_t* num_train_positives, float* rank_data,
                                    float* auc, int num_threads) {
    const float one = 1.0f, zero = 0.0f, half = 0.5f;
#pragma omp parallel for schedule(static) num_threads(threads_for(num_threads))
    for (int32_t u = 0; u < ranks->rows; ++u) {
        int32_t s = get_row_start(ranks, u);
        int32_t P = get_row_end(ranks, u) - s;
        int32_t N = ranks->cols - num_train_positives[u] - P;
        if (P == 0 || N <= 0) {
            auc[u] = half;
            continue;
        }
        std::qsort(rank_data + s, P, sizeof(float), compare_flt);
        float A = zero;
        for (int32_t j = 0; j < P; ++j) {
            float x = rank_data[s + j] - static_cast<float>(j);
            float d = zero > x ? zero : x;
            A = (one - d / static_cast<float>(N)) + A;
            auc[u] = A;
        }
        auc[u] = A / static_cast<float>(P);
    }
}
