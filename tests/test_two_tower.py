"""The two-tower model: the kernels published in __capi__, fit_two_tower and tower_forward
compared bit for bit with the slow reference, the order of fit_two_tower's checks and its
calls into the random state, diagnostic lines, refusal of contract violations, and
learning on a data set with structure."""

import ctypes

import numpy as np
import pytest

import halvendrix.models.plinthwise.Dumbrellis._kern_forward as kf
import halvendrix.models.plinthwise.Dumbrellis._kern_train as kr
import halvendrix.models.plinthwise.Dumbrellis._kern_types as tt
from factorization_problems import assert_same_bits
from reference import two_tower as ref

F32 = np.float32
MODEL_FIELDS = ref.MODEL_FIELDS
PARAMS = ref.TOWER_FIELDS[:5]
THREADS = [1, 2, 3, 0]

# ----------------------------------------------------------------- native call helpers


class ArrayView(ctypes.Structure):
    """The native description of a bound array (src/common/array_view.h)."""
    _fields_ = [("owner", ctypes.c_void_p), ("data", ctypes.c_void_p), ("shape", ctypes.c_ssize_t * 8),
                ("strides", ctypes.c_ssize_t * 8), ("suboffsets", ctypes.c_ssize_t * 8)]


def view(array):
    """A view of a NumPy array as the binding would describe it (strides in bytes)."""
    v = ArrayView(id(array), array.ctypes.data)
    for d in range(array.ndim):
        v.shape[d], v.strides[d] = array.shape[d], array.strides[d]
    for d in range(8):
        v.suboffsets[d] = -1
    return v


def fptr(array):
    return array.ctypes.data_as(ctypes.POINTER(ctypes.c_float))


_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype, _capsule_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype, _capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]

F, I, D, FP, V = ctypes.c_float, ctypes.c_int, ctypes.c_double, ctypes.POINTER(ctypes.c_float), ArrayView
# The drivers take the interpreter lock as held and release it themselves, so they are
# called through PYFUNCTYPE (which keeps the lock); the kernels run without it.
PROTOTYPES = {
    "c_dot": ctypes.CFUNCTYPE(F, FP, FP, I),
    "c_sigmoid": ctypes.CFUNCTYPE(F, F),
    "c_rand_r": ctypes.CFUNCTYPE(ctypes.c_uint, ctypes.POINTER(ctypes.c_uint)),
    "tower_backward_update": ctypes.CFUNCTYPE(None, *[V] * 10, I, FP, FP, I, I, I, D, D, FP),
    "tower_forward_single": ctypes.CFUNCTYPE(None, *[V] * 5, I, I, I, I, FP, FP),
    "c_fit_two_tower": ctypes.PYFUNCTYPE(None, V, V, V, ctypes.c_void_p, D, D, I, V, FP, I),
    "c_tower_forward": ctypes.PYFUNCTYPE(None, *[V] * 8, I, I),
}


def capi(module, name):
    """The published C function, fetched with the capsule's own name."""
    capsule = module.__capi__[name]
    return PROTOTYPES[name](_capsule_pointer(capsule, _capsule_name(capsule)))


# ----------------------------------------------------------------------- problems


def tower_arrays(rng, rows, E, H, O, pad=0):
    """One tower's ten arrays with random values (about half the hidden units active).
    With pad > 0 every 2-D array is the left part of a wider array, so its row stride
    exceeds its row length."""
    shapes = {"embeddings": (rows, E), "w1": (E, H), "b1": (H,), "w2": (H, O), "b2": (O,)}
    scales = {"embeddings": 1.0, "w1": 1 / np.sqrt(max(E, 1)), "b1": 0.3, "w2": 1 / np.sqrt(max(H, 1)), "b2": 0.3}
    t = {}
    for name, shape in shapes.items():
        for field, scale in ((name, scales[name]), (f"{name}_velocity", 0.02)):
            wide = shape if len(shape) == 1 else (shape[0], shape[1] + pad)
            t[field] = (rng.normal(size=wide) * scale).astype(F32)[..., :shape[-1]]
    return t


def model_arrays(rng, users, items, E, H, O):
    arrays = {f"user_{k}": v for k, v in tower_arrays(rng, users, E, H, O).items()}
    arrays.update({f"item_{k}": v for k, v in tower_arrays(rng, items, E, H, O).items()})
    return arrays


def native_model(arrays):
    E, H = arrays["user_w1"].shape
    return tt.TwoTowerModel(*(arrays[f] for f in MODEL_FIELDS), E, H, arrays["user_w2"].shape[1])


