// Prediction kernels of the factorization model: pair scores (pairwise and cross
// join) and the per-user ranking of test items against the catalogue.
//
// Plain C++ over raw pointers; the entry points validate their inputs, release the
// GIL and call these. Nothing here throws; per-thread scratch comes from malloc and
// is freed on every path.
//
// Exactness: every score is the value score_representations returns for the two
// representations build_representation fills. The faster paths only change which
// pairs share work (a representation built once and used for many pairs, items
// scored side by side in lanes); each lane is still the same left-to-right float
// sum, bias slots first, so results do not depend on blocking or thread count.
#pragma once

#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "diagnostics.h"
#include "factorization.h"
#include "plain_model.h"

// Helpers of the hot loops are forced inline so that each clone of a hot function
// (target_clones below) gets them compiled for its own target.
#define PREDICTION_INLINE inline __attribute__((always_inline))

namespace prediction_detail {

template <typename T>
T* allocate_array(int64_t count) {
    return static_cast<T*>(std::malloc(sizeof(T) * static_cast<size_t>(count)));
}

// Items scored side by side against one user representation.
constexpr int32_t kItemLanes = 64;
// Users whose representations are held together while a tile of item
// representations is built and reused for all of them.
constexpr int32_t kUserGroup = 64;
// Minimum room (in test entries) for the test scores of one group of users; the
// buffer is never smaller than max_row_width, so any single user fits.
constexpr int64_t kMinTestCapacity = 1024;

// Number of floats in one representation (components plus the bias slot); at least
// one so a degenerate no_components never yields a zero-byte allocation.
inline int64_t representation_length(int32_t no_components) {
    const int64_t n = static_cast<int64_t>(no_components) + 1;
    return n > 0 ? n : 1;
}

// Thread tid's contiguous block of [0, n) under OpenMP's static schedule without a
// chunk size: the first n % nthr threads get one iteration more.
inline void static_block(int64_t n, int nthr, int tid, int64_t* begin, int64_t* end) {
    int64_t q = n / nthr;
    int64_t t = n % nthr;
    if (tid < t) {
        t = 0;
        ++q;
    }
    *begin = q * tid + t;
    *end = *begin + q;
}

inline int resolve_threads(int num_threads) {
    return num_threads > 0 ? num_threads : omp_get_max_threads();
}

PREDICTION_INLINE void build_user(const CsrView& user_features, const FactorizationModel& model,
                                  int32_t row, float* out) {
    build_representation(user_features, model.user.features, model.user.biases.data,
                         model.no_components, row, model.user_scale, out);
}

PREDICTION_INLINE void build_item(const CsrView& item_features, const FactorizationModel& model,
                                  int32_t row, float* out) {
    build_representation(item_features, model.item.features, model.item.biases.data,
                         model.no_components, row, model.item_scale, out);
}

// Builds the representations of items f0 .. f0+n-1 (n <= kItemLanes) into a
// component-major tile: tile[j * kItemLanes + lane] is slot j of item f0 + lane,
// with the bias in row no_components. Lanes past n are zero.
PREDICTION_INLINE void build_item_tile(const CsrView& item_features,
                                       const FactorizationModel& model, int32_t f0, int32_t n,
                                       float* scratch, float* tile) {
    const int64_t len = static_cast<int64_t>(model.no_components) + 1;
    for (int32_t lane = 0; lane < kItemLanes; ++lane) {
        if (lane < n) {
            build_item(item_features, model, f0 + lane, scratch);
            for (int64_t j = 0; j < len; ++j) tile[j * kItemLanes + lane] = scratch[j];
        } else {
            for (int64_t j = 0; j < len; ++j) tile[j * kItemLanes + lane] = 0.0f;
        }
    }
}

// Eight float lanes. GCC's vector extension makes every operation lane-wise IEEE
// single precision, the same as the scalar operation on each lane; it compiles to
// one 256-bit instruction under AVX2 and to two 128-bit ones otherwise.
typedef float LaneVec __attribute__((vector_size(32)));
typedef int32_t LaneMask __attribute__((vector_size(32)));
constexpr int32_t kVecLanes = 8;
constexpr int32_t kVecsPerTile = kItemLanes / kVecLanes;
static_assert(kItemLanes % kVecLanes == 0, "tiles hold whole vectors");

// Vectors are passed by reference because a 256-bit vector passed by value has a
// different ABI with and without AVX.
PREDICTION_INLINE void load_lanes(LaneVec& v, const float* p) { std::memcpy(&v, p, sizeof v); }

PREDICTION_INLINE void store_lanes(float* p, const LaneVec& v) { std::memcpy(p, &v, sizeof v); }

// scores[lane] = score_representations(user, item of lane): bias slots first, then
// one strictly left-to-right float sum over the components per lane. Lanes are
// independent items, so running them side by side changes no lane's sum.
PREDICTION_INLINE void score_item_lanes(const float* user, const float* tile,
                                        int32_t no_components, float* scores) {
    const float* bias_row = tile + static_cast<int64_t>(no_components) * kItemLanes;
    const LaneVec user_bias = LaneVec{} + user[no_components];
    LaneVec acc[kVecsPerTile];
#pragma GCC unroll 8
    for (int32_t v = 0; v < kVecsPerTile; ++v) {
        LaneVec item_bias;
        load_lanes(item_bias, bias_row + v * kVecLanes);
        acc[v] = user_bias + item_bias;
    }
    for (int32_t j = 0; j < no_components; ++j) {
        const LaneVec uj = LaneVec{} + user[j];
        const float* row = tile + static_cast<int64_t>(j) * kItemLanes;
#pragma GCC unroll 8
        for (int32_t v = 0; v < kVecsPerTile; ++v) {
            LaneVec item_j;
            load_lanes(item_j, row + v * kVecLanes);
            const LaneVec product = uj * item_j;
            acc[v] = acc[v] + product;
        }
    }
#pragma GCC unroll 8
    for (int32_t v = 0; v < kVecsPerTile; ++v) store_lanes(scores + v * kVecLanes, acc[v]);
}

// Number of lanes whose score is >= threshold. A NaN on either side counts nothing
// (the comparison is ordered).
PREDICTION_INLINE int32_t count_at_least(const float* scores, float threshold) {
    const LaneVec t = LaneVec{} + threshold;
    LaneMask hits = LaneMask{};
#pragma GCC unroll 8
    for (int32_t v = 0; v < kVecsPerTile; ++v) {
        LaneVec x;
        load_lanes(x, scores + v * kVecLanes);
        hits = hits - (x >= t);  // true lanes are -1
    }
    int32_t count = 0;
    for (int32_t lane = 0; lane < kVecLanes; ++lane) count += hits[lane];
    return count;
}

// Applies `count` increments of rank = float(double(rank) + 1). While the value is an
// integer no larger than 2^24 in magnitude every step is exact, so the steps collapse
// into one addition; anything else takes the steps one by one.
inline float add_ones(float rank, int64_t count) {
    constexpr double kExact = 16777216.0;  // 2^24
    const double r = static_cast<double>(rank);
    const double target = r + static_cast<double>(count);
    if (r >= -kExact && target <= kExact && r == static_cast<double>(static_cast<int64_t>(r))) {
        return static_cast<float>(target);
    }
    for (int64_t c = 0; c < count; ++c) {
        const double widened = static_cast<double>(rank) + 1.0;
        rank = static_cast<float>(widened);
    }
    return rank;
}

// ---------------------------------------------------------------------------
// Cross join

struct CrossJoinScratch {
    float* user_reps;  // kUserGroup representations
    float* tile;       // (no_components + 1) x kItemLanes
    float* item;       // one representation
    float* scores;     // kItemLanes

