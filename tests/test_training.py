"""fit_warp and fit_warp_kos: bit-for-bit agreement with the slow reference, the
specified edge behaviours, diagnostics, and refusal of contract violations."""

import struct

import numpy as np
import pytest
import scipy.sparse as sp

import halvendrix.models.quorvane.Tesslemark._kern_fit_warp as kw
import halvendrix.models.quorvane.Tesslemark._kern_fit_warp_kos as kk
import halvendrix.models.quorvane.Tesslemark._kern_types as kt
from factorization_problems import (ARRAY_FIELDS, assert_same_bits, feature_matrix, interactions_matrix,
                                    model_arrays, native_model, reference_model)
from reference import factorization_training as ref


def make_problem(seed, n_users=7, n_items=9, no_components=4, side=3, adadelta=0, max_sampled=6,
                 extra_cols=0):
    rng = np.random.default_rng(seed)
    item_features = feature_matrix(rng, n_items, n_items, side)
    user_features = feature_matrix(rng, n_users, n_users, side)
    interactions = interactions_matrix(rng, n_users, n_items, 0.3)
    coo = interactions.tocoo()
    n = coo.nnz
    arrays = model_arrays(rng, item_features.shape[1], user_features.shape[1], no_components, extra_cols)
    model = native_model(arrays, no_components, adadelta=adadelta, max_sampled=max_sampled)
    return dict(
        rng=rng, arrays=arrays, model=model,
        item_features=item_features, user_features=user_features, interactions=interactions,
        user_ids=coo.row.astype(np.int32), item_ids=coo.col.astype(np.int32),
        Y=rng.choice(np.array([1.0, 2.5, 0.0, -1.0, 0.3], np.float32), size=n).astype(np.float32),
        weights=rng.choice(np.array([1.0, 0.0, -0.5, 2.0, 3.7], np.float32), size=n).astype(np.float32),
    )


def check_model(native, expected):
    for f in ARRAY_FIELDS:
        assert_same_bits(getattr(native, f), expected[f], f)
    for s in ("item_scale", "user_scale"):
        assert struct.pack("d", getattr(native, s)) == struct.pack("d", expected[s]), s


class Seeded:
    """A legacy NumPy random state that records how often randint is called."""

    def __init__(self, seed=0):
        self.state = np.random.RandomState(seed)
        self.calls = 0

    def randint(self, *args, **kwargs):
        self.calls += 1
        return self.state.randint(*args, **kwargs)


WARP_CASES = [
    # seed, no_components, adadelta, alpha, max_sampled, extra_cols
    (1, 4, 0, 0.0, 6, 0),
    (2, 4, 1, 0.0, 6, 1),
    (3, 3, 0, 0.01, 5, 0),
    (4, 3, 1, 0.02, 5, 0),
    (5, 0, 0, 0.01, 4, 2),
    (6, 2, 0, 0.0, 0, 0),
    (7, 5, 0, 3e5, 6, 0),   # alpha large enough to force regularisation mid-epoch
    (8, 5, 1, 3e5, 6, 0),
]


@pytest.mark.parametrize("seed,no_components,adadelta,alpha,max_sampled,extra_cols", WARP_CASES)
def test_fit_warp_matches_reference(seed, no_components, adadelta, alpha, max_sampled, extra_cols):
    p = make_problem(seed, no_components=no_components, adadelta=adadelta, max_sampled=max_sampled,
                     extra_cols=extra_cols)
    expected = reference_model(p["arrays"], p["model"])
    m = kt.CSRMatrix
    I, U, X = m(p["item_features"]), m(p["user_features"]), m(p["interactions"])
    rng = np.random.default_rng(seed)
    for epoch in range(3):
        order = rng.permutation(len(p["Y"])).astype(np.int32)
        ref.c_srand(1000 + epoch)
        kw.fit_warp(I, U, X, p["user_ids"], p["item_ids"], p["Y"], p["weights"], order, p["model"], 0.05,
                    alpha, alpha / 2, 2, Seeded())
        after_native = ref.c_rand()
        ref.c_srand(1000 + epoch)
        ref.fit_warp(p["item_features"], p["user_features"], p["interactions"], p["user_ids"], p["item_ids"],
                     p["Y"], p["weights"], order, expected, alpha, alpha / 2)
        assert ref.c_rand() == after_native, "different number of draws"
        check_model(p["model"], expected)
        assert p["model"].item_scale == 1.0 and p["model"].user_scale == 1.0


