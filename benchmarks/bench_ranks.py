"""predict_ranks on 2,000 users x 5,000 items (10 test items per user and about 30 train
items, both with power-law item popularity; identity plus side features,
no_components 32), then calculate_auc_from_rank on those ranks: users/s of the kernels
and of the straightforward loops, with 1 and 2 threads."""

import ctypes

import numpy as np
import scipy.sparse as sp

import halvendrix.models.quorvane.Tesslemark._kern_evaluate as ke
import halvendrix.models.quorvane.Tesslemark._kern_predict as kp
import halvendrix.models.quorvane.Tesslemark._kern_types as kt
from bench_predict import NO_COMPONENTS, csr_arg, make_model, model_arg, same_bits
from harness import compile_straightforward, identity_plus_side, interleaved, ptr, report

RANK_RUNS = 5
AUC_RUNS = 15
AUC_BATCH = 10


def split_interactions(rng, n_users, n_items, n_test, train_per_user, exponent=1.1):
    """Per user, n_test test items and about train_per_user train items, all distinct,
    drawn without replacement with power-law item popularity; sorted CSR rows."""
    weights = 1.0 / np.arange(1, n_items + 1) ** exponent
    weights /= weights.sum()
    test_rows, test_cols, train_rows, train_cols = [], [], [], []
    for u in range(n_users):
        items = rng.choice(n_items, size=n_test + int(rng.poisson(train_per_user)), replace=False, p=weights)
        test_rows.extend([u] * n_test)
        test_cols.extend(items[:n_test].tolist())
        train_rows.extend([u] * (len(items) - n_test))
        train_cols.extend(items[n_test:].tolist())

    def csr(rows, cols):
        m = sp.csr_matrix((np.ones(len(rows), np.float32), (rows, cols)), shape=(n_users, n_items))
        m.sort_indices()
        return m

    return csr(test_rows, test_cols), csr(train_rows, train_cols)


def main():
    rng = np.random.default_rng(0)
    n_users, n_items = 2000, 5000
    test, train = split_interactions(rng, n_users, n_items, n_test=10, train_per_user=30)
    item_features = identity_plus_side(rng, n_items, 50, 3)
    user_features = identity_plus_side(rng, n_users, 20, 2)
    arrays, model = make_model(rng, item_features.shape[1], user_features.shape[1])
    naive = compile_straightforward("straightforward_prediction.cpp")
    m_arg = model_arg(arrays)
    I, U, T, X = (kt.CSRMatrix(m) for m in (item_features, user_features, test, train))
    I_arg, U_arg, T_arg, X_arg = (csr_arg(m) for m in (I, U, T, X))

    def ranks_native(ranks, threads):
        kp.predict_ranks(I, U, T, X, ranks, model, threads)

    def ranks_naive(ranks, threads):
        naive.predict_ranks_straightforward(ctypes.byref(I_arg), ctypes.byref(U_arg), ctypes.byref(T_arg),
                                            ctypes.byref(X_arg), ptr(ranks), ctypes.byref(m_arg),
                                            ctypes.c_int(threads))

    identical = True
    ranks = None
    for threads in (1, 2):
        a, b = np.zeros(test.nnz, np.float32), np.zeros(test.nnz, np.float32)
        ranks_native(a, threads)
        ranks_naive(b, threads)
        identical &= same_bits(a, b)
        ranks = a

    # The AUC input: the test matrix's rows and columns with the ranks as stored values.
    R = kt.CSRMatrix(sp.csr_matrix((ranks, test.indices, test.indptr), shape=test.shape))
    R_arg = csr_arg(R)
    num_train_positives = np.diff(train.indptr).astype(np.int32)

    def auc_native(rank_data, auc, threads):
        ke.calculate_auc_from_rank(R, num_train_positives, rank_data, auc, threads)

    def auc_naive(rank_data, auc, threads):
        naive.auc_straightforward(ctypes.byref(R_arg), ptr(num_train_positives), ptr(rank_data), ptr(auc),
                                  ctypes.c_int(threads))

    auc_identical = True
    for threads in (1, 2):
        rank_a, rank_b = ranks.copy(), ranks.copy()
        auc_a, auc_b = np.full(n_users, np.nan, np.float32), np.full(n_users, -1.0, np.float32)
        auc_native(rank_a, auc_a, threads)
        auc_naive(rank_b, auc_b, threads)
        auc_identical &= same_bits(auc_a, auc_b) and same_bits(rank_a, rank_b)
    print(f"predict_ranks: {n_users:,} users x {n_items:,} items, {test.nnz:,} test and {train.nnz:,} train "
          f"interactions; ranks identical to the straightforward loops: {identical}; "
          f"AUC (and sorted ranks) identical: {auc_identical}; mean AUC {float(np.mean(auc_a)):.4f}")

    for threads in (1, 2):
        times = interleaved(RANK_RUNS, {"native": lambda: ranks_native(np.zeros(test.nnz, np.float32), threads),
                                        "straightforward": lambda: ranks_naive(np.zeros(test.nnz, np.float32),
                                                                               threads)})
        report(f"predict_ranks, {threads} thread{'s' * (threads > 1)}", "users", n_users, times)

    # Every AUC call sorts its rank segments in place, so each call gets a fresh unsorted
    # copy, made before the timing starts. One call takes well under a millisecond, so a
    # timed run is a batch of calls.
    for threads in (1, 2):
        copies = {name: [ranks.copy() for _ in range(AUC_RUNS * AUC_BATCH)] for name in ("native", "straightforward")}
        auc = np.zeros(n_users, np.float32)

        def batch(fn, name):
            for _ in range(AUC_BATCH):
                fn(copies[name].pop(), auc, threads)

        times = interleaved(AUC_RUNS, {"native": lambda: batch(auc_native, "native"),
                                       "straightforward": lambda: batch(auc_naive, "straightforward")})
        report(f"calculate_auc_from_rank, {threads} thread{'s' * (threads > 1)}", "users", n_users * AUC_BATCH,
               times)


if __name__ == "__main__":
    main()