    bool allocate(int64_t len) {
        user_reps = allocate_array<float>(len * kUserGroup);
        tile = allocate_array<float>(len * kItemLanes);
        item = allocate_array<float>(len);
        scores = allocate_array<float>(kItemLanes);
        return user_reps != nullptr && tile != nullptr && item != nullptr && scores != nullptr;
    }
    void release() {
        std::free(user_reps);
        std::free(tile);
        std::free(item);
        std::free(scores);
    }
};

// One tile of items [f0, f0 + n) against a group of users. User g of the group is
// row u0 + g and needs the items [lo[g], hi[g]) (clipped to the tile here); its
// scores go to predictions[(u0 + g) * n_items + f].
__attribute__((target_clones("avx2", "default")))
inline void cross_join_tile(const CsrView& item_features, const FactorizationModel& model,
                            int32_t f0, int32_t n, int32_t u0, int32_t group_size,
                            const int64_t* lo, const int64_t* hi, int32_t n_items,
                            float* predictions, const CrossJoinScratch& s) {
    const int32_t nc = model.no_components;
    const int64_t len = representation_length(nc);
    build_item_tile(item_features, model, f0, n, s.item, s.tile);
    for (int32_t g = 0; g < group_size; ++g) {
        const int64_t from = lo[g] > f0 ? lo[g] : f0;
        const int64_t to = hi[g] < f0 + n ? hi[g] : f0 + n;
        if (from >= to) continue;
        score_item_lanes(s.user_reps + g * len, s.tile, nc, s.scores);
        float* out = predictions + static_cast<int64_t>(u0 + g) * n_items;
        for (int64_t f = from; f < to; ++f) out[f] = s.scores[f - f0];
    }
}

// Scores the pairs begin .. end-1 of the cross join (pair k is user k / n_items with
// item k % n_items), a group of users at a time against tiles of items.
inline void cross_join_block(const CsrView& item_features, const CsrView& user_features,
                             int32_t n_items, float* predictions, const FactorizationModel& model,
                             int64_t begin, int64_t end, const CrossJoinScratch& s) {
    if (begin >= end) return;
    const int64_t len = representation_length(model.no_components);
    const int32_t u_first = static_cast<int32_t>(begin / n_items);
    const int32_t u_last = static_cast<int32_t>((end - 1) / n_items);
    int64_t lo[kUserGroup];
    int64_t hi[kUserGroup];
    for (int64_t first = u_first; first <= u_last; first += kUserGroup) {
        const int32_t u0 = static_cast<int32_t>(first);
        const int32_t group_size = u_last - u0 + 1 < kUserGroup ? u_last - u0 + 1 : kUserGroup;
        int64_t group_lo = n_items;
        int64_t group_hi = 0;
        for (int32_t g = 0; g < group_size; ++g) {
            const int32_t u = u0 + g;
            const int64_t row_base = static_cast<int64_t>(u) * n_items;
            lo[g] = u == u_first ? begin - row_base : 0;
            hi[g] = u == u_last ? end - row_base : n_items;
            if (lo[g] < group_lo) group_lo = lo[g];
            if (hi[g] > group_hi) group_hi = hi[g];
            build_user(user_features, model, u, s.user_reps + g * len);
        }
        for (int64_t f0 = group_lo; f0 < group_hi; f0 += kItemLanes) {
            const int64_t n = group_hi - f0 < kItemLanes ? group_hi - f0 : kItemLanes;
            cross_join_tile(item_features, model, static_cast<int32_t>(f0), static_cast<int32_t>(n),
                            u0, group_size, lo, hi, n_items, predictions, s);
        }
    }
}

// ---------------------------------------------------------------------------
// Ranking

struct RankScratch {
    float* user_reps;     // kUserGroup representations
    float* tile;          // (no_components + 1) x kItemLanes
    float* item;          // one representation
    float* scores;        // kItemLanes
    float* test_scores;   // test_capacity: scores of the group's test items
    int64_t* counts;      // test_capacity: catalogue items at or above each test score
    int32_t* users;       // kUserGroup: the group's user rows
    int32_t* offsets;     // kUserGroup: first test slot of each user
    int32_t* train_pos;   // kUserGroup: cursor into each sorted train row
    int32_t* train_sorted;  // kUserGroup: whether the train row ascends