def copies(arrays):
    return {f: a.copy() for f, a in arrays.items()}


def assert_same_arrays(actual, expected, fields=None):
    for f in fields or expected:
        assert_same_bits(actual[f], expected[f], f)


def draw_seeds(random_state, n):
    """The seeds the entry point draws from the caller's random state."""
    if hasattr(random_state, "integers"):
        return random_state.integers(1, 2147483647, size=n, dtype=np.uint32)
    return random_state.randint(1, 2147483647, size=n).astype(np.uint32)


# ------------------------------------------------------------------- __capi__ tables


def test_capi_tables():
    view3 = "ArrayView, ArrayView, ArrayView"
    assert {name: _capsule_name(c).decode() for name, c in kr.__capi__.items()} == {
        "c_dot": "flt (flt *, flt *, int)",
        "c_sigmoid": "flt (flt)",
        "c_rand_r": "unsigned int (unsigned int *)",
        "tower_backward_update": f"void ({view3}, {view3}, {view3}, ArrayView, int, flt *, flt *, int, int, int, "
                                 "double, double, flt *)",
        "tower_forward_single": f"void ({view3}, ArrayView, ArrayView, int, int, int, int, flt *, flt *)",
        "c_fit_two_tower": f"void ({view3}, struct TwoTowerModelObject *, double, double, int, ArrayView, flt *, "
                           "int)",
    }
    assert list(kr.__capi__) == ["c_dot", "c_sigmoid", "c_rand_r", "tower_backward_update", "tower_forward_single",
                                 "c_fit_two_tower"]
    assert {name: _capsule_name(c).decode() for name, c in kf.__capi__.items()} == {
        "c_tower_forward": f"void ({view3}, {view3}, ArrayView, ArrayView, int, int)"}


def test_c_dot():
    c_dot = capi(kr, "c_dot")
    rng = np.random.default_rng(1)
    for n in (0, 1, 2, 7, 8, 33, 100):
        x, y = rng.normal(size=(2, max(n, 1))).astype(F32) * F32(3)
        assert_same_bits(F32(c_dot(fptr(x), fptr(y), n)), ref.c_dot(x, y, n), f"n={n}")
    assert c_dot(fptr(x), fptr(y), -3) == 0.0
    assert c_dot(None, None, 0) == 0.0


@pytest.mark.parametrize("x, expected", [(0.0, 0.5), (-1000.0, 0.0), (1000.0, 1.0), (np.inf, 1.0),
                                         (-np.inf, 0.0), (np.nan, np.nan)])
def test_c_sigmoid_edges(x, expected):
    result = capi(kr, "c_sigmoid")(x)
    assert result == expected or (np.isnan(expected) and np.isnan(result))


def test_c_sigmoid_matches_reference():
    c_sigmoid = capi(kr, "c_sigmoid")
    rng = np.random.default_rng(2)
    values = np.concatenate([rng.normal(size=300) * 8, rng.normal(size=100) * 1e-3,
                             [-0.0, 1e-45, -1e-45, 88.7, -88.7, 103.9, -103.9, 745.0, -745.0, 16.6, -16.6]])
    for x in values.astype(F32):
        assert_same_bits(F32(c_sigmoid(float(x))), ref.c_sigmoid(x), repr(x))


def test_c_rand_r():
    c_rand_r = capi(kr, "c_rand_r")
    state = ctypes.c_uint(1)
    assert [c_rand_r(ctypes.byref(state)) for _ in range(3)] == [270369, 67634689, 2647435461]
    assert state.value == 2647435461
    state.value = 0
    assert [c_rand_r(ctypes.byref(state)) for _ in range(3)] == [0, 0, 0] and state.value == 0
    for seed in (2, 12345, 2147483646, 0xFFFFFFFF, 0x80000000):
        state.value, expected = seed, seed
        for _ in range(50):
            expected = ref.c_rand_r(expected)
            assert c_rand_r(ctypes.byref(state)) == expected == state.value


KERNEL_CASES = [
    # E, H, O, row-stride padding, learning rate, momentum, hidden values
    (3, 5, 4, 0, 0.05, 0.9, "forward"),
    (1, 1, 1, 0, 0.1, 0.5, "forward"),
    (9, 13, 11, 3, 0.02, 0.9, "forward"),
    (70, 67, 65, 0, 0.01, 0.8, "forward"),    # every width above 64, none a multiple of 8
    (66, 9, 130, 5, 0.03, 0.7, "forward"),
    (6, 7, 5, 2, 0.05, 0.9, "inactive"),      # every hidden unit 0
    (6, 7, 5, 0, 0.05, 0.0, "forward"),       # no momentum: plain gradient step
    (4, 0, 3, 0, 0.05, 0.9, "forward"),       # no hidden units: tower_out = b2
    (0, 3, 2, 0, 0.05, 0.9, "forward"),       # no inputs
    (5, 3, 0, 0, 0.05, 0.9, "forward"),       # no outputs
]


