"""One fit_warp_kos epoch (k=2, n=5) on the synthetic data of bench_fit_warp.py (power-law
item popularity, identity plus side features, no_components 32), one example per
interaction (its user): examples/s of the kernel and of the straightforward loops."""

import ctypes

import numpy as np

import halvendrix.models.quorvane.Tesslemark._kern_fit_warp_kos as kk
import halvendrix.models.quorvane.Tesslemark._kern_types as kt
from harness import (ARRAY_FIELDS, compile_straightforward, csr_pointers, float_table, interleaved, ptr,
                     report, warp_problem)

NO_COMPONENTS = 32
K, N = 2, 5
libc = ctypes.CDLL(None)


def main():
    p = warp_problem(NO_COMPONENTS)
    user_ids, base = p.user_ids, p.base   # one example per interaction: its user
    naive = compile_straightforward("straightforward_training.cpp")
    state = np.random.RandomState(0)
    fresh = p.fresh

    def run_native(arrays):
        model = kt.FastQuorvane(*(arrays[f] for f in ARRAY_FIELDS), NO_COMPONENTS, 0, 0.05, 0.95, 1e-6, 10)
        libc.srand(7)
        kk.fit_warp_kos(p.I, p.U, p.X, user_ids, p.order, model, 0.05, 1e-6, 1e-6, K, N, 1, state)

    def run_naive(arrays):
        libc.srand(7)
        naive.fit_warp_kos_straightforward(
            *csr_pointers(p.I), ctypes.c_int32(p.n_items), *csr_pointers(p.U), *csr_pointers(p.X, False),
            ptr(user_ids), ptr(p.order), ctypes.c_int32(len(user_ids)), float_table(arrays),
            ctypes.c_int64(p.item_features.shape[1]), ctypes.c_int64(p.user_features.shape[1]),
            ctypes.c_int32(NO_COMPONENTS), ctypes.c_int32(0), ctypes.c_float(0.05), ctypes.c_float(0.95),
            ctypes.c_float(1e-6), ctypes.c_int32(10), ctypes.c_double(1e-6), ctypes.c_double(1e-6),
            ctypes.c_int32(K), ctypes.c_int32(N))

    a, b = fresh(), fresh()
    run_native(a)
    run_naive(b)
    same = all(np.array_equal(a[f].view(np.uint32), b[f].view(np.uint32)) for f in ARRAY_FIELDS)
    changed = not np.array_equal(a["item_features"], base["item_features"])
    print(f"fit_warp_kos (k={K}, n={N}): {len(user_ids):,} examples, {p.n_items:,} items; model changed: {changed}; "
          f"results identical to the straightforward loops: {same}")
    times = interleaved(7, {"native": lambda: run_native(fresh()), "straightforward": lambda: run_naive(fresh())})
    report("fit_warp_kos epoch", "examples", len(user_ids), times)


if __name__ == "__main__":
    main()
