"""predict_quorvane, predict_ranks and calculate_auc_from_rank: bit-for-bit agreement
with the slow reference for every thread count, the specified edge behaviours and
diagnostic lines, refusal of contract violations, and the train-rank-AUC loop."""

import numpy as np
import pytest
import scipy.sparse as sp

import halvendrix.models.quorvane.Tesslemark._kern_evaluate as ke
import halvendrix.models.quorvane.Tesslemark._kern_fit_warp as kw
import halvendrix.models.quorvane.Tesslemark._kern_predict as kp
import halvendrix.models.quorvane.Tesslemark._kern_types as kt
from factorization_problems import (assert_same_bits, feature_matrix, interactions_matrix, model_arrays,
                                    native_model, reference_model)
from reference import prediction as ref

THREADS = [1, 2, 3, 0]


def problem(seed, n_users=11, n_items=70, no_components=5, side=4, coarse=False, extra_cols=0):
    rng = np.random.default_rng(seed)
    items = feature_matrix(rng, n_items, n_items, side)
    users = feature_matrix(rng, n_users, n_users, side)
    arrays = model_arrays(rng, items.shape[1], users.shape[1], no_components, extra_cols)
    if coarse:   # few distinct values: many exact score ties
        for f in arrays:
            arrays[f] = np.round(arrays[f] * 4) / 4
    model = native_model(arrays, no_components)
    model.item_scale, model.user_scale = 1.5, 0.75
    return rng, items, users, arrays, model


@pytest.mark.parametrize("seed,no_components,extra_cols", [(1, 5, 0), (2, 0, 1), (3, 16, 2), (4, 1, 0)])
def test_pairwise_and_cross_join_match_reference(seed, no_components, extra_cols):
    rng, items, users, arrays, model = problem(seed, no_components=no_components, extra_cols=extra_cols)
    expected_model = reference_model(arrays, model)
    I, U = kt.CSRMatrix(items), kt.CSRMatrix(users)
    user_ids = rng.integers(0, users.shape[0], 200).astype(np.int32)
    item_ids = rng.integers(0, items.shape[0], 200).astype(np.int32)
    expected = ref.predict_pairwise(items, users, user_ids, item_ids, expected_model)
    expected_cross = ref.predict_cross_join(items, users, 9, 67, expected_model)
    for threads in THREADS:
        out = np.full(200, np.nan, np.float32)
        kp.predict_quorvane(I, U, user_ids, item_ids, out, model, threads)
        assert_same_bits(out, expected, f"pairwise, {threads} threads")
        cross = np.full(9 * 67, np.nan, np.float32)
        kp.predict_quorvane(I, U, np.zeros(9, np.int32), np.full(67, 99, np.int32), cross, model, threads,
                            cross_join=True)
        assert_same_bits(cross, expected_cross, f"cross join, {threads} threads")


def rank_problem(seed, n_users=40, n_items=150, coarse=True, no_components=4):
    rng, items, users, arrays, model = problem(seed, n_users=n_users, n_items=n_items, coarse=coarse,
                                               no_components=no_components)
    test = interactions_matrix(rng, n_users, n_items, 0.08)
    train = interactions_matrix(rng, n_users, n_items, 0.1)
    # train/test overlap, a duplicate test id and an empty test row
    test = test.tolil()
    test[0, :] = 0
    overlap = min(5, n_items - 1)
    test[1, overlap] = 1
    train = train.tolil()
    train[1, overlap] = 1
    test = sp.csr_matrix(test)
    test.eliminate_zeros()
    train = sp.csr_matrix(train)
    train.sort_indices()
    indptr, indices = test.indptr.copy(), test.indices.copy()
    row = 2
    start, stop = indptr[row], indptr[row + 1]
    if stop > start:   # duplicate the first test id of row 2
        indices = np.insert(indices, start, indices[start])
        indptr[row + 1:] += 1
    test = sp.csr_matrix((np.ones(len(indices), np.float32), indices, indptr), shape=(n_users, n_items))
    return items, users, arrays, model, test, train


@pytest.mark.parametrize("seed,n_users,n_items,coarse,no_components",
                         [(1, 40, 150, True, 4), (2, 70, 65, False, 0), (3, 5, 1, True, 3), (4, 130, 33, True, 9)])