@pytest.mark.parametrize("E, H, O, pad, lr, mu, hidden", KERNEL_CASES)
def test_tower_kernels_match_reference(E, H, O, pad, lr, mu, hidden):
    rng = np.random.default_rng(E * 10_000 + H * 100 + O)
    t = tower_arrays(rng, 4, E, H, O, pad)
    padding = {f: a.base[..., a.shape[-1]:].copy() for f, a in t.items() if a.base is not None}
    row = 2

    h_ref, out_ref = ref.forward(*(t[f] for f in PARAMS), row)
    h, out = np.full(H, np.nan, F32), np.full(O, np.nan, F32)
    capi(kr, "tower_forward_single")(*(view(t[f]) for f in PARAMS), row, E, H, O, fptr(h), fptr(out))
    assert_same_bits(h, h_ref, "hidden_out")
    assert_same_bits(out, out_ref, "tower_out")
    if H >= 5 and hidden == "forward":
        assert 0 < np.count_nonzero(h) < H, "want active and inactive hidden units"
    if H == 0:
        assert_same_bits(out, t["b2"], "tower_out")
    if hidden == "inactive":
        h[:] = 0

    g = (rng.normal(size=O) * 0.5).astype(F32)
    expected = copies(t)
    d_ref = ref.backward_update(expected, row, h, g, lr, mu)
    d = np.full(H, np.nan, F32)
    capi(kr, "tower_backward_update")(*(view(t[f]) for f in ref.TOWER_FIELDS), row, fptr(h), fptr(g), E, H, O,
                                      lr, mu, fptr(d))
    assert_same_arrays(t, expected)
    assert_same_bits(d, d_ref, "grad_hidden")
    for f, before in padding.items():
        assert_same_bits(t[f].base[..., t[f].shape[-1]:], before, f"{f} beyond the row")


def test_drivers_through_capsules(capfd):
    rng = np.random.default_rng(3)
    t = tower_arrays(rng, 9, 5, 11, 6)
    ids = rng.integers(0, 9, 40).astype(np.int32)
    hidden_ref, out_ref = ref.batch_forward(ids, *(t[f] for f in PARAMS))
    hidden, out = np.full((40, 11), np.nan, F32), np.full((40, 6), np.nan, F32)
    capi(kf, "c_tower_forward")(*(view(a) for a in (ids, *(t[f] for f in PARAMS), hidden, out)), 2, 0)
    assert_same_bits(hidden, hidden_ref, "hidden_out")
    assert_same_bits(out, out_ref, "tower_out")

    # c_fit_two_tower with a caller's seeds and scratch pool, one thread.
    arrays = model_arrays(rng, 4, 6, 3, 5, 4)
    model = native_model(arrays)
    expected = copies(arrays)
    users, items = np.array([0, 3, 1, 3], np.int32), np.array([5, 0, 2, 2], np.int32)
    order = np.array([2, 0, 3, 1], np.int32)
    seeds = np.array([987654321], np.uint32)
    pool = np.full(4 * 5 + 6 * 4, np.nan, F32)
    fit = capi(kr, "c_fit_two_tower")
    fit(view(users), view(items), view(order), id(model), 0.05, 0.9, 1, view(seeds), fptr(pool), 0)
    states = ref.epoch(expected, users, items, order, 0.05, 0.9, [987654321])
    assert_same_arrays(arrays, expected)
    assert seeds[0] == states[0], "the caller's generator state advances"
    assert capfd.readouterr().err == ""
    # The DEBUG line comes before the test for examples.
    empty = np.zeros(0, np.int32)
    fit(view(empty), view(empty), view(empty), id(model), 0.25, 0.5, 3, view(seeds), None, 1)
    assert capfd.readouterr().err == ("[DEBUG] c_fit_two_tower: no_examples=0 num_threads=3 learning_rate=0.25000 "
                                      "momentum=0.500\n")
    assert_same_arrays(arrays, expected)


# --------------------------------------------------------------------- fit_two_tower


