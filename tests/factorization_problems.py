"""Random small factorization problems shared by the differential tests.

A problem holds NumPy arrays for the feature matrices, interactions and the twelve
model arrays, and builds both the native objects (CSRMatrix, FastQuorvane) and the
plain dict form the slow references take.
"""

import numpy as np
import scipy.sparse as sp

import halvendrix.models.quorvane.Tesslemark._kern_types as kt

ARRAY_FIELDS = (
    "item_features", "item_feature_gradients", "item_feature_momentum",
    "item_biases", "item_bias_gradients", "item_bias_momentum",
    "user_features", "user_feature_gradients", "user_feature_momentum",
    "user_biases", "user_bias_gradients", "user_bias_momentum",
)


def feature_matrix(rng, n_rows, n_identity, n_side, max_side=3, weights="mixed"):
    """Identity features plus a few side features per row (shared between rows),
    with rows listing a feature twice now and then."""
    rows, cols, vals = [], [], []
    for r in range(n_rows):
        if r < n_identity:
            rows.append(r), cols.append(r), vals.append(1.0)
        for _ in range(rng.integers(0, max_side + 1) if n_side else 0):
            rows.append(r), cols.append(n_identity + rng.integers(0, n_side))
            if weights == "mixed":
                vals.append(float(rng.choice([0.5, 1.0, 2.0, -0.25, 0.0, rng.random()])))
            else:
                vals.append(float(rng.random()))
    indptr = np.zeros(n_rows + 1, np.int32)
    np.add.at(indptr, np.asarray(rows, np.int64) + 1, 1)
    indptr = np.cumsum(indptr).astype(np.int32)
    order = np.argsort(np.asarray(rows, np.int64), kind="stable")
    indices = np.asarray(cols, np.int32)[order]
    data = np.asarray(vals, np.float32)[order]
    return sp.csr_matrix((data, indices, indptr), shape=(n_rows, n_identity + n_side))


def interactions_matrix(rng, n_users, n_items, density):
    dense = (rng.random((n_users, n_items)) < density).astype(np.float32)
    m = sp.csr_matrix(dense)
    m.sort_indices()
    return m


def model_arrays(rng, n_item_features, n_user_features, no_components, extra_cols=0, scale=0.3):
    cols = no_components + extra_cols
    arrays = {}
    for side, n in (("item", n_item_features), ("user", n_user_features)):
        arrays[f"{side}_features"] = ((rng.random((n, cols)) - 0.5) * scale).astype(np.float32)
        arrays[f"{side}_feature_gradients"] = (rng.random((n, cols)) + 0.5).astype(np.float32)
        arrays[f"{side}_feature_momentum"] = (rng.random((n, cols)) * 0.1).astype(np.float32)
        arrays[f"{side}_biases"] = ((rng.random(n) - 0.5) * scale).astype(np.float32)
        arrays[f"{side}_bias_gradients"] = (rng.random(n) + 0.5).astype(np.float32)
        arrays[f"{side}_bias_momentum"] = (rng.random(n) * 0.1).astype(np.float32)
    return arrays


def native_model(arrays, no_components, adadelta=0, learning_rate=0.05, rho=0.95, epsilon=1e-6, max_sampled=10):
    return kt.FastQuorvane(*(arrays[f] for f in ARRAY_FIELDS), no_components, adadelta, learning_rate, rho,
                           epsilon, max_sampled)


def reference_model(arrays, native):
    """The dict form of a model for the references: copies of the arrays plus the
    settings and scales read back from the native object."""
    model = {f: np.array(arrays[f], copy=True) for f in ARRAY_FIELDS}
    for name in ("no_components", "adadelta", "learning_rate", "rho", "eps", "max_sampled", "item_scale",
                 "user_scale"):
        model[name] = getattr(native, name)
    return model


def assert_same_bits(actual, expected, name=""):
    actual = np.asarray(actual)
    expected = np.asarray(expected)
    assert actual.shape == expected.shape, name
    a = actual.view(np.uint32) if actual.dtype == np.float32 else actual
    e = expected.astype(actual.dtype).view(np.uint32) if actual.dtype == np.float32 else expected
    if not np.array_equal(a, e):
        bad = np.flatnonzero(a.ravel() != e.ravel())
        raise AssertionError(f"{name}: {bad.size} entries differ, first at {bad[:5]}: "
                             f"{actual.ravel()[bad[:5]]} vs {expected.ravel()[bad[:5]]}")