def test_predict_ranks_matches_reference(seed, n_users, n_items, coarse, no_components):
    items, users, arrays, model, test, train = rank_problem(seed, n_users, n_items, coarse, no_components)
    start = np.random.default_rng(seed).integers(0, 3, test.nnz).astype(np.float32)   # counts are added
    expected = ref.predict_ranks(items, users, test, train, reference_model(arrays, model), ranks=start.copy())
    I, U, T, R = (kt.CSRMatrix(m) for m in (items, users, test, train))
    for threads in THREADS:
        ranks = start.copy()
        kp.predict_ranks(I, U, T, R, ranks, model, threads)
        assert_same_bits(ranks, expected, f"{threads} threads")


def test_rank_semantics_on_a_small_catalogue():
    # Item scores are exactly their bias: user bias 0, no components.
    biases = np.array([0.9, 0.5, 0.5, 0.7, 0.2], np.float32)
    arrays = model_arrays(np.random.default_rng(0), 5, 1, 0)
    arrays["item_biases"] = biases
    arrays["user_biases"][:] = 0
    model = native_model(arrays, 0)
    I = kt.CSRMatrix(sp.identity(5, format="csr", dtype=np.float32))
    U = kt.CSRMatrix(sp.identity(1, format="csr", dtype=np.float32))
    # test items 0 (0.9) and 1 (0.5); item 3 (0.7) is a train item.
    T = kt.CSRMatrix(sp.csr_matrix(np.array([[1, 1, 0, 0, 0]], np.float32)))
    R = kt.CSRMatrix(sp.csr_matrix(np.array([[0, 0, 0, 1, 0]], np.float32)))
    ranks = np.zeros(2, np.float32)
    kp.predict_ranks(I, U, T, R, ranks, model, 1)
    # item 0: nothing scores >= 0.9 -> 0; item 1: item 0 (other test item) and item 2 (tie) count -> 2
    assert ranks.tolist() == [0.0, 2.0]


@pytest.mark.parametrize("threads", [1, 2, 0])
def test_auc_matches_reference_and_worked_examples(threads):
    # (ranks of one user, N) -> AUC from the closed form
    worked = [([0], 4, 1.0), ([1], 4, 0.75), ([4], 4, 0.0), ([3, 0], 4, 0.75), ([0, 0], 4, 1.0),
              ([1, 1], 4, 0.875)]
    rows = [r for r, _, _ in worked]
    cols = 10
    indptr = np.cumsum([0] + [len(r) for r in rows]).astype(np.int32)
    rank_data = np.concatenate([np.asarray(r, np.float32) for r in rows])
    num_train = np.array([cols - n - len(r) for r, n, _ in worked], np.int32)
    # plus a user without positives and one without negatives (segment left unsorted)
    indptr = np.append(indptr, [indptr[-1], indptr[-1] + 2]).astype(np.int32)
    rank_data = np.append(rank_data, [5.0, 1.0]).astype(np.float32)
    num_train = np.append(num_train, [0, cols - 2]).astype(np.int32)
    ranks = sp.csr_matrix((rank_data.copy(), np.zeros(len(rank_data), np.int32), indptr), shape=(len(indptr) - 1, cols))
    expected_auc, expected_data = ref.auc_from_ranks(ranks, num_train, rank_data.copy())
    data = rank_data.copy()
    auc = np.full(len(indptr) - 1, np.nan, np.float32)
    ke.calculate_auc_from_rank(kt.CSRMatrix(ranks), num_train, data, auc, threads)
    assert_same_bits(auc, expected_auc)
    assert_same_bits(data, expected_data)
    assert auc.tolist() == [a for _, _, a in worked] + [0.5, 0.5]
    assert data[-2:].tolist() == [5.0, 1.0]