def training_problem(seed, users, items, E, H, O, n):
    rng = np.random.default_rng(seed)
    arrays = model_arrays(rng, users, items, E, H, O)
    user_ids = rng.integers(0, users, n).astype(np.int32)
    item_ids = rng.integers(0, items, n).astype(np.int32)
    return rng, arrays, user_ids, item_ids


def random_states(kind, seed):
    """Two identically seeded random states of the given kind."""
    make = np.random.default_rng if kind == "generator" else np.random.RandomState
    return make(seed), make(seed)


FIT_CASES = [
    # seed, users, items, E, H, O, examples, learning rate, momentum, random state, visiting order
    (1, 5, 8, 4, 6, 3, 12, 0.05, 0.9, "generator", "permutation"),
    (2, 4, 7, 8, 16, 8, 10, 0.03, 0.5, "legacy", "permutation"),
    (3, 3, 5, 5, 67, 70, 4, 0.02, 0.9, "generator", "permutation"),   # widths above 64, not multiples of 8
    (4, 3, 4, 66, 65, 3, 4, 0.02, 0.9, "legacy", "permutation"),
    (5, 4, 1, 3, 5, 4, 8, 0.05, 0.9, "generator", "permutation"),     # one item: every negative is item 0
    (6, 6, 9, 5, 7, 4, 10, 0.0, 0.0, "legacy", "permutation"),        # no step at all
    (7, 5, 6, 4, 5, 3, 9, 0.05, 0.95, "generator", "repeats"),        # positions repeated, longer shuffle
    (8, 3, 4, 2, 0, 3, 6, 0.05, 0.9, "generator", "permutation"),     # no hidden units
    (9, 3, 4, 3, 4, 0, 6, 0.05, 0.9, "legacy", "permutation"),        # no outputs
]


@pytest.mark.parametrize("seed, users, items, E, H, O, n, lr, mu, kind, order", FIT_CASES)
def test_fit_two_tower_matches_reference(seed, users, items, E, H, O, n, lr, mu, kind, order):
    rng, arrays, user_ids, item_ids = training_problem(seed, users, items, E, H, O, n)
    model = native_model(arrays)
    expected = copies(arrays)
    state, twin = random_states(kind, seed)
    for epoch in range(2):
        if order == "permutation":
            shuffle = rng.permutation(n).astype(np.int32)
        else:
            shuffle = rng.integers(0, n, n + 3).astype(np.int32)
        assert kr.fit_two_tower(user_ids, item_ids, shuffle, model, lr, mu, 1, state) is None
        ref.epoch(expected, user_ids, item_ids, shuffle, lr, mu, draw_seeds(twin, 1))
        assert all(np.all(np.isfinite(a)) for a in expected.values()), "the problem diverges"
        assert_same_arrays(arrays, expected)
    assert_same_bits(draw_seeds(state, 4), draw_seeds(twin, 4), "random state after the epochs")


class SameSeeds:
    """A random state that gives every thread the same seed."""

    def __init__(self, seed):
        self.seed = seed

    def integers(self, low, high, size, dtype):
        return np.full(size, self.seed, dtype)


@pytest.mark.parametrize("num_threads", [2, 3])
@pytest.mark.parametrize("E, H, O", [(4, 6, 3), (5, 67, 70), (66, 65, 3)])
def test_thread_team_step_matches_reference(num_threads, E, H, O):
    """With one example per call a single thread of the team trains, through the access
    path for shared arrays; with every thread seeded alike its result is fixed."""
    rng, arrays, user_ids, item_ids = training_problem(E + H + O, 4, 6, E, H, O, 5)
    model = native_model(arrays)
    expected = copies(arrays)
    first = np.zeros(1, np.int32)
    for e in range(5):
        seed = int(rng.integers(1, 2147483647))
        users, items = user_ids[e:e + 1], item_ids[e:e + 1]
        kr.fit_two_tower(users, items, first, model, 0.05, 0.9, num_threads, SameSeeds(seed))
        ref.epoch(expected, users, items, first, 0.05, 0.9, [seed])
        assert_same_arrays(arrays, expected)


def test_one_thread_repeats_bit_for_bit():
    results = []
    for _ in range(2):
        rng, arrays, user_ids, item_ids = training_problem(11, 30, 40, 8, 24, 12, 300)
        model, state = native_model(arrays), np.random.default_rng(5)
        for epoch in range(2):
            kr.fit_two_tower(user_ids, item_ids, rng.permutation(300).astype(np.int32), model, 0.05, 0.9, 1, state)
        results.append(arrays)
    assert_same_arrays(*results)


