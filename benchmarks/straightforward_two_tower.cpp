// Straightforward two-tower loops written directly from the algorithms' descriptions:
// one scalar loop per step in the documented order (hidden unit outer, input inner, so
// w1 is read down its columns), plain loads and stores of the shared model arrays
// from every thread, no staging, chunking or vectorisation by hand. Used only as the
// baseline of bench_two_tower.py; with one thread it computes the same bits as the
// kernels.
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

// One tower: packed row-major arrays (embeddings rows x E, w1 E x H, w2 H x O).
struct Tower {
    float *emb, *w1, *b1, *w2, *b2;
    float *emb_v, *w1_v, *b1_v, *w2_v, *b2_v;
};

Tower tower_from(float** a) { return Tower{a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]}; }

float dot(const float* x, const float* y, int n) {
    float acc = 0.0f;
    for (int i = 0; i < n; ++i) acc = x[i] * y[i] + acc;
    return acc;
}

float sigmoid(float x) {
    double xd = x;
    double r;
    if (xd > 0.0) {
        r = 1.0 / (std::exp(-xd) + 1.0);
    } else {
        double e = std::exp(xd);
        r = e / (e + 1.0);
    }
    return static_cast<float>(r);
}

uint32_t xorshift(uint32_t* state) {
    uint32_t t = *state;
    t ^= t << 13;
    t ^= t >> 17;
    t ^= t << 5;
    *state = t;
    return t;
}

void forward(const float* emb, const float* w1, const float* b1, const float* w2, const float* b2, int32_t row,
             int E, int H, int O, float* hidden, float* out) {
    const float* x = emb + static_cast<int64_t>(row) * E;
    for (int j = 0; j < H; ++j) {
        float a = b1[j];
        for (int k = 0; k < E; ++k) a = x[k] * w1[k * H + j] + a;
        hidden[j] = a > 0.0f ? a : 0.0f;
    }
    for (int m = 0; m < O; ++m) {
        float o = b2[m];
        for (int j = 0; j < H; ++j) o = w2[j * O + m] * hidden[j] + o;
        out[m] = o;
    }
}

void backward(Tower& t, int32_t row, const float* h, const float* g, int E, int H, int O, double eta, double mu,
              float* d) {
    float* x = t.emb + static_cast<int64_t>(row) * E;
    float* xv = t.emb_v + static_cast<int64_t>(row) * E;
    for (int j = 0; j < H; ++j) d[j] = 0.0f;
    for (int m = 0; m < O; ++m)
        for (int j = 0; j < H; ++j) d[j] = g[m] * t.w2[j * O + m] + d[j];
    for (int m = 0; m < O; ++m) {
        float a = static_cast<float>(static_cast<double>(g[m]) * eta);
        for (int j = 0; j < H; ++j) {
            float& v = t.w2_v[j * O + m];
            v = static_cast<float>(mu * v - static_cast<double>(h[j]) * a);
            t.w2[j * O + m] = t.w2[j * O + m] + v;
        }
        t.b2_v[m] = static_cast<float>(mu * t.b2_v[m] - static_cast<double>(g[m]) * eta);
        t.b2[m] = t.b2[m] + t.b2_v[m];
    }
    for (int j = 0; j < H; ++j) {
        if (!(h[j] > 0.0f)) continue;
        float a = static_cast<float>(static_cast<double>(d[j]) * eta);
        for (int k = 0; k < E; ++k) {
            float& v = t.w1_v[k * H + j];
            v = static_cast<float>(mu * v - static_cast<double>(x[k]) * a);
            t.w1[k * H + j] = t.w1[k * H + j] + v;
        }
        t.b1_v[j] = static_cast<float>(mu * t.b1_v[j] - static_cast<double>(d[j]) * eta);
        t.b1[j] = t.b1[j] + t.b1_v[j];
    }
    for (int k = 0; k < E; ++k) {
        float s = 0.0f;
        for (int j = 0; j < H; ++j)
            if (h[j] > 0.0f) s = t.w1[k * H + j] * d[j] + s;
        xv[k] = static_cast<float>(mu * xv[k] - static_cast<double>(s) * eta);
        x[k] = x[k] + xv[k];
    }
}

}  // namespace

// One BPR epoch: arrays are the model's twenty arrays in field order (user tower and
// its velocities, then the item tower's); states one generator state per thread.
extern "C" void fit_two_tower_straightforward(const int32_t* user_ids, const int32_t* item_ids,
                                              const int32_t* order, int32_t n, float** arrays, int32_t n_items,
                                              int E, int H, int O, double eta, double mu, int num_threads,
                                              uint32_t* states) {
    Tower user = tower_from(arrays);
    Tower item = tower_from(arrays + 10);
    const int64_t block = 4 * H + 6 * O;
    float* pool = static_cast<float*>(std::malloc(sizeof(float) * block * num_threads));
#pragma omp parallel num_threads(num_threads)
    {
        const int t = omp_get_thread_num();
        float* uh = pool + t * block;
        float* q = uh + H;
        float* ph = q + O;
        float* po = ph + H;
        float* nh = po + O;
        float* no = nh + H;
        float* ug = no + O;
        float* pg = ug + O;
        float* ng = pg + O;
        float* d = ng + O;
#pragma omp for schedule(dynamic, 1)
        for (int32_t i = 0; i < n; ++i) {
            const int32_t e = order[i];
            const int32_t u = user_ids[e], p = item_ids[e];
            const int32_t neg = static_cast<int32_t>(xorshift(&states[t]) % static_cast<uint32_t>(n_items));
            forward(user.emb, user.w1, user.b1, user.w2, user.b2, u, E, H, O, uh, q);
            forward(item.emb, item.w1, item.b1, item.w2, item.b2, p, E, H, O, ph, po);
            forward(item.emb, item.w1, item.b1, item.w2, item.b2, neg, E, H, O, nh, no);
            const float delta = dot(po, q, O) - dot(no, q, O);
            const float c = static_cast<float>(1.0 - static_cast<double>(sigmoid(delta)));
            for (int m = 0; m < O; ++m) {
                ug[m] = (-c) * po[m] + c * no[m];
                pg[m] = (-c) * q[m];
                ng[m] = c * q[m];
            }
            backward(user, u, uh, ug, E, H, O, eta, mu, d);
            backward(item, p, ph, pg, E, H, O, eta, mu, d);
            backward(item, neg, nh, ng, E, H, O, eta, mu, d);
        }
    }
    std::free(pool);
}

// Batch forward pass: row i of hidden_out and tower_out from embedding row ids[i].
extern "C" void tower_forward_straightforward(const int32_t* ids, int32_t batch, const float* emb, const float* w1,
                                              const float* b1, const float* w2, const float* b2, float* hidden_out,
                                              float* tower_out, int E, int H, int O, int num_threads) {
#pragma omp parallel for schedule(static) num_threads(num_threads)
    for (int32_t i = 0; i < batch; ++i) {
        forward(emb, w1, b1, w2, b2, ids[i], E, H, O, hidden_out + static_cast<int64_t>(i) * H,
                tower_out + static_cast<int64_t>(i) * O);
    }
}