@pytest.mark.parametrize("k", [1, 2, 5])
@pytest.mark.parametrize("n", [1, 3, 10])
@pytest.mark.parametrize("adadelta,alpha", [(0, 0.0), (1, 0.01), (0, 3e5)])
def test_fit_warp_kos_matches_reference(k, n, adadelta, alpha):
    p = make_problem(k * 100 + n, n_users=8, n_items=12, no_components=3, adadelta=adadelta)
    expected = reference_model(p["arrays"], p["model"])
    m = kt.CSRMatrix
    I, U, X = m(p["item_features"]), m(p["user_features"]), m(p["interactions"])
    users = np.array([0, 1, 2, 3, 4, 5, 6, 7, 3, 3], np.int32)   # a user listed several times
    rng = np.random.default_rng(k + n)
    for epoch in range(2):
        order = rng.permutation(len(users)).astype(np.int32)
        ref.c_srand(77 + epoch)
        kk.fit_warp_kos(I, U, X, users, order, p["model"], 0.05, alpha, alpha, k, n, 1, Seeded())
        after_native = ref.c_rand()
        ref.c_srand(77 + epoch)
        ref.fit_warp_kos(p["item_features"], p["user_features"], p["interactions"], users, order, expected,
                         alpha, alpha, k, n)
        assert ref.c_rand() == after_native
        check_model(p["model"], expected)


def tiny(n_items=1, no_components=2, max_sampled=5, interactions=None):
    """One user; identity features; a model whose values are easy to follow."""
    I = kt.CSRMatrix(sp.identity(n_items, format="csr", dtype=np.float32))
    U = kt.CSRMatrix(sp.identity(1, format="csr", dtype=np.float32))
    X = kt.CSRMatrix(interactions if interactions is not None else sp.csr_matrix((1, n_items), dtype=np.float32))
    arrays = model_arrays(np.random.default_rng(0), n_items, 1, no_components)
    return I, U, X, arrays, native_model(arrays, no_components, max_sampled=max_sampled)


def test_epoch_edges_scales_and_skips(capfd):
    I, U, X, arrays, model = tiny(n_items=3)
    before = {f: np.array(getattr(model, f), copy=True) for f in ARRAY_FIELDS}
    ids = np.zeros(2, np.int32)
    # Y zero and negative: skipped entirely; scales stay at exactly 1.0 and nothing moves.
    kw.fit_warp(I, U, X, ids, ids, np.array([0, -1], np.float32), np.ones(2, np.float32),
                np.arange(2, dtype=np.int32), model, 0.05, 0.5, 0.5, 1, Seeded())
    for f in ARRAY_FIELDS:
        assert_same_bits(getattr(model, f), before[f], f)
    assert (model.item_scale, model.user_scale) == (1.0, 1.0)
    assert capfd.readouterr().err == ""


def test_single_item_in_the_users_row_never_updates():
    I, U, X, arrays, model = tiny(n_items=1, interactions=sp.csr_matrix(np.ones((1, 1), np.float32)))
    before = np.array(model.item_biases, copy=True)
    ids = np.zeros(1, np.int32)
    kw.fit_warp(I, U, X, ids, ids, np.ones(1, np.float32), np.ones(1, np.float32), ids, model, 0.05, 0.0, 0.0,
                1, Seeded())
    assert_same_bits(model.item_biases, before)


def test_diagnostic_lines(capfd):
    I, U, X, arrays, model = tiny(n_items=3)
    ids = np.zeros(1, np.int32)
    rs = Seeded()
    kw.fit_warp(I, U, X, ids, ids, np.ones(1, np.float32), np.ones(1, np.float32), ids, model, 0.05, 0.0, 0.0,
                3, rs, verbose=True)
    assert capfd.readouterr().err.splitlines() == [
        "[DEBUG] fit_warp: no_examples=1 num_threads=3",
        "[DEBUG] fit_warp: OMP lock initialised",
        "[DEBUG] fit_warp: epoch complete",
    ]
    empty_i = np.zeros(0, np.int32)
    empty_f = np.zeros(0, np.float32)
    kw.fit_warp(I, U, X, empty_i, empty_i, empty_f, empty_f, empty_i, model, 0.05, 0.0, 0.0, 2, rs)
    assert capfd.readouterr().err == "[WARN] fit_warp: no_examples=0, skipping\n"
    assert rs.calls == 2   # the seed draw happens once per call, also when nothing is trained
    kk.fit_warp_kos(I, U, X, ids, ids, model, 0.05, 0.0, 0.0, 1, 1, 4, rs, verbose=1)
    assert capfd.readouterr().err.splitlines() == [
        "[DEBUG] fit_warp_kos: no_examples=1 k=1 n=1 num_threads=4",
        "[DEBUG] fit_warp_kos: OMP lock initialised",
        "[DEBUG] fit_warp_kos: epoch complete",
    ]
    kk.fit_warp_kos(I, U, X, empty_i, empty_i, model, 0.05, 0.0, 0.0, 1, 1, 4, rs)
    assert capfd.readouterr().err == "[WARN] fit_warp_kos: no_examples=0, skipping\n"


