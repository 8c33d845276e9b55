// Straightforward WARP and WARP k-OS epochs written directly from the algorithms'
// descriptions: rows fetched through function pointers (as through the CSRMatrix
// method table), membership through the C library's bsearch, every routine a plain
// loop. Used only as the baselines of bench_fit_warp.py and bench_fit_warp_kos.py;
// they compute the same bits as the kernels.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "straightforward_rows.h"

namespace {

struct Side {
    float *features, *feature_gradients, *feature_momentum, *biases, *bias_gradients, *bias_momentum;
    int64_t rows, cols;
};

struct Model {
    Side item, user;
    int32_t no_components, adadelta, max_sampled;
    float learning_rate, rho, eps;
    double item_scale, user_scale;
};

double step(float* P, float* G, float* M, double x, double gradient, const Model& m, double alpha) {
    if (m.adadelta == 0) {
        double r = static_cast<double>(m.learning_rate) / std::sqrt(static_cast<double>(*G));
        *P -= static_cast<float>(r * x * gradient);
        double t = x * gradient;
        *G += static_cast<float>(t * t);
        *P = static_cast<float>(1.0 + r * alpha) * *P;
        return r;
    }
    double t = x * gradient;
    *G = static_cast<float>((1.0 - m.rho) * (t * t) + static_cast<double>(m.rho * *G));
    double r = std::sqrt(static_cast<double>(*M + m.eps)) / std::sqrt(static_cast<double>(*G + m.eps));
    double u = (r * gradient) * x;
    *M = static_cast<float>((1.0 - m.rho) * (u * u) + static_cast<double>(*M * m.rho));
    *P = static_cast<float>(1.0 + r * alpha) * (*P - static_cast<float>(u));
    return r;
}

double bias_steps(const Csr* m, int32_t start, int32_t stop, const Side& s, double g, const Model& model,
                  double alpha) {
    double sum = 0.0;
    for (int32_t i = start; i < stop; ++i) {
        int32_t f = m->indices[i];
        sum += step(&s.biases[f], &s.bias_gradients[f], &s.bias_momentum[f], m->data[i], g, model, alpha);
    }
    return sum;
}

double embedding_steps(const Csr* m, int32_t j, int32_t start, int32_t stop, const Side& s, double g,
                       const Model& model, double alpha) {
    double sum = 0.0;
    for (int32_t i = start; i < stop; ++i) {
        int64_t k = m->indices[i] * s.cols + j;
        sum += step(&s.features[k], &s.feature_gradients[k], &s.feature_momentum[k], m->data[i], g, model, alpha);
    }
    return sum;
}

void regularize(Side& s, int32_t nc, double scale) {
    for (int64_t i = 0; i < s.rows; ++i) {
        for (int32_t j = 0; j < nc; ++j)
            s.features[i * s.cols + j] = static_cast<float>(s.features[i * s.cols + j] / scale);
        s.biases[i] = static_cast<float>(s.biases[i] / scale);
    }
}

void regularize_all(Model& m) {
    regularize(m.item, m.no_components, m.item_scale);
    regularize(m.user, m.no_components, m.user_scale);
    m.item_scale = m.user_scale = 1.0;
}

// Draws negatives until one scores above pos - 1 and is not in the user's row of X,
// at most max_sampled times. Returns the number of draws (the violating item in
// *neg, its representation in nr), or 0 when none was found.
int32_t sample_negative(const Csr* I, const Csr* X, const Model& m, int32_t u, const float* ur, float pos,
                        float* nr, int32_t* neg) {
    const int32_t nc = m.no_components;
    int32_t sampled = 0;
    while (sampled < m.max_sampled) {
        sampled++;
        int32_t candidate = std::rand() % I->rows;
        build_representation(I, m.item.features, nc, m.item.biases, nc, candidate, m.item_scale, nr);
        float negp = score(ur, nr, nc);
        int32_t s0 = get_row_start(X, u), s1 = get_row_end(X, u);
        bool known =
            std::bsearch(&candidate, X->indices + s0, s1 - s0, sizeof(int32_t), compare_int32) != nullptr;
        if (static_cast<double>(negp) > static_cast<double>(pos) - 1.0 && !known) {
            *neg = candidate;
            return sampled;
        }
    }
    return 0;
}

// Steps the biases and embeddings of the positive item's, the negative item's and the
// user's features, then grows the scales.
void update(const Csr* I, const Csr* U, Model& m, int32_t u, int32_t p, int32_t neg, double loss,
            const float* ur, const float* pr, const float* nr, double item_alpha, double user_alpha) {
    const int32_t nc = m.no_components;
    int32_t ps = get_row_start(I, p), pe = get_row_end(I, p);
    int32_t ns = get_row_start(I, neg), ne = get_row_end(I, neg);
    int32_t us = get_row_start(U, u), ue = get_row_end(U, u);
    double sum = 0.0;
    sum += bias_steps(I, ps, pe, m.item, -loss, m, item_alpha);
    sum += bias_steps(I, ns, ne, m.item, loss, m, item_alpha);
    sum += bias_steps(U, us, ue, m.user, loss, m, user_alpha);
    for (int32_t j = 0; j < nc; ++j) {
        sum += embedding_steps(I, j, ps, pe, m.item, ur[j] * -loss, m, item_alpha);
        sum += embedding_steps(I, j, ns, ne, m.item, ur[j] * loss, m, item_alpha);
        sum += embedding_steps(U, j, us, ue, m.user, static_cast<double>(nr[j] - pr[j]) * loss, m, user_alpha);
    }
    int32_t count = (ue - us) + (pe - ps) + (ne - ns);
    if (count > 0) {
        double mean = sum / ((nc + 1) * count);
        m.user_scale *= 1.0 + mean * user_alpha;
        m.item_scale *= 1.0 + mean * item_alpha;
    }
}

Model make_model(float** arrays, int64_t item_rows, int64_t user_rows, int32_t nc, int32_t adadelta,
                 float learning_rate, float rho, float eps, int32_t max_sampled) {
    return Model{{arrays[0], arrays[1], arrays[2], arrays[3], arrays[4], arrays[5], item_rows, nc},
                 {arrays[6], arrays[7], arrays[8], arrays[9], arrays[10], arrays[11], user_rows, nc},
                 nc, adadelta, max_sampled, learning_rate, rho, eps, 1.0, 1.0};
}

float* alloc_floats(int64_t n) { return static_cast<float*>(std::malloc(sizeof(float) * n)); }

// A sampled positive of one user and its score.
struct PosPair {
    int32_t item;
    float score;
};

// Descending by score; never reports equality.
int compare_pos_pairs(const void* a, const void* b) {
    return static_cast<const PosPair*>(a)->score < static_cast<const PosPair*>(b)->score ? 1 : -1;
}

}  // namespace

