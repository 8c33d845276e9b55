"""One fit_warp_kos epoch (k=2, n=5) on the synthetic data of bench_fit_warp.py (power-law
item popularity, identity plus side features, no_components 32), one example per
interaction (its user): examples/s of the kernel and of the straightforward loops."""

import ctypes

import numpy as np

import halvendrix.models.quorvane.Tesslemark._kern_fit_warp_kos as kk
import halvendrix.models.quorvane.Tesslemark._kern_types as kt
from harness import (ARRAY_FIELDS, compile_straightforward, identity_plus_side, interleaved, model_arrays,
                     power_law_items, ptr, report)

NO_COMPONENTS = 32
K, N = 2, 5
libc = ctypes.CDLL(None)


def main():
    rng = np.random.default_rng(0)
    n_users, n_items = 5000, 4000
    interactions = power_law_items(rng, n_users, n_items, per_user=20)
    item_features = identity_plus_side(rng, n_items, 50, 3)
    user_features = identity_plus_side(rng, n_users, 20, 2)
    user_ids = interactions.tocoo().row.astype(np.int32)
    order = rng.permutation(len(user_ids)).astype(np.int32)
    base = model_arrays(rng, item_features.shape[1], user_features.shape[1], NO_COMPONENTS)
    I, U, X = kt.CSRMatrix(item_features), kt.CSRMatrix(user_features), kt.CSRMatrix(interactions)
    naive = compile_straightforward("straightforward_training.cpp")
    state = np.random.RandomState(0)

    def fresh():
        return {f: a.copy() for f, a in base.items()}

    def run_native(arrays):
        model = kt.FastQuorvane(*(arrays[f] for f in ARRAY_FIELDS), NO_COMPONENTS, 0, 0.05, 0.95, 1e-6, 10)
        libc.srand(7)
        kk.fit_warp_kos(I, U, X, user_ids, order, model, 0.05, 1e-6, 1e-6, K, N, 1, state)

    def run_naive(arrays):
        table = (ctypes.POINTER(ctypes.c_float) * 12)(*(ptr(arrays[f], ctypes.POINTER(ctypes.c_float))
                                                       for f in ARRAY_FIELDS))
        libc.srand(7)
        naive.fit_warp_kos_straightforward(
            ptr(np.asarray(I.indptr)), ptr(np.asarray(I.indices)), ptr(np.asarray(I.data)), ctypes.c_int32(n_items),
            ptr(np.asarray(U.indptr)), ptr(np.asarray(U.indices)), ptr(np.asarray(U.data)),
            ptr(np.asarray(X.indptr)), ptr(np.asarray(X.indices)), ptr(user_ids), ptr(order),
            ctypes.c_int32(len(user_ids)), table, ctypes.c_int64(item_features.shape[1]),
            ctypes.c_int64(user_features.shape[1]), ctypes.c_int32(NO_COMPONENTS), ctypes.c_int32(0),
            ctypes.c_float(0.05), ctypes.c_float(0.95), ctypes.c_float(1e-6), ctypes.c_int32(10),
            ctypes.c_double(1e-6), ctypes.c_double(1e-6), ctypes.c_int32(K), ctypes.c_int32(N))

    a, b = fresh(), fresh()
    run_native(a)
    run_naive(b)
    same = all(np.array_equal(a[f].view(np.uint32), b[f].view(np.uint32)) for f in ARRAY_FIELDS)
    changed = not np.array_equal(a["item_features"], base["item_features"])
    print(f"fit_warp_kos (k={K}, n={N}): {len(user_ids):,} examples, {n_items:,} items; model changed: {changed}; "
          f"results identical to the straightforward loops: {same}")
    times = interleaved(7, {"native": lambda: run_native(fresh()), "straightforward": lambda: run_naive(fresh())})
    report("fit_warp_kos epoch", "examples", len(user_ids), times)


if __name__ == "__main__":
    main()