    bool allocate(int64_t len, int64_t test_capacity) {
        user_reps = allocate_array<float>(len * kUserGroup);
        tile = allocate_array<float>(len * kItemLanes);
        item = allocate_array<float>(len);
        scores = allocate_array<float>(kItemLanes);
        test_scores = allocate_array<float>(test_capacity);
        counts = allocate_array<int64_t>(test_capacity);
        users = allocate_array<int32_t>(kUserGroup);
        offsets = allocate_array<int32_t>(kUserGroup);
        train_pos = allocate_array<int32_t>(kUserGroup);
        train_sorted = allocate_array<int32_t>(kUserGroup);
        return user_reps != nullptr && tile != nullptr && item != nullptr && scores != nullptr &&
               test_scores != nullptr && counts != nullptr && users != nullptr &&
               offsets != nullptr && train_pos != nullptr && train_sorted != nullptr;
    }
    void release() {
        std::free(user_reps);
        std::free(tile);
        std::free(item);
        std::free(scores);
        std::free(test_scores);
        std::free(counts);
        std::free(users);
        std::free(offsets);
        std::free(train_pos);
        std::free(train_sorted);
    }
};

// Marks the train items of `row` that fall in [f0, f0 + kItemLanes) by setting their
// lane to NaN, so no comparison counts them. Lanes past the catalogue (n) are NaN
// too. An ascending row is walked with a cursor that persists across the ascending
// tiles; any other row is probed with row_contains per item, exactly as the plain
// per-item loop does.
PREDICTION_INLINE void mask_train_items(const CsrView& train, int32_t row, int32_t f0,
                                        int32_t n, bool sorted, int32_t* cursor,
                                        float* scores) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int32_t lane = n; lane < kItemLanes; ++lane) scores[lane] = nan;
    if (sorted) {
        const int32_t stop = train.row_end(row);
        int32_t pos = *cursor;
        while (pos < stop && train.indices[pos] < f0) ++pos;
        while (pos < stop && train.indices[pos] < f0 + n) {
            scores[train.indices[pos] - f0] = nan;
            ++pos;
        }
        *cursor = pos;
    } else {
        for (int32_t lane = 0; lane < n; ++lane) {
            if (row_contains(train, row, f0 + lane)) scores[lane] = nan;
        }
    }
}