extern "C" void fit_warp_straightforward(const int32_t* item_indptr, const int32_t* item_indices,
                                         const float* item_data, int32_t n_items, const int32_t* user_indptr,
                                         const int32_t* user_indices, const float* user_data,
                                         const int32_t* x_indptr, const int32_t* x_indices, const int32_t* user_ids,
                                         const int32_t* item_ids, const float* Y, const float* weight,
                                         const int32_t* order, int32_t n, float** arrays, int64_t item_rows,
                                         int64_t user_rows, int32_t nc, int32_t adadelta, float learning_rate,
                                         float rho, float eps, int32_t max_sampled, double item_alpha,
                                         double user_alpha) {
    Csr I{item_indptr, item_indices, item_data, n_items, 0};
    Csr U{user_indptr, user_indices, user_data, 0, 0};
    Csr X{x_indptr, x_indices, nullptr, 0, 0};
    Model m = make_model(arrays, item_rows, user_rows, nc, adadelta, learning_rate, rho, eps, max_sampled);
    float* ur = alloc_floats(nc + 1);
    float* pr = alloc_floats(nc + 1);
    float* nr = alloc_floats(nc + 1);
    for (int32_t i = 0; i < n; ++i) {
        int32_t row = order[i];
        if (!(Y[row] > 0)) continue;
        int32_t u = user_ids[row], p = item_ids[row];
        build_representation(&U, m.user.features, nc, m.user.biases, nc, u, m.user_scale, ur);
        build_representation(&I, m.item.features, nc, m.item.biases, nc, p, m.item_scale, pr);
        float pos = score(ur, pr, nc);
        int32_t neg = 0;
        int32_t sampled = sample_negative(&I, &X, m, u, ur, pos, nr, &neg);
        if (sampled > 0) {
            double loss = weight[row] * std::log(std::fmax(std::floor(double(n_items - 1) / sampled), 1.0));
            if (loss > 10.0) loss = 10.0;
            update(&I, &U, m, u, p, neg, loss, ur, pr, nr, item_alpha, user_alpha);
        }
        if (m.item_scale > 1e6 || m.user_scale > 1e6) regularize_all(m);
    }
    std::free(ur);
    std::free(pr);
    std::free(nr);
    regularize_all(m);
}