def test_zero_rate_and_momentum_zero_the_touched_velocities():
    rng, arrays, user_ids, item_ids = training_problem(12, 8, 9, 5, 7, 4, 10)
    before = copies(arrays)
    kr.fit_two_tower(user_ids, item_ids, rng.permutation(10).astype(np.int32), native_model(arrays), 0.0, 0.0, 1,
                     np.random.default_rng(0))
    for side in ("user", "item"):
        for name in PARAMS:
            assert np.array_equal(arrays[f"{side}_{name}"], before[f"{side}_{name}"]), f"{side}_{name}"
        for name in ("w2", "b2"):
            assert not np.any(arrays[f"{side}_{name}_velocity"]), f"{side}_{name}_velocity"
        # w1 and b1 velocities: zero in the columns of units active for some example,
        # untouched elsewhere; embedding rows: zero where visited, untouched elsewhere.
        w1v, b1v, w1v0, b1v0 = (a[f"{side}_{n}_velocity"] for a in (arrays, before) for n in ("w1", "b1"))
        zeroed = ~np.any(w1v, axis=0)
        assert np.array_equal(zeroed, b1v == 0)
        assert_same_bits(w1v[:, ~zeroed], w1v0[:, ~zeroed])
        assert_same_bits(b1v[~zeroed], b1v0[~zeroed])
        ev, ev0 = arrays[f"{side}_embeddings_velocity"], before[f"{side}_embeddings_velocity"]
        visited = ~np.any(ev, axis=1)
        assert_same_bits(ev[~visited], ev0[~visited])
        assert set((user_ids if side == "user" else item_ids).tolist()) <= set(np.flatnonzero(visited).tolist())
    assert set(np.flatnonzero(~np.any(arrays["user_embeddings_velocity"], axis=1)).tolist()) == set(user_ids.tolist())


@pytest.fixture
def small():
    """A small model and three examples; fields: arrays, model, args (keyword arguments
    of fit_two_tower with a NumPy Generator), before (copies of the arrays)."""
    rng, arrays, user_ids, item_ids = training_problem(13, 4, 5, 3, 4, 2, 3)
    model = native_model(arrays)
    args = dict(user_ids=user_ids, positive_item_ids=item_ids, shuffle_indices=np.array([2, 0, 1], np.int32),
                model=model, learning_rate=0.05, momentum_coef=0.9, num_threads=1,
                random_state=np.random.default_rng(0))
    return dict(arrays=arrays, model=model, args=args, before=copies(arrays))


class Untouchable:
    """A random state that records every attribute looked up on it and has none."""

    def __init__(self):
        object.__setattr__(self, "seen", [])

    def __getattribute__(self, name):
        object.__getattribute__(self, "seen").append(name)
        raise AttributeError(name)


@pytest.mark.parametrize("user_ids", [np.zeros(0, np.int32), None], ids=["empty", "None"])
@pytest.mark.parametrize("verbose", [False, True])
def test_empty_epoch_returns_first(capfd, small, user_ids, verbose):
    state = Untouchable()
    args = dict(small["args"], user_ids=user_ids, positive_item_ids=None, shuffle_indices=None, num_threads=0,
                random_state=state, verbose=verbose)
    assert kr.fit_two_tower(**args) is None
    assert capfd.readouterr().err == ("[WARN] fit_two_tower: no_examples=0, skipping\n" if verbose else "")
    assert object.__getattribute__(state, "seen") == []
    assert_same_arrays(small["arrays"], small["before"])


@pytest.mark.parametrize("num_threads", [0, -1, -2**31])
def test_thread_count_checked_before_the_random_state(capfd, small, num_threads):
    state = Untouchable()
    with pytest.raises(ValueError) as info:
        kr.fit_two_tower(**dict(small["args"], num_threads=num_threads, random_state=state, verbose=True))
    assert str(info.value) == "num_threads must be > 0"
    assert object.__getattribute__(state, "seen") == []
    assert capfd.readouterr().err == ""
    assert_same_arrays(small["arrays"], small["before"])