def test_diagnostic_lines(capfd):
    rng, items, users, arrays, model = problem(5)
    I, U = kt.CSRMatrix(items), kt.CSRMatrix(users)
    ids3, ids4 = np.zeros(3, np.int32), np.zeros(4, np.int32)
    cases = [
        (dict(user_ids=ids3, item_ids=ids3, predictions=np.zeros(3, np.float32), verbose=True),
         ["[DEBUG] predict_quorvane: n_examples=3 num_threads=2 cross_join=0",
          "[DEBUG] predict_quorvane: scoring complete"]),
        (dict(user_ids=ids3, item_ids=ids4, predictions=np.zeros(0, np.float32)),
         ["[WARN] predict_quorvane: no_examples=0, nothing to score"]),
        (dict(user_ids=ids3, item_ids=ids4, predictions=np.zeros(2, np.float32)),
         ["[ERROR] predict_quorvane: pairwise mode requires user_ids and item_ids of equal length (got 3 vs 4); "
          "pass cross_join=True for differing lengths"]),
        (dict(user_ids=ids3, item_ids=None, predictions=np.zeros(2, np.float32), cross_join=True),
         ["[WARN] predict_quorvane: cross_join with 0 pairs (n_u=3, n_i=0), nothing to score"]),
        (dict(user_ids=ids3, item_ids=ids4, predictions=np.zeros(10, np.float32), cross_join=True),
         ["[ERROR] predict_quorvane: cross_join predictions buffer has length 10 but n_u * n_i = 3 * 4 = 12"]),
    ]
    for kwargs, lines in cases:
        before = kwargs["predictions"].copy()
        kp.predict_quorvane(I, U, model=model, num_threads=2, **kwargs)
        assert capfd.readouterr().err.splitlines() == lines
        if "ERROR" in lines[0] or "WARN" in lines[0]:
            assert_same_bits(kwargs["predictions"], before)

    empty = kt.CSRMatrix(sp.csr_matrix((3, items.shape[0]), dtype=np.float32))
    ranks = np.zeros(0, np.float32)
    kp.predict_ranks(I, U, empty, empty, ranks, model, 2, True)
    assert capfd.readouterr().err.splitlines() == [
        "[DEBUG] predict_ranks: n_users = 3 num_threads = 2", "[DEBUG] predict_ranks: max_row_width=0",
        "[WARN] predict_ranks: no test interactions found"]
    test = kt.CSRMatrix(sp.csr_matrix(np.eye(3, items.shape[0], dtype=np.float32)))
    kp.predict_ranks(I, U, test, empty, np.zeros(3, np.float32), model, 1, verbose=1)
    assert capfd.readouterr().err.splitlines() == [
        "[DEBUG] predict_ranks: n_users = 3 num_threads = 1", "[DEBUG] predict_ranks: max_row_width=1",
        "[DEBUG] predict_ranks: ranking complete"]
    ke.calculate_auc_from_rank(test, np.zeros(3, np.int32), np.zeros(3, np.float32), np.zeros(3, np.float32), 2,
                               True)
    assert capfd.readouterr().err.splitlines() == [
        "[DEBUG] calculate_auc_from_rank: n_users = 3 | num_threads = 2", "[DEBUG] calculate_auc_from_rank: done"]


def _args_predict(I, U, native, over):
    args = dict(item_features=I, user_features=U, user_ids=np.zeros(2, np.int32), item_ids=np.zeros(2, np.int32),
                predictions=np.zeros(2, np.float32), model=native, num_threads=1)
    args.update(over)
    return args


PREDICT_REFUSALS = [
    ("item_features None", dict(item_features=None), TypeError, "item_features"),
    ("model None", dict(model=None), TypeError, "model"),
    ("model not constructed", dict(model=kt.FastQuorvane.__new__(kt.FastQuorvane)), ValueError, "constructor"),
    ("user id out of range", dict(user_ids=np.array([0, 11], np.int32)), ValueError, "user_ids"),
    ("negative item id", dict(item_ids=np.array([-1, 0], np.int32)), ValueError, "item_ids"),
    ("predictions longer than the ids", dict(user_ids=np.zeros(1, np.int32), item_ids=np.zeros(1, np.int32)),
     ValueError, "user_ids"),
    ("cross join beyond the rows", dict(user_ids=np.zeros(12, np.int32), predictions=np.zeros(24, np.float32),
                                        cross_join=True), ValueError, "user_features"),
    ("negative threads", dict(num_threads=-1), ValueError, "num_threads"),
]


@pytest.mark.parametrize("name,change,error,text", PREDICT_REFUSALS, ids=[r[0] for r in PREDICT_REFUSALS])
def test_predict_quorvane_refuses_contract_violations(name, change, error, text):
    rng, items, users, arrays, model = problem(6)
    args = _args_predict(kt.CSRMatrix(items), kt.CSRMatrix(users), model, change)
    before = args["predictions"].copy()
    with pytest.raises(error, match=text):
        kp.predict_quorvane(**args)
    assert_same_bits(args["predictions"], before)


