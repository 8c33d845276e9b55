"""Slow reference of the factorization model's training arithmetic.

Pure Python over NumPy arrays, one scalar at a time. ``flt`` values are NumPy
``float32`` scalars and every ``flt`` operation is done between two of them, so each
product and sum is rounded to 32 bits exactly where the training kernels round;
``double`` values are Python floats. Random draws use the C library's ``rand`` and the
k-OS sort uses the C library's ``qsort`` (both through ctypes), so a caller that
seeds ``srand`` identically before the native epoch and before this one gets the same
draws and the same tie order.

Conventions
-----------
* A CSR matrix is a ``Csr``, a tuple ``(indptr, indices, data)`` or any object with
  ``indptr``, ``indices`` and ``data`` attributes (a SciPy CSR matrix works); its row
  count is ``len(indptr) - 1``. ``indices`` are read as integers, ``data`` as float32.
* A model is a dict with the twelve ``FastQuorvane`` array fields under their field
  names (float32 NumPy arrays, updated in place), the settings ``no_components``,
  ``adadelta``, ``learning_rate``, ``rho``, ``eps``, ``max_sampled`` and the scales
  ``item_scale`` and ``user_scale`` (Python floats, replaced in the dict). The
  float settings are rounded to float32 when read, as the model object stores them.
"""

import bisect
import copy
import ctypes
import math

import numpy as np

F32 = np.float32

SCALE_LIMIT = 1000000.0
MAX_LOSS = 10.0
MARGIN = 1.0

ARRAY_FIELDS = (
    "item_features", "item_feature_gradients", "item_feature_momentum",
    "item_biases", "item_bias_gradients", "item_bias_momentum",
    "user_features", "user_feature_gradients", "user_feature_momentum",
    "user_biases", "user_bias_gradients", "user_bias_momentum",
)
SETTING_FIELDS = ("no_components", "adadelta", "learning_rate", "rho", "eps", "max_sampled")
SCALE_FIELDS = ("item_scale", "user_scale")

_libc = ctypes.CDLL(None)
_libc.rand.restype = ctypes.c_int
_libc.rand.argtypes = []
_libc.srand.restype = None
_libc.srand.argtypes = [ctypes.c_uint]


def c_rand():
    """One draw of the C library's generator."""
    return _libc.rand()


def c_srand(seed):
    """Seed the C library's generator (the same one the native module draws from)."""
    _libc.srand(seed)


class PosPair(ctypes.Structure):
    """A sampled positive: 32-bit item id, then its float score."""
    _fields_ = [("item_id", ctypes.c_int32), ("score", ctypes.c_float)]


_COMPARATOR_TYPE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(PosPair), ctypes.POINTER(PosPair))


def _compare_pos_pairs(a, b):
    # Descending by score; never 0: 1 when the first score is smaller, else -1.
    return 1 if a[0].score < b[0].score else -1


_COMPARATOR = _COMPARATOR_TYPE(_compare_pos_pairs)
_libc.qsort.restype = None
_libc.qsort.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t, _COMPARATOR_TYPE]


def c_qsort_pairs(pairs, count):
    """Sort the first ``count`` records of a ctypes ``PosPair`` array in place."""
    _libc.qsort(ctypes.addressof(pairs), count, ctypes.sizeof(PosPair), _COMPARATOR)


class Csr:
    """Plain CSR matrix: row r spans positions indptr[r] .. indptr[r+1]-1."""

    def __init__(self, indptr, indices, data):
        self.indptr = [int(v) for v in np.asarray(indptr)]
        self.indices = [int(v) for v in np.asarray(indices)]
        self.data = [F32(v) for v in np.asarray(data, dtype=np.float32)]
        self.rows = len(self.indptr) - 1

    def row_start(self, row):
        return self.indptr[row]

    def row_end(self, row):
        return self.indptr[row + 1]


def as_csr(matrix):
    if isinstance(matrix, Csr):
        return matrix
    if isinstance(matrix, tuple):
        return Csr(*matrix)
    return Csr(matrix.indptr, matrix.indices, matrix.data)


def copy_model(model):
    """A deep copy of a model dict (arrays copied)."""
    return copy.deepcopy(model)


# --- double helpers that follow IEEE where Python would raise ----------------------

def _div(a, b):
    if b == 0.0:
        with np.errstate(all="ignore"):
            return float(np.float64(a) / np.float64(b))
    return a / b