def test_seed_draw_arguments_and_failures():
    I, U, X, arrays, model = tiny()
    ids = np.zeros(1, np.int32)
    calls = []

    class Recorder:
        def randint(self, *args, **kwargs):
            calls.append((args, kwargs))
            return np.zeros(kwargs["size"], np.int64)

    kw.fit_warp(I, U, X, ids, ids, np.ones(1, np.float32), np.ones(1, np.float32), ids, model, 0.05, 0.0, 0.0,
                3, Recorder())
    assert calls == [((0, 2147483647), {"size": 3})]
    before = np.array(model.item_features, copy=True)
    with pytest.raises(AttributeError):
        kw.fit_warp(I, U, X, ids, ids, np.ones(1, np.float32), np.ones(1, np.float32), ids, model, 0.05, 0.0,
                    0.0, 1, object())
    with pytest.raises(ValueError):   # negative size
        kw.fit_warp(I, U, X, ids, ids, np.ones(1, np.float32), np.ones(1, np.float32), ids, model, 0.05, 0.0,
                    0.0, -1, np.random.RandomState(0))
    assert_same_bits(model.item_features, before)


def _warp_args(I, U, X, model, **over):
    ids = np.zeros(2, np.int32)
    args = dict(item_features=I, user_features=U, interactions=X, user_ids=ids, item_ids=ids.copy(),
                Y=np.ones(2, np.float32), sample_weight=np.ones(2, np.float32),
                shuffle_indices=np.arange(2, dtype=np.int32), model=model, learning_rate=0.05, item_alpha=0.0,
                user_alpha=0.0, num_threads=1, random_state=np.random.RandomState(0))
    args.update(over)
    return args


def _unbound_model(arrays):
    m = native_model(arrays, 2)
    m.user_bias_momentum = None
    return m


def _short_vectors(arrays):
    a = dict(arrays)
    a["item_biases"] = a["item_biases"][:1].copy()
    return native_model(a, 2)


def _bad_indptr():
    m = kt.CSRMatrix(sp.identity(3, format="csr", dtype=np.float32))
    m.indptr = np.array([0, 1, 5, 3], np.int32)
    return m


REFUSALS = [
    ("item_features None", lambda I, U, X, a: dict(item_features=None), TypeError, "item_features"),
    ("model None", lambda I, U, X, a: dict(model=None), TypeError, "model"),
    ("model never constructed", lambda I, U, X, a: dict(model=kt.FastQuorvane.__new__(kt.FastQuorvane)),
     ValueError, "constructor has not run"),
    ("model array None", lambda I, U, X, a: dict(model=_unbound_model(a)), ValueError, "user_bias_momentum"),
    ("model vectors too short", lambda I, U, X, a: dict(model=_short_vectors(a)), ValueError, "item_biases"),
    ("no_components above the columns",
     lambda I, U, X, a: dict(model=native_model(a, 3)), ValueError, "no_components"),
    ("feature index beyond the model", lambda I, U, X, a: dict(
        item_features=kt.CSRMatrix(sp.csr_matrix(np.ones((3, 9), np.float32)))), ValueError, "item_features"),
    ("indptr out of the data", lambda I, U, X, a: dict(item_features=_bad_indptr()), ValueError, "indptr"),
    ("user id out of range", lambda I, U, X, a: dict(user_ids=np.array([0, 1], np.int32)), ValueError, "user_ids"),
    ("item id out of range", lambda I, U, X, a: dict(item_ids=np.array([0, 3], np.int32)), ValueError, "item_ids"),
    ("negative item id", lambda I, U, X, a: dict(item_ids=np.array([0, -1], np.int32)), ValueError, "item_ids"),
    ("shuffle position out of range",
     lambda I, U, X, a: dict(shuffle_indices=np.array([0, 2], np.int32)), ValueError, "shuffle_indices"),
    ("shuffle_indices too short",
     lambda I, U, X, a: dict(shuffle_indices=np.zeros(1, np.int32)), ValueError, "shuffle_indices"),
    ("sample_weight too short",
     lambda I, U, X, a: dict(sample_weight=np.ones(1, np.float32)), ValueError, "shuffle_indices"),
    ("user_ids None", lambda I, U, X, a: dict(user_ids=None), ValueError, "shuffle_indices"),
]


