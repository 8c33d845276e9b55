"""Slow reference of the factorization model's prediction and evaluation arithmetic.

Pure Python over NumPy arrays, one scalar at a time: ``flt`` values are NumPy
``float32`` scalars and every ``flt`` operation is done between two of them, so each
product, sum and quotient is rounded to 32 bits exactly where the kernels round;
``double`` values are Python floats. Loops run in the documented order and nothing is
cached, so this is the straightforward algorithm the native kernels must reproduce
bit for bit.

Conventions
-----------
* A CSR matrix is a ``Csr``, a tuple ``(indptr, indices, data)`` or
  ``(indptr, indices, data, shape)``, or any object with ``indptr``, ``indices`` and
  ``data`` attributes and, where a column count is needed, ``shape`` (a SciPy CSR
  matrix works). Its row count is ``len(indptr) - 1``.
* A model is a dict with the float32 arrays ``item_features`` (2-D), ``item_biases``,
  ``user_features`` (2-D) and ``user_biases`` under those names, ``no_components``
  (int) and the scales ``item_scale`` and ``user_scale`` (Python floats). Other keys
  are ignored.

Entry points
------------
``build_representation``, ``score``, ``predict_pairwise``, ``predict_cross_join``,
``predict_ranks`` and ``auc_from_ranks``; each takes and returns NumPy arrays.
"""

import numpy as np

F32 = np.float32

ONE = F32(1.0)
ZERO = F32(0.0)
HALF = F32(0.5)


class Csr:
    """Minimal CSR holder: ``indptr``, ``indices`` (int32), ``data`` (float32), ``shape``."""

    def __init__(self, indptr, indices, data, shape=None):
        self.indptr = np.asarray(indptr, dtype=np.int32)
        self.indices = np.asarray(indices, dtype=np.int32)
        self.data = np.asarray(data, dtype=np.float32)
        if shape is None:
            rows = len(self.indptr) - 1
            cols = int(self.indices.max()) + 1 if len(self.indices) else 0
            shape = (rows, cols)
        self.shape = (int(shape[0]), int(shape[1]))


def as_csr(matrix):
    """Normalises a tuple or any object with CSR attributes to a ``Csr``."""
    if isinstance(matrix, Csr):
        return matrix
    if isinstance(matrix, tuple):
        return Csr(*matrix)
    return Csr(matrix.indptr, matrix.indices, matrix.data, getattr(matrix, "shape", None))


def _int32(value):
    """Wraps a Python int to a 32-bit signed integer."""
    return ((int(value) + 2**31) % 2**32) - 2**31


def build_representation(features, embeddings, biases, no_components, row, scale):
    """Representation of one feature row: ``no_components`` latent slots, then the bias.

    Each entry's weight is widened, multiplied by ``scale`` in double and rounded to
    float32; then every slot gets ``slot + w * value`` with the product and the sum
    each rounded to float32, entries in row order, components in increasing order.
    """
    m = as_csr(features)
    out = [ZERO] * (no_components + 1)
    for i in range(int(m.indptr[row]), int(m.indptr[row + 1])):
        feature = int(m.indices[i])
        w = F32(float(m.data[i]) * float(scale))
        for j in range(no_components):
            product = F32(w * F32(embeddings[feature, j]))
            out[j] = F32(out[j] + product)
        product = F32(w * F32(biases[feature]))
        out[no_components] = F32(out[no_components] + product)
    return out


def score(user_repr, item_repr, no_components):
    """Bias slots first, then one left-to-right float32 sum of the component products."""
    s = F32(user_repr[no_components] + item_repr[no_components])
    for j in range(no_components):
        product = F32(user_repr[j] * item_repr[j])
        s = F32(s + product)
    return s


def _user_repr(user_features, model, row):
    return build_representation(user_features, model["user_features"], model["user_biases"],
                                int(model["no_components"]), row, model["user_scale"])


def _item_repr(item_features, model, row):
    return build_representation(item_features, model["item_features"], model["item_biases"],
                                int(model["no_components"]), row, model["item_scale"])


def _pair_score(item_features, user_features, model, user_row, item_row):
    nc = int(model["no_components"])
    return score(_user_repr(user_features, model, user_row),
                 _item_repr(item_features, model, item_row), nc)