def _sqrt(a):
    if a >= 0.0 or a != a:
        return math.sqrt(a)
    with np.errstate(all="ignore"):
        return float(np.sqrt(np.float64(a)))


def _int32(value):
    return (value + 2**31) % 2**32 - 2**31


# --- representation and scoring ----------------------------------------------------

def build_representation(features, embeddings, biases, no_components, row, scale):
    """Representation of one feature row: a list of no_components + 1 float32 values,
    the last being the bias term."""
    features = as_csr(features)
    out = [F32(0.0)] * (no_components + 1)
    for i in range(features.row_start(row), features.row_end(row)):
        feature = features.indices[i]
        weight = F32(float(features.data[i]) * scale)
        for j in range(no_components):
            out[j] = out[j] + weight * embeddings[feature, j]
        out[no_components] = out[no_components] + weight * biases[feature]
    return out


def score(user_repr, item_repr, no_components):
    """Biases first, then the components left to right, all in float32."""
    s = user_repr[no_components] + item_repr[no_components]
    for j in range(no_components):
        s = s + user_repr[j] * item_repr[j]
    return s


def row_contains(matrix, row, value):
    matrix = as_csr(matrix)
    start, stop = matrix.row_start(row), matrix.row_end(row)
    position = bisect.bisect_left(matrix.indices, value, start, stop)
    return position < stop and matrix.indices[position] == value


# --- adaptive steps ------------------------------------------------------------------

def _adagrad(p, g, x, gradient, learning_rate, alpha):
    rate = _div(learning_rate, _sqrt(float(g)))
    p = p - F32((rate * x) * gradient)
    t = x * gradient
    g = F32(t * t) + g
    p = F32(1.0 + rate * alpha) * p
    return p, g, rate


def _adadelta(p, g, m, x, gradient, alpha, rho, eps):
    one_minus_rho = 1.0 - float(rho)
    t = x * gradient
    g = F32(one_minus_rho * (t * t) + float(rho * g))
    rate = _div(_sqrt(float(m + eps)), _sqrt(float(g + eps)))
    u = (rate * gradient) * x
    m = F32(one_minus_rho * (u * u) + float(m * rho))
    p = F32(1.0 + rate * alpha) * (p - F32(u))
    return p, g, m, rate


def _step_entries(features, start, stop, params, accumulators, momentum, column, gradient,
                  adadelta, learning_rate, alpha, rho, eps):
    rate_sum = 0.0
    for i in range(start, stop):
        feature = features.indices[i]
        x = float(features.data[i])
        key = feature if column is None else (feature, column)
        p, g = F32(params[key]), F32(accumulators[key])
        if adadelta == 0:
            p, g, rate = _adagrad(p, g, x, gradient, learning_rate, alpha)
        else:
            m = F32(momentum[key])
            p, g, m, rate = _adadelta(p, g, m, x, gradient, alpha, F32(rho), F32(eps))
            momentum[key] = m
        params[key] = p
        accumulators[key] = g
        rate_sum = rate_sum + rate
    return rate_sum


def apply_bias_gradient(features, start, stop, biases, accumulators, momentum, gradient,
                        adadelta, learning_rate, alpha, rho, eps):
    """Steps the biases of entries start .. stop-1; returns the sum of the rates."""
    return _step_entries(as_csr(features), start, stop, biases, accumulators, momentum, None,
                         float(gradient), adadelta, float(learning_rate), float(alpha), rho, eps)


def apply_embedding_gradient(features, embeddings, accumulators, momentum, component, start,
                             stop, gradient, adadelta, learning_rate, alpha, rho, eps):
    """Steps one component of the embeddings of entries start .. stop-1."""
    return _step_entries(as_csr(features), start, stop, embeddings, accumulators, momentum,
                         component, float(gradient), adadelta, float(learning_rate),
                         float(alpha), rho, eps)


# --- scales and regularisation -------------------------------------------------------

def accumulate_scales(model, rate_sum, entry_count, item_alpha, user_alpha):
    parameters = _int32((model["no_components"] + 1) * entry_count)
    if parameters == 0:
        return  # 0 / 0: nothing was touched, the scales stay as they are
    mean = rate_sum / float(parameters)
    model["user_scale"] = (1.0 + mean * user_alpha) * model["user_scale"]
    model["item_scale"] = (1.0 + mean * item_alpha) * model["item_scale"]