// One tile of catalogue items [f0, f0 + n) against every user of the group: score the
// tile, drop train items, and add to each test entry the number of remaining items
// other than the test item itself whose score is >= the test item's score.
__attribute__((target_clones("avx2", "default")))
inline void rank_tile(const CsrView& item_features, const CsrView& test,
                      const CsrView& train, const FactorizationModel& model, int32_t f0,
                      int32_t n, int32_t group_size, const RankScratch& s) {
    const int32_t nc = model.no_components;
    const int64_t len = representation_length(nc);
    build_item_tile(item_features, model, f0, n, s.item, s.tile);
    for (int32_t g = 0; g < group_size; ++g) {
        const int32_t u = s.users[g];
        score_item_lanes(s.user_reps + g * len, s.tile, nc, s.scores);
        mask_train_items(train, u, f0, n, s.train_sorted[g] != 0, &s.train_pos[g], s.scores);
        const int32_t start = test.row_start(u);
        const int32_t width = test.row_end(u) - start;
        const float* test_scores = s.test_scores + s.offsets[g];
        int64_t* counts = s.counts + s.offsets[g];
        for (int32_t l = 0; l < width; ++l) {
            const float p = test_scores[l];
            int32_t c = count_at_least(s.scores, p);
            // The test item never competes with itself (nor with a duplicate of itself).
            const int32_t t = test.indices[start + l];
            if (t >= f0 && t < f0 + n && s.scores[t - f0] >= p) --c;
            counts[l] += c;
        }
    }
}