def predict_pairwise(item_features, user_features, user_ids, item_ids, model):
    """Scores of the pairs (user_ids[i], item_ids[i]); both representations per pair."""
    with np.errstate(all="ignore"):
        out = np.empty(len(user_ids), dtype=np.float32)
        for i in range(len(user_ids)):
            out[i] = _pair_score(item_features, user_features, model,
                                 int(user_ids[i]), int(item_ids[i]))
    return out


def predict_cross_join(item_features, user_features, n_users, n_items, model):
    """User-major scores: entry k pairs user row k // n_items with item row k % n_items."""
    with np.errstate(all="ignore"):
        out = np.empty(n_users * n_items, dtype=np.float32)
        for k in range(n_users * n_items):
            out[k] = _pair_score(item_features, user_features, model, k // n_items, k % n_items)
    return out


def row_contains(matrix, row, value):
    """Binary search of ``value`` among the indices of one row (bsearch semantics)."""
    m = as_csr(matrix)
    lo = int(m.indptr[row])
    hi = int(m.indptr[row + 1])
    while lo < hi:
        mid = (lo + hi) // 2
        v = int(m.indices[mid])
        if value < v:
            hi = mid
        elif value > v:
            lo = mid + 1
        else:
            return True
    return False


def predict_ranks(item_features, user_features, test_interactions, train_interactions, model,
                  ranks=None):
    """Per-user ranks of the test entries, added to ``ranks`` (zeros when None).

    For the test entry of user u with item t and score p, one increment (in double,
    rounded to float32) per catalogue item f (a column of the test matrix) with
    f != t, f not in u's train row, and score(f) >= p. Returns a new float32 array
    aligned with the test matrix's stored entries.
    """
    test = as_csr(test_interactions)
    train = as_csr(train_interactions)
    nc = int(model["no_components"])
    n_users = len(test.indptr) - 1
    n_catalogue = test.shape[1]
    if ranks is None:
        out = np.zeros(len(test.indices), dtype=np.float32)
    else:
        out = np.array(ranks, dtype=np.float32, copy=True)
    with np.errstate(all="ignore"):
        for u in range(n_users):
            s = int(test.indptr[u])
            e = int(test.indptr[u + 1])
            width = e - s
            if width == 0:
                continue
            user_repr = _user_repr(user_features, model, u)
            test_ids = []
            test_preds = []
            for l in range(width):
                t = int(test.indices[s + l])
                test_preds.append(score(user_repr, _item_repr(item_features, model, t), nc))
                test_ids.append(t)
            for f in range(n_catalogue):
                if row_contains(train, u, f):
                    continue
                g = score(user_repr, _item_repr(item_features, model, f), nc)
                for l in range(width):
                    if test_ids[l] != f and g >= test_preds[l]:
                        out[s + l] = F32(float(out[s + l]) + 1.0)
    return out


def auc_from_ranks(ranks, num_train_positives, rank_data):
    """Per-user AUC from the ranks of each user's test entries.

    ``ranks`` supplies the rows (user segments of ``rank_data``) and the catalogue size
    (its column count). Returns ``(auc, sorted_rank_data)``: a float32 array with one
    value per row, and a copy of ``rank_data`` with every evaluated user's segment
    sorted ascending (segments of users given 0.5 stay as they were).
    """
    m = as_csr(ranks)
    n_users = len(m.indptr) - 1
    cols = m.shape[1]
    data = np.array(rank_data, dtype=np.float32, copy=True)
    auc = np.empty(n_users, dtype=np.float32)
    with np.errstate(all="ignore"):
        for u in range(n_users):
            s = int(m.indptr[u])
            num_positives = int(m.indptr[u + 1]) - s
            num_negatives = _int32(cols - int(num_train_positives[u]) - num_positives)
            if num_positives == 0 or num_negatives <= 0:
                auc[u] = HALF
                continue
            data[s:s + num_positives] = np.sort(data[s:s + num_positives])
            negatives = F32(num_negatives)
            acc = ZERO
            for j in range(num_positives):
                x = F32(data[s + j] - F32(j))
                d = ZERO if ZERO > x else x
                acc = F32(F32(ONE - F32(d / negatives)) + acc)
            auc[u] = F32(acc / F32(num_positives))
    return auc, data