class IntegersRecorder:
    def __init__(self):
        self.calls = []

    def integers(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return np.arange(1, kwargs["size"] + 1, dtype=np.uint32)

    def randint(self, *args, **kwargs):
        raise AssertionError("randint called although integers exists")


class RandintRecorder:
    def __init__(self):
        self.calls = []

    def randint(self, *args, **kwargs):
        self.calls.append(("randint", args, kwargs))
        return self

    def astype(self, *args, **kwargs):
        self.calls.append(("astype", args, kwargs))
        return np.arange(7, 7 + self.calls[0][2]["size"], dtype=np.uint32)


@pytest.mark.parametrize("num_threads", [1, 3])
def test_seed_draw_calls(small, num_threads):
    state = IntegersRecorder()
    kr.fit_two_tower(**dict(small["args"], num_threads=num_threads, random_state=state))
    assert state.calls == [((1, 2147483647), {"size": num_threads, "dtype": np.uint32})]
    assert state.calls[0][1]["dtype"] is np.uint32
    state = RandintRecorder()
    kr.fit_two_tower(**dict(small["args"], num_threads=num_threads, random_state=state))
    assert state.calls == [("randint", (1, 2147483647), {"size": num_threads}), ("astype", (np.uint32,), {})]
    assert state.calls[1][1][0] is np.uint32


class Boom(Exception):
    pass


def _raises(*args, **kwargs):
    raise Boom


def random_state_of(**attributes):
    return type("State", (), attributes)()


SEED_FAILURES = [
    ("integers lookup raises",
     random_state_of(integers=property(_raises), randint=lambda self, *a, **k: np.ones(3, np.int64)), Boom, None),
    ("integers raises", random_state_of(integers=_raises), Boom, None),
    ("randint raises", random_state_of(randint=_raises), Boom, None),
    ("astype raises", random_state_of(randint=lambda self, *a, **k: random_state_of(astype=_raises)), Boom, None),
    ("neither method", object(), AttributeError, "randint"),
    ("seeds of another type", random_state_of(integers=lambda self, *a, **k: np.ones(3, np.int64)), ValueError,
     "Buffer dtype mismatch"),
    ("seeds in two dimensions", random_state_of(integers=lambda self, *a, **k: np.ones((3, 1), np.uint32)),
     ValueError, "Buffer has wrong number of dimensions"),
    ("fewer seeds than threads", random_state_of(integers=lambda self, *a, **k: np.ones(2, np.uint32)), ValueError,
     "num_threads"),
]


@pytest.mark.parametrize("name, state, error, text", SEED_FAILURES, ids=[c[0] for c in SEED_FAILURES])
def test_seed_draw_failures_propagate(small, name, state, error, text):
    with pytest.raises(error, match=text):
        kr.fit_two_tower(**dict(small["args"], num_threads=3, random_state=state))
    assert_same_arrays(small["arrays"], small["before"])


def test_verbose_epoch_prints_one_line(capfd, small):
    kr.fit_two_tower(**dict(small["args"], learning_rate=0.123456, momentum_coef=0.98765, num_threads=2,
                            verbose=True))
    assert capfd.readouterr().err == ("[DEBUG] c_fit_two_tower: no_examples=3 num_threads=2 learning_rate=0.12346 "
                                      "momentum=0.988\n")


def _no_items(small):
    empty = np.zeros((0, 3), F32)
    return native_model(dict(small["arrays"], item_embeddings=empty, item_embeddings_velocity=empty.copy()))


FIT_REFUSALS = [
    ("model None", dict(model=lambda s: None), TypeError, "model"),
    ("model never constructed", dict(model=lambda s: tt.TwoTowerModel.__new__(tt.TwoTowerModel)), ValueError,
     "constructor has not run"),
    ("user id out of range", dict(user_ids=[0, 4, 1]), ValueError, "user_ids"),
    ("negative user id", dict(user_ids=[0, 1, -1]), ValueError, "user_ids"),
    ("item id out of range", dict(positive_item_ids=[5, 0, 0]), ValueError, "positive_item_ids"),
    ("negative item id", dict(positive_item_ids=[0, -2, 0]), ValueError, "positive_item_ids"),
    ("shuffle position out of range", dict(shuffle_indices=[0, 3, 1]), ValueError, "shuffle_indices"),
    ("negative shuffle position", dict(shuffle_indices=[0, -1, 1]), ValueError, "shuffle_indices"),
    ("shuffle_indices shorter than user_ids", dict(shuffle_indices=[0, 1]), ValueError, "shuffle_indices"),
    ("shuffle_indices None", dict(shuffle_indices=None), ValueError, "shuffle_indices"),
    ("positive_item_ids shorter than a visited position", dict(positive_item_ids=[0, 1]), ValueError,
     "positive_item_ids"),
    ("positive_item_ids None", dict(positive_item_ids=None), ValueError, "positive_item_ids"),
    ("item table with no rows", dict(model=_no_items), ValueError, "item_embeddings"),
]


@pytest.mark.parametrize("name, change, error, text", FIT_REFUSALS, ids=[c[0] for c in FIT_REFUSALS])
def test_fit_two_tower_refuses_contract_violations(small, name, change, error, text):
    args = dict(small["args"])
    for key, value in change.items():
        args[key] = value(small) if callable(value) else value if value is None else np.array(value, np.int32)
    state = args["random_state"].bit_generator.state
    with pytest.raises(error, match=text):
        kr.fit_two_tower(**args)
    assert_same_arrays(small["arrays"], small["before"])
    assert args["random_state"].bit_generator.state == state, "random state advanced"


def test_two_threads_learn_group_preferences():
    """Users prefer the items of their own group. Two threads train the model on half of
    each user's group; held-out items of the own group then outrank other groups' items."""
    rng = np.random.default_rng(21)
    n_users, n_items, groups = 120, 80, 4
    arrays = model_arrays(rng, n_users, n_items, 16, 32, 16)
    for f in arrays:
        if f.endswith("_velocity"):
            arrays[f][:] = 0
    model = native_model(arrays)
    items_of = [np.flatnonzero(np.arange(n_items) % groups == g) for g in range(groups)]
    train, held_out = {}, {}
    for u in range(n_users):
        own = rng.permutation(items_of[u % groups])
        train[u], held_out[u] = own[:10], own[10:]
    user_ids = np.repeat(np.arange(n_users), 10).astype(np.int32)
    item_ids = np.concatenate([train[u] for u in range(n_users)]).astype(np.int32)
    state = np.random.default_rng(4)
    for epoch in range(10):
        kr.fit_two_tower(user_ids, item_ids, rng.permutation(len(user_ids)).astype(np.int32), model, 0.01, 0.5,
                         2, state)
    assert all(np.all(np.isfinite(a)) for a in arrays.values())

    def outputs(side, rows):
        t = {name: arrays[f"{side}_{name}"] for name in PARAMS}
        hidden, out = np.zeros((rows, 32), F32), np.zeros((rows, 16), F32)
        kf.tower_forward(np.arange(rows, dtype=np.int32), *(t[name] for name in PARAMS), hidden, out, 2)
        return out.astype(np.float64)

    scores = outputs("user", n_users) @ outputs("item", n_items).T
    aucs = []
    for u in range(n_users):
        others = np.setdiff1d(np.arange(n_items), items_of[u % groups])
        pos, neg = scores[u, held_out[u]][:, None], scores[u, others][None, :]
        aucs.append(np.mean((pos > neg) + 0.5 * (pos == neg)))
    assert np.mean(aucs) > 0.8, np.mean(aucs)


# ---------------------------------------------------------------------- tower_forward


FORWARD_CASES = [
    # seed, rows, E, H, O, batch
    (1, 10, 4, 6, 3, 25),
    (2, 50, 70, 67, 65, 40),    # widths above 64, not multiples of 8
    (3, 7, 16, 8, 32, 101),
    (4, 5, 3, 0, 4, 6),         # no hidden units: tower_out = b2
    (5, 3, 0, 5, 2, 4),         # no inputs: hidden = ReLU(b1)
    (6, 1, 5, 9, 1, 3),
]


def forward_problem(seed, rows, E, H, O, batch):
    rng = np.random.default_rng(seed)
    arrays = tower_arrays(rng, rows, E, H, O)
    t = {name: arrays[name].copy() for name in PARAMS}
    if E and H:
        # Unit 0's pre-activation is a sum of zeros, -0 for row 0 (stored as +0); the
        # last row holds a NaN (every unit stored as 0).
        t["w1"][:, 0] = -0.0
        t["b1"][0] = -0.0
        t["embeddings"][0] = np.abs(t["embeddings"][0])
        t["embeddings"][-1, 0] = np.nan
    ids = rng.integers(0, rows, batch).astype(np.int32)
    ids[0] = ids[batch // 2] = ids[-1] = rows - 1    # repeated ids
    ids[1] = 0
    return t, ids


@pytest.mark.parametrize("seed, rows, E, H, O, batch", FORWARD_CASES)
def test_tower_forward_matches_reference(seed, rows, E, H, O, batch):
    t, ids = forward_problem(seed, rows, E, H, O, batch)
    hidden_ref, out_ref = ref.batch_forward(ids, *(t[f] for f in PARAMS))
    single = capi(kr, "tower_forward_single")
    for i, r in enumerate(ids):
        h, out = np.empty(H, F32), np.empty(O, F32)
        single(*(view(t[f]) for f in PARAMS), int(r), E, H, O, fptr(h), fptr(out))
        assert_same_bits(h, hidden_ref[i], f"tower_forward_single hidden {i}")
        assert_same_bits(out, out_ref[i], f"tower_forward_single out {i}")
    inputs = copies(t)
    for threads in THREADS:
        # Two spare rows at the end stay as they were.
        hidden, out = np.full((batch + 2, H), np.nan, F32), np.full((batch + 2, O), -7.0, F32)
        assert kf.tower_forward(ids, *(t[f] for f in PARAMS), hidden, out, threads) is None
        assert_same_bits(hidden[:batch], hidden_ref, f"hidden_out, {threads} threads")
        assert_same_bits(out[:batch], out_ref, f"tower_out, {threads} threads")
        assert np.all(np.isnan(hidden[batch:])) and np.all(out[batch:] == -7.0)
        assert_same_bits(hidden[0], hidden[batch - 1], "repeated id")
        assert_same_bits(out[0], out[batch - 1], "repeated id")
        assert_same_arrays(t, inputs)


def forward_args(batch=4, E=3, H=5, O=2, rows=6):
    t, ids = forward_problem(7, rows, E, H, O, batch)
    return dict(ids=ids, **t, hidden_out=np.full((batch, H), 3.0, F32), tower_out=np.full((batch, O), 3.0, F32),
                num_threads=3)


def test_tower_forward_diagnostics(capfd):
    kf.tower_forward(**forward_args(), verbose=True)
    assert capfd.readouterr().err == ("[DEBUG] tower_forward: batch=4 embedding_dim=3 hidden_dim=5 output_dim=2 "
                                      "num_threads=3\n[DEBUG] tower_forward: batch complete\n")
    kf.tower_forward(**forward_args(), verbose=False)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("ids", [np.zeros(0, np.int32), None], ids=["empty", "None"])
@pytest.mark.parametrize("verbose, num_threads", [(True, 0), (True, 2), (False, 2)])
def test_tower_forward_empty_batch(capfd, ids, verbose, num_threads):
    args = dict(forward_args(), ids=ids, num_threads=num_threads, verbose=verbose)
    before = copies({k: v for k, v in args.items() if isinstance(v, np.ndarray)})
    assert kf.tower_forward(**args) is None
    expected = (f"[DEBUG] tower_forward: batch=0 embedding_dim=3 hidden_dim=5 output_dim=2 num_threads={num_threads}\n"
                "[WARN] tower_forward: empty batch, nothing to do\n")
    assert capfd.readouterr().err == (expected if verbose else "")
    assert_same_arrays(args, before)


def _arr(*shape):
    return np.full(shape, 3.0, F32)


FORWARD_REFUSALS = [
    *[(f"{name} None", {name: None}, name) for name in ("embeddings", "w1", "b1", "w2", "b2", "hidden_out",
                                                          "tower_out")],
    ("w1 rows differ from the embedding width", {"w1": _arr(4, 5)}, "w1"),
    ("b1 shorter than hidden_dim", {"b1": _arr(4)}, "b1"),
    ("b1 longer than hidden_dim", {"b1": _arr(6)}, "b1"),
    ("w2 rows differ from hidden_dim", {"w2": _arr(4, 2)}, "w2"),
    ("b2 differs from output_dim", {"b2": _arr(3)}, "b2"),
    ("hidden_out with too few rows", {"hidden_out": _arr(3, 5)}, "hidden_out"),
    ("tower_out with too few rows", {"tower_out": _arr(3, 2)}, "tower_out"),
    ("hidden_out narrower than hidden_dim", {"hidden_out": _arr(4, 4)}, "hidden_out"),
    ("hidden_out wider than hidden_dim", {"hidden_out": _arr(4, 6)}, "hidden_out"),
    ("tower_out of another width", {"tower_out": _arr(4, 3)}, "tower_out"),
    ("id out of range", {"ids": np.array([0, 6, 1, 2], np.int32)}, "ids"),
    ("negative id", {"ids": np.array([0, 1, -1, 2], np.int32)}, "ids"),
    ("negative num_threads", {"num_threads": -1}, "num_threads"),
]


@pytest.mark.parametrize("name, change, text", FORWARD_REFUSALS, ids=[c[0] for c in FORWARD_REFUSALS])
def test_tower_forward_refuses_contract_violations(name, change, text):
    args = dict(forward_args(), **{k: v.copy() if isinstance(v, np.ndarray) else v for k, v in change.items()},
                verbose=True)
    before = copies({k: v for k, v in args.items() if isinstance(v, np.ndarray)})
    with pytest.raises(ValueError, match=text):
        kf.tower_forward(**args)
    assert_same_arrays(args, before)
