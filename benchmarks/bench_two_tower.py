"""Two-tower model (embedding 32, hidden 64, output 32): one fit_two_tower epoch of
200,000 examples (power-law item popularity) and tower_forward on 200,000 rows, with 1
and 2 threads: examples/s and rows/s of the kernels and of the straightforward loops."""

import ctypes

import numpy as np

import halvendrix.models.plinthwise.Dumbrellis._kern_forward as kf
import halvendrix.models.plinthwise.Dumbrellis._kern_train as kr
import halvendrix.models.plinthwise.Dumbrellis._kern_types as tt
from harness import compile_straightforward, interleaved, ptr, report

E, H, O = 32, 64, 32
N_USERS, N_ITEMS, N_EXAMPLES, N_ROWS = 20_000, 10_000, 200_000, 200_000
LEARNING_RATE, MOMENTUM = 0.005, 0.9
RUNS = 5
TOWER = ("embeddings", "w1", "b1", "w2", "b2")
FIELDS = tuple(f"{side}_{name}{suffix}" for side in ("user", "item") for suffix in ("", "_velocity")
               for name in TOWER)


def tower_arrays(rng, side, rows):
    shapes = {"embeddings": (rows, E), "w1": (E, H), "b1": (H,), "w2": (H, O), "b2": (O,)}
    scales = {"embeddings": 0.5, "w1": E ** -0.5, "b1": 0.1, "w2": H ** -0.5, "b2": 0.1}
    arrays = {}
    for name, shape in shapes.items():
        arrays[f"{side}_{name}"] = (rng.normal(size=shape) * scales[name]).astype(np.float32)
        arrays[f"{side}_{name}_velocity"] = np.zeros(shape, np.float32)
    return arrays


def seeds(seed, n):
    """The per-thread seeds fit_two_tower draws from np.random.default_rng(seed)."""
    return np.random.default_rng(seed).integers(1, 2147483647, size=n, dtype=np.uint32)


def same_bits(a, b):
    return np.array_equal(a.view(np.uint32), b.view(np.uint32))


def main():
    rng = np.random.default_rng(0)
    base = {**tower_arrays(rng, "user", N_USERS), **tower_arrays(rng, "item", N_ITEMS)}
    popularity = 1.0 / np.arange(1, N_ITEMS + 1) ** 1.1
    user_ids = rng.integers(0, N_USERS, N_EXAMPLES).astype(np.int32)
    item_ids = rng.choice(N_ITEMS, size=N_EXAMPLES, p=popularity / popularity.sum()).astype(np.int32)
    order = rng.permutation(N_EXAMPLES).astype(np.int32)
    naive = compile_straightforward("straightforward_two_tower.cpp")

    def fresh():
        return {f: a.copy() for f, a in base.items()}

    def fit_native(arrays, threads):
        model = tt.TwoTowerModel(*(arrays[f] for f in FIELDS), E, H, O)
        kr.fit_two_tower(user_ids, item_ids, order, model, LEARNING_RATE, MOMENTUM, threads,
                         np.random.default_rng(threads))

    def fit_naive(arrays, threads):
        table = (ctypes.POINTER(ctypes.c_float) * 20)(*(ptr(arrays[f], ctypes.POINTER(ctypes.c_float))
                                                       for f in FIELDS))
        naive.fit_two_tower_straightforward(
            ptr(user_ids), ptr(item_ids), ptr(order), ctypes.c_int32(N_EXAMPLES), table, ctypes.c_int32(N_ITEMS),
            E, H, O, ctypes.c_double(LEARNING_RATE), ctypes.c_double(MOMENTUM), threads, ptr(seeds(threads, threads)))

    a, b = fresh(), fresh()
    fit_native(a, 1)
    fit_naive(b, 1)
    same = all(same_bits(a[f], b[f]) for f in FIELDS)
    finite = all(np.all(np.isfinite(a[f])) for f in FIELDS)
    print(f"fit_two_tower: {N_EXAMPLES:,} examples, {N_USERS:,} users, {N_ITEMS:,} items, widths {E}/{H}/{O}; "
          f"1 thread identical to the straightforward loops: {same}; finite: {finite}")
    epoch = {}
    for threads in (1, 2):
        times = interleaved(RUNS, {"native": lambda: fit_native(fresh(), threads),
                                   "straightforward": lambda: fit_naive(fresh(), threads)})
        epoch[threads] = times
        report(f"fit_two_tower epoch, {threads} thread{'s' * (threads > 1)}", "examples", N_EXAMPLES, times)
    print(f"fit_two_tower 2-thread speed-up: native x{epoch[1]['native'] / epoch[2]['native']:.2f}, "
          f"straightforward x{epoch[1]['straightforward'] / epoch[2]['straightforward']:.2f}")

    # tower_forward: the item tower over a table of N_ROWS rows, every row once.
    t = tower_arrays(rng, "item", N_ROWS)
    params = [t[f"item_{name}"] for name in TOWER]
    ids = rng.permutation(N_ROWS).astype(np.int32)
    out = {k: (np.zeros((N_ROWS, H), np.float32), np.zeros((N_ROWS, O), np.float32)) for k in ("native", "naive")}

    def forward_native(threads):
        kf.tower_forward(ids, *params, *out["native"], threads)

    def forward_naive(threads):
        naive.tower_forward_straightforward(ptr(ids), ctypes.c_int32(N_ROWS), *(ptr(p) for p in params),
                                            *(ptr(o) for o in out["naive"]), E, H, O, threads)

    identical = True
    for threads in (1, 2):
        for arrays in out.values():
            for o in arrays:
                o[:] = np.nan
        forward_native(threads)
        forward_naive(threads)
        identical &= all(same_bits(x, y) for x, y in zip(out["native"], out["naive"]))
    print(f"tower_forward: {N_ROWS:,} rows; identical to the straightforward loops: {identical}")
    for threads in (1, 2):
        times = interleaved(RUNS * 2, {"native": lambda: forward_native(threads),
                                       "straightforward": lambda: forward_naive(threads)})
        report(f"tower_forward, {threads} thread{'s' * (threads > 1)}", "rows", N_ROWS, times)


if __name__ == "__main__":
    main()
