"""One fit_warp epoch on synthetic data (power-law item popularity, identity plus side
features, no_components 32): examples/s of the kernel and of the straightforward loops."""

import ctypes

import numpy as np

import halvendrix.models.quorvane.Tesslemark._kern_fit_warp as kw
import halvendrix.models.quorvane.Tesslemark._kern_types as kt
from harness import (ARRAY_FIELDS, compile_straightforward, csr_pointers, float_table, interleaved, ptr,
                     report, warp_problem)

NO_COMPONENTS = 32
libc = ctypes.CDLL(None)


def main():
    p = warp_problem(NO_COMPONENTS)
    Y = np.ones(len(p.user_ids), np.float32)
    weights = np.ones(len(p.user_ids), np.float32)
    naive = compile_straightforward("straightforward_training.cpp")
    state = np.random.RandomState(0)
    fresh = p.fresh

    def run_native(arrays):
        model = kt.FastQuorvane(*(arrays[f] for f in ARRAY_FIELDS), NO_COMPONENTS, 0, 0.05, 0.95, 1e-6, 10)
        libc.srand(7)
        kw.fit_warp(p.I, p.U, p.X, p.user_ids, p.item_ids, Y, weights, p.order, model, 0.05, 1e-6, 1e-6, 1, state)

    def run_naive(arrays):
        libc.srand(7)
        naive.fit_warp_straightforward(
            *csr_pointers(p.I), ctypes.c_int32(p.n_items), *csr_pointers(p.U), *csr_pointers(p.X, False),
            ptr(p.user_ids), ptr(p.item_ids), ptr(Y), ptr(weights), ptr(p.order), ctypes.c_int32(len(Y)),
            float_table(arrays), ctypes.c_int64(p.item_features.shape[1]), ctypes.c_int64(p.user_features.shape[1]),
            ctypes.c_int32(NO_COMPONENTS), ctypes.c_int32(0), ctypes.c_float(0.05), ctypes.c_float(0.95),
            ctypes.c_float(1e-6), ctypes.c_int32(10), ctypes.c_double(1e-6), ctypes.c_double(1e-6))

    a, b = fresh(), fresh()
    run_native(a)
    run_naive(b)
    same = all(np.array_equal(a[f].view(np.uint32), b[f].view(np.uint32)) for f in ARRAY_FIELDS)
    print(f"fit_warp: {len(Y):,} examples, {p.n_items:,} items; results identical to the straightforward loops: {same}")
    times = interleaved(5, {"native": lambda: run_native(fresh()), "straightforward": lambda: run_naive(fresh())})
    report("fit_warp epoch", "examples", len(Y), times)


if __name__ == "__main__":
    main()