// Ranks the users of one group (all with at least one test entry) against the whole
// catalogue and adds the counts to ranks.
inline void rank_group(const CsrView& item_features, const CsrView& user_features,
                       const CsrView& test, const CsrView& train, float* ranks,
                       const FactorizationModel& model, int32_t group_size, const RankScratch& s) {
    const int32_t nc = model.no_components;
    const int64_t len = representation_length(nc);
    for (int32_t g = 0; g < group_size; ++g) {
        const int32_t u = s.users[g];
        float* user_rep = s.user_reps + g * len;
        build_user(user_features, model, u, user_rep);
        const int32_t start = test.row_start(u);
        const int32_t width = test.row_end(u) - start;
        for (int32_t l = 0; l < width; ++l) {
            build_item(item_features, model, test.indices[start + l], s.item);
            s.test_scores[s.offsets[g] + l] = score_representations(user_rep, s.item, nc);
            s.counts[s.offsets[g] + l] = 0;
        }
        const int32_t train_start = train.row_start(u);
        const int32_t train_stop = train.row_end(u);
        bool sorted = true;
        for (int32_t pos = train_start + 1; pos < train_stop; ++pos) {
            if (train.indices[pos] < train.indices[pos - 1]) {
                sorted = false;
                break;
            }
        }
        s.train_pos[g] = train_start;
        s.train_sorted[g] = sorted ? 1 : 0;
    }
    const int32_t n_catalogue = test.cols;
    for (int64_t f0 = 0; f0 < n_catalogue; f0 += kItemLanes) {
        const int64_t n = n_catalogue - f0 < kItemLanes ? n_catalogue - f0 : kItemLanes;
        rank_tile(item_features, test, train, model, static_cast<int32_t>(f0),
                  static_cast<int32_t>(n), group_size, s);
    }
    for (int32_t g = 0; g < group_size; ++g) {
        const int32_t u = s.users[g];
        const int32_t start = test.row_start(u);
        const int32_t width = test.row_end(u) - start;
        for (int32_t l = 0; l < width; ++l) {
            const int64_t c = s.counts[s.offsets[g] + l];
            if (c > 0) ranks[start + l] = add_ones(ranks[start + l], c);
        }
    }
}

// Ranks users u_begin .. u_end-1: the users with test entries are gathered into
// groups of at most kUserGroup whose test entries fit the scratch buffer.
inline void rank_users(const CsrView& item_features, const CsrView& user_features,
                       const CsrView& test, const CsrView& train, float* ranks,
                       const FactorizationModel& model, int32_t u_begin, int32_t u_end,
                       int64_t test_capacity, const RankScratch& s) {
    int32_t u = u_begin;
    while (u < u_end) {
        int32_t group_size = 0;
        int64_t used = 0;
        while (u < u_end && group_size < kUserGroup) {
            const int64_t width = static_cast<int64_t>(test.row_end(u)) - test.row_start(u);
            if (width <= 0) {
                ++u;
                continue;
            }
            if (used + width > test_capacity) {
                // Only reachable with a max_row_width below this row's width: such a
                // row cannot be ranked within the buffers and is left alone.
                if (group_size == 0) ++u;
                break;
            }
            s.users[group_size] = u;
            s.offsets[group_size] = static_cast<int32_t>(used);
            used += width;
            ++group_size;
            ++u;
        }
        if (group_size > 0) {
            rank_group(item_features, user_features, test, train, ranks, model, group_size, s);
        }
    }
}

}  // namespace prediction_detail

// Pairwise scoring: predictions[i] = score(user row user_ids[i], item row item_ids[i])
// for i in [0, n_pairs). Static schedule over num_threads threads; a thread that
// cannot allocate its scratch reports it and leaves its block untouched.
inline void predict_pairs(const CsrView& item_features, const CsrView& user_features,
                          const int32_t* user_ids, const int32_t* item_ids, float* predictions,
                          int32_t n_pairs, const FactorizationModel& model, int num_threads) {
    using namespace prediction_detail;
    const int32_t nc = model.no_components;
    const int64_t len = representation_length(nc);
#pragma omp parallel num_threads(resolve_threads(num_threads))
    {
        float* user_rep = allocate_array<float>(len);
        float* item_rep = allocate_array<float>(len);
        if (user_rep == nullptr || item_rep == nullptr) {
            diag_line("ERROR", "predict_quorvane", "malloc failed");
        } else {
            int64_t begin = 0;
            int64_t end = 0;
            static_block(n_pairs, omp_get_num_threads(), omp_get_thread_num(), &begin, &end);
            // A representation depends only on its row, so consecutive pairs that
            // share a row reuse the one already built.
            int32_t built_user = 0;
            int32_t built_item = 0;
            bool have_user = false;
            bool have_item = false;
            for (int64_t i = begin; i < end; ++i) {
                const int32_t u = user_ids[i];
                const int32_t it = item_ids[i];
                if (!have_user || u != built_user) {
                    build_user(user_features, model, u, user_rep);
                    built_user = u;
                    have_user = true;
                }
                if (!have_item || it != built_item) {
                    build_item(item_features, model, it, item_rep);
                    built_item = it;
                    have_item = true;
                }
                predictions[i] = score_representations(user_rep, item_rep, nc);
            }
        }
        std::free(user_rep);
        std::free(item_rep);
    }
}

