"""Shared pieces of the benchmarks: synthetic data with power-law item popularity, the
straightforward loops compiled with the package's flags, and interleaved timing."""

import ctypes
import hashlib
import os
import pathlib
import subprocess
import sysconfig
import time
import types

import numpy as np
import scipy.sparse as sp

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# The package's own compile flags (see CMakeLists.txt): Release optimisation, no FMA
# contraction, no fast-math, no errno from sqrt, OpenMP.
FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-math-errno", "-fno-strict-overflow", "-fopenmp", "-fPIC",
         "-shared"]


def compile_straightforward(source_name):
    """Builds benchmarks/<source_name> into a cached shared library and loads it."""
    source = HERE / source_name
    includes = [ROOT / "src" / "common", ROOT / "src/halvendrix/models/quorvane/Tesslemark",
                ROOT / "src/halvendrix/models/plinthwise/Dumbrellis"]
    digest = hashlib.sha1(source.read_bytes() + " ".join(FLAGS).encode())
    for header in sorted(HERE.glob("*.h")):   # headers the baselines include
        digest.update(header.read_bytes())
    key = digest.hexdigest()[:12]
    out_dir = ROOT / "build" / "benchmarks"
    out_dir.mkdir(parents=True, exist_ok=True)
    lib = out_dir / f"{source.stem}-{key}.so"
    if not lib.exists():
        cmd = ["g++", *FLAGS, *(f"-I{p}" for p in includes), str(source), "-o", str(lib)]
        subprocess.run(cmd, check=True)
    return ctypes.CDLL(str(lib))


def ptr(array, ctype=ctypes.c_void_p):
    return ctypes.cast(array.ctypes.data, ctype)


def interleaved(runs, fns):
    """Runs each function `runs` times, interleaved, and returns the median seconds of each."""
    times = {name: [] for name in fns}
    for _ in range(runs):
        for name, fn in fns.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: float(np.median(t)) for name, t in times.items()}


def power_law_items(rng, n_users, n_items, per_user, exponent=1.1):
    """Interactions whose item popularity follows a power law; sorted CSR rows."""
    weights = 1.0 / np.arange(1, n_items + 1) ** exponent
    weights /= weights.sum()
    rows, cols = [], []
    for u in range(n_users):
        k = max(1, int(rng.poisson(per_user)))
        items = np.unique(rng.choice(n_items, size=min(k, n_items), p=weights))
        rows.extend([u] * len(items))
        cols.extend(items.tolist())
    m = sp.csr_matrix((np.ones(len(rows), np.float32), (rows, cols)), shape=(n_users, n_items))
    m.sort_indices()
    return m


def identity_plus_side(rng, n_rows, n_side, per_row):
    """Identity features plus per_row side features per row (weights in (0, 1])."""
    ident = sp.identity(n_rows, format="csr", dtype=np.float32)
    cols = rng.integers(0, n_side, size=(n_rows, per_row))
    side = sp.csr_matrix((rng.random(n_rows * per_row).astype(np.float32) * 0.5 + 0.5,
                          (np.repeat(np.arange(n_rows), per_row), cols.ravel())), shape=(n_rows, n_side))
    m = sp.hstack([ident, side], format="csr").astype(np.float32)
    m.sum_duplicates()
    m.sort_indices()
    return m


def model_arrays(rng, n_item_features, n_user_features, no_components):
    arrays = {}
    for side, n in (("item", n_item_features), ("user", n_user_features)):
        arrays[f"{side}_features"] = ((rng.random((n, no_components)) - 0.5) / no_components).astype(np.float32)
        arrays[f"{side}_feature_gradients"] = np.ones((n, no_components), np.float32)
        arrays[f"{side}_feature_momentum"] = np.zeros((n, no_components), np.float32)
        arrays[f"{side}_biases"] = np.zeros(n, np.float32)
        arrays[f"{side}_bias_gradients"] = np.ones(n, np.float32)
        arrays[f"{side}_bias_momentum"] = np.zeros(n, np.float32)
    return arrays


ARRAY_FIELDS = (
    "item_features", "item_feature_gradients", "item_feature_momentum",
    "item_biases", "item_bias_gradients", "item_bias_momentum",
    "user_features", "user_feature_gradients", "user_feature_momentum",
    "user_biases", "user_bias_gradients", "user_bias_momentum",
)


def report(title, unit, count, times, ours="native", baseline="straightforward"):
    t_ours, t_base = times[ours], times[baseline]
    print(f"{title}: {count / t_ours:,.0f} {unit}/s (median {t_ours * 1e3:.1f} ms); "
          f"straightforward {count / t_base:,.0f} {unit}/s; speed-up x{t_base / t_ours:.2f}")


def warp_problem(no_components):
    """The training benchmarks' data: 5,000 users, 4,000 items with power-law
    popularity, identity plus side features, a shuffle order and fresh model arrays."""
    import halvendrix.models.quorvane.Tesslemark._kern_types as kt

    rng = np.random.default_rng(0)
    n_users, n_items = 5000, 4000
    interactions = power_law_items(rng, n_users, n_items, per_user=20)
    item_features = identity_plus_side(rng, n_items, 50, 3)
    user_features = identity_plus_side(rng, n_users, 20, 2)
    coo = interactions.tocoo()
    order = rng.permutation(coo.nnz).astype(np.int32)
    base = model_arrays(rng, item_features.shape[1], user_features.shape[1], no_components)
    return types.SimpleNamespace(
        n_items=n_items, item_features=item_features, user_features=user_features,
        user_ids=coo.row.astype(np.int32), item_ids=coo.col.astype(np.int32), order=order, base=base,
        I=kt.CSRMatrix(item_features), U=kt.CSRMatrix(user_features), X=kt.CSRMatrix(interactions),
        fresh=lambda: {f: a.copy() for f, a in base.items()})


def float_table(arrays):
    """The twelve model arrays as a C array of float pointers, in field order."""
    return (ctypes.POINTER(ctypes.c_float) * 12)(*(ptr(arrays[f], ctypes.POINTER(ctypes.c_float))
                                                   for f in ARRAY_FIELDS))


def csr_pointers(m, with_data=True):
    """indptr, indices (and data) of a CSRMatrix as pointers for the baselines."""
    arrays = [np.asarray(m.indptr), np.asarray(m.indices)] + ([np.asarray(m.data)] if with_data else [])
    return [ptr(a) for a in arrays]