def _divide_side(features, biases, no_components, scale):
    for i in range(features.shape[0]):
        for j in range(no_components):
            features[i, j] = F32(_div(float(features[i, j]), scale))
        biases[i] = F32(_div(float(biases[i]), scale))


def apply_regularization(model):
    nc = model["no_components"]
    with np.errstate(all="ignore"):
        _divide_side(model["item_features"], model["item_biases"], nc, model["item_scale"])
        _divide_side(model["user_features"], model["user_biases"], nc, model["user_scale"])
    model["item_scale"] = 1.0
    model["user_scale"] = 1.0


def needs_regularization(model):
    return model["item_scale"] > SCALE_LIMIT or model["user_scale"] > SCALE_LIMIT


def apply_regularization_if_needed(model):
    if needs_regularization(model):
        apply_regularization(model)


# --- one WARP example ------------------------------------------------------------------

class _Settings:
    def __init__(self, model):
        self.nc = int(model["no_components"])
        self.adadelta = int(model["adadelta"])
        self.learning_rate = float(F32(model["learning_rate"]))
        self.rho = F32(model["rho"])
        self.eps = F32(model["eps"])
        self.max_sampled = int(model["max_sampled"])


def _item_repr(item_features, model, item, nc):
    return build_representation(item_features, model["item_features"], model["item_biases"],
                                nc, item, model["item_scale"])


def _user_repr(user_features, model, user, nc):
    return build_representation(user_features, model["user_features"], model["user_biases"],
                                nc, user, model["user_scale"])


def _sample_negative(item_features, known, model, s, user_id, user_repr, positive_prediction):
    """Returns (sampled, negative_item_id, neg_repr) for a violating negative, or None."""
    sampled = 0
    while sampled < s.max_sampled:
        sampled += 1
        negative_item_id = c_rand() % item_features.rows
        neg_repr = _item_repr(item_features, model, negative_item_id, s.nc)
        negative_prediction = score(user_repr, neg_repr, s.nc)
        if (float(negative_prediction) > float(positive_prediction) - MARGIN
                and not row_contains(known, user_id, negative_item_id)):
            return sampled, negative_item_id, neg_repr
    return None


def _warp_loss(n_items, sampled, weight):
    estimate = float(math.floor(float(n_items - 1) / float(sampled)))
    if not estimate > 1.0:
        estimate = 1.0
    loss = weight * math.log(estimate)
    if loss > MAX_LOSS:
        loss = MAX_LOSS
    return loss


def _update(item_features, user_features, model, s, user_id, pos_id, neg_id, loss,
            user_repr, pos_repr, neg_repr, item_alpha, user_alpha):
    pos = (item_features.row_start(pos_id), item_features.row_end(pos_id))
    neg = (item_features.row_start(neg_id), item_features.row_end(neg_id))
    usr = (user_features.row_start(user_id), user_features.row_end(user_id))
    common = (s.adadelta, s.learning_rate)
    m = model

    total = 0.0
    total = total + _step_entries(item_features, *pos, m["item_biases"], m["item_bias_gradients"],
                                  m["item_bias_momentum"], None, -loss, *common, item_alpha,
                                  s.rho, s.eps)
    total = total + _step_entries(item_features, *neg, m["item_biases"], m["item_bias_gradients"],
                                  m["item_bias_momentum"], None, loss, *common, item_alpha,
                                  s.rho, s.eps)
    total = total + _step_entries(user_features, *usr, m["user_biases"], m["user_bias_gradients"],
                                  m["user_bias_momentum"], None, loss, *common, user_alpha,
                                  s.rho, s.eps)
    for j in range(s.nc):
        total = total + _step_entries(item_features, *pos, m["item_features"],
                                      m["item_feature_gradients"], m["item_feature_momentum"], j,
                                      float(user_repr[j]) * -loss, *common, item_alpha,
                                      s.rho, s.eps)
        total = total + _step_entries(item_features, *neg, m["item_features"],
                                      m["item_feature_gradients"], m["item_feature_momentum"], j,
                                      float(user_repr[j]) * loss, *common, item_alpha,
                                      s.rho, s.eps)
        total = total + _step_entries(user_features, *usr, m["user_features"],
                                      m["user_feature_gradients"], m["user_feature_momentum"], j,
                                      float(neg_repr[j] - pos_repr[j]) * loss, *common,
                                      user_alpha, s.rho, s.eps)

    entry_count = (usr[1] - usr[0]) + (pos[1] - pos[0]) + (neg[1] - neg[0])
    accumulate_scales(model, total, entry_count, item_alpha, user_alpha)