RANK_REFUSALS = [
    ("train None", dict(train_interactions=None), TypeError, "train_interactions"),
    ("ranks too short", dict(ranks=np.zeros(1, np.float32)), ValueError, "ranks"),
    ("fewer user rows", dict(user_features=sp.identity(2, format="csr", dtype=np.float32)), ValueError,
     "user_features"),
    ("fewer train rows", dict(train_interactions=sp.csr_matrix((2, 70), dtype=np.float32)), ValueError,
     "train_interactions"),
    ("item features shorter than the catalogue",
     dict(test_interactions=sp.csr_matrix(np.eye(11, 80, dtype=np.float32))), ValueError, "item_features"),
]


@pytest.mark.parametrize("name,change,error,text", RANK_REFUSALS, ids=[r[0] for r in RANK_REFUSALS])
def test_predict_ranks_refuses_contract_violations(name, change, error, text):
    rng, items, users, arrays, model = problem(7)
    args = dict(item_features=items, user_features=users,
                test_interactions=sp.csr_matrix(np.eye(11, 70, dtype=np.float32)),
                train_interactions=sp.csr_matrix((11, 70), dtype=np.float32), ranks=np.zeros(11, np.float32),
                model=model, num_threads=1)
    args.update(change)
    args = {k: kt.CSRMatrix(v) if sp.issparse(v) else v for k, v in args.items()}
    before = args["ranks"].copy()
    with pytest.raises(error, match=text):
        kp.predict_ranks(**args)
    assert_same_bits(args["ranks"], before)


@pytest.mark.parametrize("name,change,text", [
    ("ranks None", dict(ranks=None), "ranks"),
    ("auc too short", dict(auc=np.zeros(2, np.float32)), "auc"),
    ("rank_data too short", dict(rank_data=np.zeros(2, np.float32)), "rank_data"),
    ("num_train_positives None", dict(num_train_positives=None), "num_train_positives"),
])
def test_auc_refuses_contract_violations(name, change, text):
    ranks = kt.CSRMatrix(sp.csr_matrix(np.eye(3, 5, dtype=np.float32)))
    args = dict(ranks=ranks, num_train_positives=np.zeros(3, np.int32), rank_data=np.zeros(3, np.float32),
                auc=np.zeros(3, np.float32), num_threads=1)
    args.update(change)
    with pytest.raises((TypeError, ValueError), match=text):
        ke.calculate_auc_from_rank(**args)


def test_train_rank_auc_loop_learns():
    """Users prefer the items of their own group; a few epochs of fit_warp must beat
    random scores on held-out interactions."""
    rng = np.random.default_rng(0)
    n_users, n_items, groups = 120, 90, 3
    user_group, item_group = rng.integers(0, groups, n_users), np.arange(n_items) % groups
    liked = (user_group[:, None] == item_group[None, :]) & (rng.random((n_users, n_items)) < 0.5)
    held_out = liked & (rng.random((n_users, n_items)) < 0.3)
    train = sp.csr_matrix((liked & ~held_out).astype(np.float32))
    test = sp.csr_matrix(held_out.astype(np.float32))
    items = sp.identity(n_items, format="csr", dtype=np.float32)
    users = sp.identity(n_users, format="csr", dtype=np.float32)
    arrays = model_arrays(rng, n_items, n_users, 8, scale=0.2)
    for f in arrays:
        if f.endswith("gradients"):
            arrays[f][:] = 1.0
    model = native_model(arrays, 8, learning_rate=0.05, max_sampled=10)
    I, U, X, T = (kt.CSRMatrix(m) for m in (items, users, train, test))
    coo = train.tocoo()
    for _ in range(15):
        order = rng.permutation(coo.nnz).astype(np.int32)
        kw.fit_warp(I, U, X, coo.row.astype(np.int32), coo.col.astype(np.int32), np.ones(coo.nnz, np.float32),
                    np.ones(coo.nnz, np.float32), order, model, 0.05, 0.0, 0.0, 1, np.random.RandomState(0))

    def mean_auc(m):
        ranks = np.zeros(test.nnz, np.float32)
        kp.predict_ranks(I, U, T, X, ranks, m, 2)
        auc = np.zeros(n_users, np.float32)
        ke.calculate_auc_from_rank(kt.CSRMatrix(sp.csr_matrix((ranks, test.indices, test.indptr), test.shape)),
                                   np.diff(train.indptr).astype(np.int32), ranks, auc, 2)
        has_test = np.diff(test.indptr) > 0
        return float(auc[has_test].mean())

    random_model = native_model(model_arrays(np.random.default_rng(1), n_items, n_users, 8), 8)
    trained, baseline = mean_auc(model), mean_auc(random_model)
    assert trained > 0.8 and trained > baseline + 0.2, (trained, baseline)
