"""predict_quorvane on synthetic data (identity plus side features, no_components 32):
pairs/s of the kernel and of the straightforward loops for 200,000 random pairs and for
a cross join of 300 users x 2,000 items, with 1 and 2 threads."""

import ctypes

import numpy as np

import halvendrix.models.quorvane.Tesslemark._kern_predict as kp
import halvendrix.models.quorvane.Tesslemark._kern_types as kt
from harness import ARRAY_FIELDS, compile_straightforward, identity_plus_side, interleaved, model_arrays, ptr, report

NO_COMPONENTS = 32
RUNS = 7


class CsrArg(ctypes.Structure):
    _fields_ = [("indptr", ctypes.c_void_p), ("indices", ctypes.c_void_p), ("data", ctypes.c_void_p),
                ("rows", ctypes.c_int32), ("cols", ctypes.c_int32)]


class ModelArg(ctypes.Structure):
    _fields_ = [("item_features", ctypes.c_void_p), ("item_biases", ctypes.c_void_p),
                ("user_features", ctypes.c_void_p), ("user_biases", ctypes.c_void_p),
                ("no_components", ctypes.c_int32), ("item_scale", ctypes.c_double), ("user_scale", ctypes.c_double)]


def csr_arg(m):
    """The straightforward loops' view of a CSRMatrix (same buffers, no copies)."""
    arrays = [np.asarray(m.indptr), np.asarray(m.indices), np.asarray(m.data)]
    arg = CsrArg(*(a.ctypes.data for a in arrays), m.rows, m.cols)
    arg._keep = arrays
    return arg


def model_arg(arrays):
    return ModelArg(arrays["item_features"].ctypes.data, arrays["item_biases"].ctypes.data,
                    arrays["user_features"].ctypes.data, arrays["user_biases"].ctypes.data, NO_COMPONENTS, 1.0, 1.0)


def make_model(rng, n_item_features, n_user_features):
    """Model arrays with non-zero biases, so the bias slots take part in every score."""
    arrays = model_arrays(rng, n_item_features, n_user_features, NO_COMPONENTS)
    for side in ("item", "user"):
        arrays[f"{side}_biases"][:] = (rng.random(arrays[f"{side}_biases"].shape[0]) - 0.5).astype(np.float32)
    model = kt.FastQuorvane(*(arrays[f] for f in ARRAY_FIELDS), NO_COMPONENTS, 0, 0.05, 0.95, 1e-6, 10)
    return arrays, model


def same_bits(a, b):
    return np.array_equal(a.view(np.uint32), b.view(np.uint32))


def main():
    rng = np.random.default_rng(0)
    n_users, n_items = 5000, 4000
    item_features = identity_plus_side(rng, n_items, 50, 3)
    user_features = identity_plus_side(rng, n_users, 20, 2)
    arrays, model = make_model(rng, item_features.shape[1], user_features.shape[1])
    naive = compile_straightforward("straightforward_prediction.cpp")
    m_arg = model_arg(arrays)

    # Pairwise: random pairs over the whole catalogue.
    n_pairs = 200_000
    user_ids = rng.integers(0, n_users, n_pairs).astype(np.int32)
    item_ids = rng.integers(0, n_items, n_pairs).astype(np.int32)
    I, U = kt.CSRMatrix(item_features), kt.CSRMatrix(user_features)
    I_arg, U_arg = csr_arg(I), csr_arg(U)
    out_native = np.zeros(n_pairs, np.float32)
    out_naive = np.zeros(n_pairs, np.float32)

    def pairs_native(threads):
        kp.predict_quorvane(I, U, user_ids, item_ids, out_native, model, threads)

    def pairs_naive(threads):
        naive.predict_pairs_straightforward(ctypes.byref(I_arg), ctypes.byref(U_arg), ptr(user_ids), ptr(item_ids),
                                            ptr(out_naive), ctypes.c_int32(n_pairs), ctypes.byref(m_arg),
                                            ctypes.c_int(threads))

    # Cross join: the feature matrices hold only the listed users and items.
    n_u, n_i = 300, 2000
    Ic, Uc = kt.CSRMatrix(item_features[:n_i]), kt.CSRMatrix(user_features[:n_u])
    Ic_arg, Uc_arg = csr_arg(Ic), csr_arg(Uc)
    cj_users, cj_items = np.arange(n_u, dtype=np.int32), np.arange(n_i, dtype=np.int32)
    cj_native = np.zeros(n_u * n_i, np.float32)
    cj_naive = np.zeros(n_u * n_i, np.float32)

    def cross_native(threads):
        kp.predict_quorvane(Ic, Uc, cj_users, cj_items, cj_native, model, threads, cross_join=True)

    def cross_naive(threads):
        naive.predict_cross_join_straightforward(ctypes.byref(Ic_arg), ctypes.byref(Uc_arg), ctypes.c_int32(n_u),
                                                 ctypes.c_int32(n_i), ptr(cj_naive), ctypes.byref(m_arg),
                                                 ctypes.c_int(threads))

    identical = True
    for threads in (1, 2):
        for native, straight, a, b in ((pairs_native, pairs_naive, out_native, out_naive),
                                       (cross_native, cross_naive, cj_native, cj_naive)):
            a[:] = np.nan
            b[:] = -1.0
            native(threads)
            straight(threads)
            identical &= same_bits(a, b)
    print(f"predict_quorvane: {n_pairs:,} pairs and a {n_u} x {n_i} cross join, no_components {NO_COMPONENTS}; "
          f"results identical to the straightforward loops: {identical}")

    for title, native, straight, count in (("pairwise", pairs_native, pairs_naive, n_pairs),
                                           ("cross join", cross_native, cross_naive, n_u * n_i)):
        for threads in (1, 2):
            times = interleaved(RUNS, {"native": lambda: native(threads), "straightforward": lambda: straight(threads)})
            report(f"{title}, {threads} thread{'s' * (threads > 1)}", "pairs", count, times)

if __name__ == "__main__":
    main()