def _seed_draw(random_state, num_threads):
    if random_state is not None:
        random_state.randint(0, np.iinfo(np.int32).max, size=num_threads).astype(np.uintc)


# --- whole epochs ----------------------------------------------------------------------

def fit_warp(item_features, user_features, interactions, user_ids, item_ids, Y, sample_weight,
             shuffle_indices, model, item_alpha, user_alpha, random_state=None, num_threads=1):
    """One WARP epoch, updating ``model`` in place. With ``random_state`` given, its
    ``randint`` is called once for ``num_threads`` seeds first, as the entry point does.
    Returns the number of examples visited (0 when Y is empty)."""
    _seed_draw(random_state, num_threads)
    no_examples = len(Y)
    if no_examples == 0:
        return 0
    item_features, user_features = as_csr(item_features), as_csr(user_features)
    interactions = as_csr(interactions)
    item_alpha, user_alpha = float(item_alpha), float(user_alpha)
    s = _Settings(model)
    with np.errstate(all="ignore"):
        for i in range(no_examples):
            row = int(shuffle_indices[i])
            if not F32(Y[row]) > F32(0.0):
                continue
            user_id, pos_id = int(user_ids[row]), int(item_ids[row])
            weight = float(F32(sample_weight[row]))
            user_repr = _user_repr(user_features, model, user_id, s.nc)
            pos_repr = _item_repr(item_features, model, pos_id, s.nc)
            positive_prediction = score(user_repr, pos_repr, s.nc)
            found = _sample_negative(item_features, interactions, model, s, user_id, user_repr,
                                     positive_prediction)
            if found is not None:
                sampled, neg_id, neg_repr = found
                loss = _warp_loss(item_features.rows, sampled, weight)
                _update(item_features, user_features, model, s, user_id, pos_id, neg_id, loss,
                        user_repr, pos_repr, neg_repr, item_alpha, user_alpha)
            apply_regularization_if_needed(model)
        apply_regularization(model)
    return no_examples


def fit_warp_kos(item_features, user_features, data, user_ids, shuffle_indices, model,
                 item_alpha, user_alpha, k, n, random_state=None, num_threads=1):
    """One WARP k-OS epoch (k >= 1, n >= 1), updating ``model`` in place. Optional
    ``random_state`` as in ``fit_warp``. Returns the number of examples visited."""
    _seed_draw(random_state, num_threads)
    no_examples = len(user_ids)
    if no_examples == 0:
        return 0
    item_features, user_features, data = as_csr(item_features), as_csr(user_features), as_csr(data)
    item_alpha, user_alpha = float(item_alpha), float(user_alpha)
    s = _Settings(model)
    pos_pairs = (PosPair * n)()
    with np.errstate(all="ignore"):
        for i in range(no_examples):
            row = int(shuffle_indices[i])
            user_id = int(user_ids[row])
            user_repr = _user_repr(user_features, model, user_id, s.nc)
            start, stop = data.row_start(user_id), data.row_end(user_id)
            if start == stop:
                continue
            no_positives = stop - start
            count = min(n, no_positives)
            for j in range(count):
                idx = c_rand() % no_positives
                positive_item_id = data.indices[start + idx]
                pos_repr = _item_repr(item_features, model, positive_item_id, s.nc)
                pos_pairs[j].item_id = positive_item_id
                pos_pairs[j].score = float(score(user_repr, pos_repr, s.nc))
            c_qsort_pairs(pos_pairs, count)
            chosen = pos_pairs[min(k, count) - 1]
            pos_id = int(chosen.item_id)
            sampled_positive_prediction = F32(chosen.score)
            pos_repr = _item_repr(item_features, model, pos_id, s.nc)
            found = _sample_negative(item_features, data, model, s, user_id, user_repr,
                                     sampled_positive_prediction)
            if found is not None:
                sampled, neg_id, neg_repr = found
                loss = _warp_loss(item_features.rows, sampled, 1.0)
                _update(item_features, user_features, model, s, user_id, pos_id, neg_id, loss,
                        user_repr, pos_repr, neg_repr, item_alpha, user_alpha)
            apply_regularization_if_needed(model)
        apply_regularization(model)
    return no_examples