// Cross-join scoring: predictions[k] = score(user row k / n_items, item row
// k % n_items) for k in [0, n_users * n_items). Each thread takes the contiguous
// block the static schedule gives it; a thread that cannot allocate its scratch
// reports it and leaves its block untouched.
inline void predict_cross_join(const CsrView& item_features, const CsrView& user_features,
                               int32_t n_users, int32_t n_items, float* predictions,
                               const FactorizationModel& model, int num_threads) {
    using namespace prediction_detail;
    const int64_t n_pairs = static_cast<int64_t>(n_users) * n_items;
    if (n_pairs <= 0) return;
    const int64_t len = representation_length(model.no_components);
#pragma omp parallel num_threads(resolve_threads(num_threads))
    {
        CrossJoinScratch scratch;
        if (!scratch.allocate(len)) {
            diag_line("ERROR", "predict_quorvane", "malloc failed");
        } else {
            int64_t begin = 0;
            int64_t end = 0;
            static_block(n_pairs, omp_get_num_threads(), omp_get_thread_num(), &begin, &end);
            cross_join_block(item_features, user_features, n_items, predictions, model, begin, end,
                             scratch);
        }
        scratch.release();
    }
}

// Ranks every test entry of every user (rows of test_interactions) against the
// catalogue (its columns), skipping the user's train items: ranks[k] is incremented
// once per catalogue item other than the entry's own item whose score is >= the
// entry's score (each increment in double, rounded to float). Blocks of users are
// handed out on demand; a thread that cannot allocate reports it and takes none.
inline void predict_ranks_kernel(const CsrView& item_features, const CsrView& user_features,
                                 const CsrView& test_interactions,
                                 const CsrView& train_interactions, float* ranks,
                                 const FactorizationModel& model, int32_t max_row_width,
                                 int num_threads) {
    using namespace prediction_detail;
    const int threads = resolve_threads(num_threads);
    const int32_t n_users = test_interactions.rows;
    if (n_users <= 0) return;
    const int64_t len = representation_length(model.no_components);
    const int64_t test_capacity =
        max_row_width > kMinTestCapacity ? static_cast<int64_t>(max_row_width) : kMinTestCapacity;
    // Blocks of users are the unit of dynamic hand-out. Smaller blocks on small
    // inputs keep every thread busy; the block size never affects the results.
    int64_t block = kUserGroup;
    const int64_t wanted_blocks = static_cast<int64_t>(threads) * 8;
    if (static_cast<int64_t>(n_users) < block * wanted_blocks) {
        block = (n_users + wanted_blocks - 1) / wanted_blocks;
        if (block < 1) block = 1;
    }
    const int64_t n_blocks = (n_users + block - 1) / block;
    int64_t next_block = 0;
#pragma omp parallel num_threads(threads)
    {
        RankScratch scratch;
        if (!scratch.allocate(len, test_capacity)) {
            diag_line("ERROR", "predict_ranks", "malloc failed");
        } else {
            for (;;) {
                int64_t b;
#pragma omp atomic capture
                b = next_block++;
                if (b >= n_blocks) break;
                const int64_t u_begin = b * block;
                const int64_t u_end = u_begin + block < n_users ? u_begin + block : n_users;
                rank_users(item_features, user_features, test_interactions, train_interactions,
                           ranks, model, static_cast<int32_t>(u_begin),
                           static_cast<int32_t>(u_end), test_capacity, scratch);
            }
        }
        scratch.release();
    }
}

#undef PREDICTION_INLINE