// One k-OS epoch: for each user in shuffle order, draw min(n, positives) of its
// positives with replacement, sort them best first, train the k-th (or the last)
// against a violating negative with weight 1.
extern "C" void fit_warp_kos_straightforward(const int32_t* item_indptr, const int32_t* item_indices,
                                             const float* item_data, int32_t n_items, const int32_t* user_indptr,
                                             const int32_t* user_indices, const float* user_data,
                                             const int32_t* x_indptr, const int32_t* x_indices,
                                             const int32_t* user_ids, const int32_t* order, int32_t n_examples,
                                             float** arrays, int64_t item_rows, int64_t user_rows, int32_t nc,
                                             int32_t adadelta, float learning_rate, float rho, float eps,
                                             int32_t max_sampled, double item_alpha, double user_alpha, int32_t k,
                                             int32_t n) {
    Csr I{item_indptr, item_indices, item_data, n_items, 0};
    Csr U{user_indptr, user_indices, user_data, 0, 0};
    Csr X{x_indptr, x_indices, nullptr, 0, 0};
    Model m = make_model(arrays, item_rows, user_rows, nc, adadelta, learning_rate, rho, eps, max_sampled);
    float* ur = alloc_floats(nc + 1);
    float* pr = alloc_floats(nc + 1);
    float* nr = alloc_floats(nc + 1);
    PosPair* pairs = static_cast<PosPair*>(std::malloc(sizeof(PosPair) * n));
    for (int32_t i = 0; i < n_examples; ++i) {
        int32_t u = user_ids[order[i]];
        build_representation(&U, m.user.features, nc, m.user.biases, nc, u, m.user_scale, ur);
        int32_t start = get_row_start(&X, u), stop = get_row_end(&X, u);
        if (start == stop) continue;
        int32_t no_positives = stop - start;
        int32_t count = n < no_positives ? n : no_positives;
        for (int32_t j = 0; j < count; ++j) {
            int32_t p = x_indices[start + std::rand() % no_positives];
            build_representation(&I, m.item.features, nc, m.item.biases, nc, p, m.item_scale, pr);
            pairs[j] = PosPair{p, score(ur, pr, nc)};
        }
        std::qsort(pairs, count, sizeof(PosPair), compare_pos_pairs);
        const PosPair chosen = pairs[(k < count ? k : count) - 1];
        build_representation(&I, m.item.features, nc, m.item.biases, nc, chosen.item, m.item_scale, pr);
        int32_t neg = 0;
        int32_t sampled = sample_negative(&I, &X, m, u, ur, chosen.score, nr, &neg);
        if (sampled > 0) {
            double loss = std::log(std::fmax(std::floor(double(n_items - 1) / sampled), 1.0));
            if (loss > 10.0) loss = 10.0;
            update(&I, &U, m, u, chosen.item, neg, loss, ur, pr, nr, item_alpha, user_alpha);
        }
        if (m.item_scale > 1e6 || m.user_scale > 1e6) regularize_all(m);
    }
    std::free(ur);
    std::free(pr);
    std::free(nr);
    std::free(pairs);
    regularize_all(m);
}