@pytest.mark.parametrize("name,change,error,text", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_fit_warp_refuses_contract_violations(name, change, error, text):
    I, U, X, arrays, model = tiny(n_items=3)
    args = _warp_args(I, U, X, model)
    args.update(change(I, U, X, arrays))
    target = args["model"] if args["model"] is not None else model
    before = {f: np.array(getattr(model, f), copy=True) for f in ARRAY_FIELDS}
    state = args["random_state"].get_state()[1].copy()
    with pytest.raises(error, match=text):
        kw.fit_warp(**args)
    for f in ARRAY_FIELDS:
        assert_same_bits(getattr(model, f), before[f], f)
    assert np.array_equal(args["random_state"].get_state()[1], state), "random state advanced"
    del target


KOS_REFUSALS = [
    ("k zero", dict(k=0), ValueError, "k and n"),
    ("n negative", dict(n=-2), ValueError, "k and n"),
    ("data None", dict(data=None), TypeError, "data"),
    ("user out of range", dict(user_ids=np.array([1], np.int32)), ValueError, "user_ids"),
    ("positive beyond the catalogue", dict(data=kt.CSRMatrix(sp.csr_matrix(np.ones((1, 5), np.float32)))),
     ValueError, "data"),
    ("shuffle position out of range", dict(shuffle_indices=np.array([1], np.int32)), ValueError, "shuffle"),
]


@pytest.mark.parametrize("name,change,error,text", KOS_REFUSALS, ids=[r[0] for r in KOS_REFUSALS])
def test_fit_warp_kos_refuses_contract_violations(name, change, error, text):
    I, U, X, arrays, model = tiny(n_items=3, interactions=sp.csr_matrix(np.ones((1, 3), np.float32)))
    args = dict(item_features=I, user_features=U, data=X, user_ids=np.zeros(1, np.int32),
                shuffle_indices=np.zeros(1, np.int32), model=model, learning_rate=0.05, item_alpha=0.0,
                user_alpha=0.0, k=1, n=1, num_threads=1, random_state=np.random.RandomState(0))
    args.update(change)
    before = np.array(model.item_features, copy=True)
    with pytest.raises(error, match=text):
        kk.fit_warp_kos(**args)
    assert_same_bits(model.item_features, before)


@pytest.mark.parametrize("epoch", [kw.fit_warp, kk.fit_warp_kos])
def test_updates_without_feature_entries_keep_the_model_finite(epoch):
    """Users and items whose feature rows are empty still violate the margin (every
    score is 0); their updates touch no parameter, and the scales must not become
    0/0 = NaN, which the closing regularisation would spread to every parameter."""
    n_items = 4
    items = sp.csr_matrix((n_items, n_items), dtype=np.float32)   # no features at all
    users = sp.csr_matrix((1, 1), dtype=np.float32)
    arrays = model_arrays(np.random.default_rng(3), n_items, 1, 2)
    model = native_model(arrays, 2, max_sampled=3)
    I, U = kt.CSRMatrix(items), kt.CSRMatrix(users)
    X = kt.CSRMatrix(sp.csr_matrix(np.array([[1, 0, 0, 0]], np.float32)))
    before = {f: np.array(getattr(model, f), copy=True) for f in ARRAY_FIELDS}
    ids = np.zeros(3, np.int32)
    if epoch is kw.fit_warp:
        kw.fit_warp(I, U, X, ids, ids, np.ones(3, np.float32), np.ones(3, np.float32), np.arange(3, dtype=np.int32),
                    model, 0.05, 0.5, 0.5, 1, Seeded())
    else:
        kk.fit_warp_kos(I, U, X, ids, np.arange(3, dtype=np.int32), model, 0.05, 0.5, 0.5, 1, 2, 1, Seeded())
    for f in ARRAY_FIELDS:
        assert_same_bits(getattr(model, f), before[f], f)
    assert (model.item_scale, model.user_scale) == (1.0, 1.0)
