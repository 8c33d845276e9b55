"""Slow reference of the two-tower arithmetic.

Pure Python over NumPy arrays, one scalar at a time: ``flt`` values are NumPy
``float32`` scalars and every ``flt`` operation is done between two of them, so each
product and sum is rounded to 32 bits exactly where the kernels round; ``double``
values are Python floats, and a step done "in double" widens its ``flt`` operands
with ``float()``, computes in Python floats and rounds once with ``np.float32``. The
loops run in the documented order, element by element, with nothing fused, cached or
reordered: this is the straightforward algorithm the native kernels must reproduce
bit for bit.

Conventions
-----------
* A tower is a dict with the float32 arrays ``embeddings`` (2-D), ``w1`` (2-D),
  ``b1``, ``w2`` (2-D), ``b2`` and their velocities ``embeddings_velocity``,
  ``w1_velocity``, ``b1_velocity``, ``w2_velocity``, ``b2_velocity``. Functions that
  update a tower change these arrays in place.
* A model is a dict with the twenty arrays of the two-tower model under their field
  names (``user_embeddings`` ... ``user_b2_velocity``, ``item_embeddings`` ...
  ``item_b2_velocity``); ``tower(model, "user")`` and ``tower(model, "item")`` give
  the tower dicts over the same arrays. The widths are taken from the array shapes.
* Generator states are Python ints in 0 .. 2**32 - 1.

Entry points
------------
``c_dot``, ``c_sigmoid``, ``c_rand_r``, ``forward``, ``backward_update``,
``epoch`` (one thread: examples in order i = 0, 1, ..., thread 0's seed) and
``batch_forward``.
"""

import math

import numpy as np

F32 = np.float32
ZERO = F32(0.0)

TOWER_FIELDS = (
    "embeddings",
    "w1",
    "b1",
    "w2",
    "b2",
    "embeddings_velocity",
    "w1_velocity",
    "b1_velocity",
    "w2_velocity",
    "b2_velocity",
)

# Field order of the model record: the user tower's ten arrays, then the item tower's.
MODEL_FIELDS = tuple(f"user_{name}" for name in TOWER_FIELDS) + tuple(
    f"item_{name}" for name in TOWER_FIELDS
)


def tower(model, side):
    """The tower dict of ``side`` ("user" or "item") over the model's own arrays."""
    return {name: model[f"{side}_{name}"] for name in TOWER_FIELDS}


def c_dot(x, y, n):
    """acc = x[i]*y[i] + acc for i = 0 .. n-1, from 0; 0 for n <= 0."""
    acc = ZERO
    for i in range(n):
        acc = F32(x[i]) * F32(y[i]) + acc
    return acc


def c_sigmoid(x):
    """Two-branch logistic function with the double exponential, rounded to flt."""
    xd = float(F32(x))
    if xd > 0.0:
        result = 1.0 / (math.exp(-xd) + 1.0)
    else:
        e = math.exp(xd)
        result = e / (e + 1.0)
    return F32(result)


def c_rand_r(state):
    """One xorshift step (13, 17, 5) on 32 bits; returns the new state (= the draw)."""
    mask = 0xFFFFFFFF
    t = state & mask
    t ^= (t << 13) & mask
    t ^= t >> 17
    t ^= (t << 5) & mask
    return t


def forward(embeddings, w1, b1, w2, b2, row_id):
    """Forward pass of one row; returns (hidden, out) as float32 arrays."""
    embedding_dim = w1.shape[0]
    hidden_dim = w1.shape[1]
    output_dim = w2.shape[1]
    x = embeddings[row_id]
    hidden = np.zeros(hidden_dim, dtype=np.float32)
    out = np.zeros(output_dim, dtype=np.float32)
    with np.errstate(all="ignore"):
        for j in range(hidden_dim):
            a = F32(b1[j])
            for k in range(embedding_dim):
                a = x[k] * w1[k, j] + a
            hidden[j] = a if a > ZERO else ZERO
        for m in range(output_dim):
            o = F32(b2[m])
            for j in range(hidden_dim):
                o = w2[j, m] * hidden[j] + o
            out[m] = o
    return hidden, out


def _momentum(mu, velocity, gradient_step):
    """mu*v - gradient_step in double, rounded to flt once."""
    return F32(mu * float(velocity) - gradient_step)


def backward_update(t, row_id, hidden, grad_out, learning_rate, momentum_coef):
    """Backward pass of one tower for one row with the momentum update of every
    parameter it touches, in place. Returns grad_hidden (float32 array), the
    hidden-layer gradient before the ReLU mask."""
    eta = float(learning_rate)
    mu = float(momentum_coef)
    embeddings, w1, b1, w2, b2 = (t[name] for name in TOWER_FIELDS[:5])
    ev, w1v, b1v, w2v, b2v = (t[name] for name in TOWER_FIELDS[5:])
    embedding_dim, hidden_dim = w1.shape
    output_dim = w2.shape[1]
    h = [F32(v) for v in hidden]
    g = [F32(v) for v in grad_out]
    d = [ZERO] * hidden_dim
    with np.errstate(all="ignore"):
        # 1. hidden gradient from w2 before any change
        for m in range(output_dim):
            for j in range(hidden_dim):
                d[j] = g[m] * w2[j, m] + d[j]
        # 2. second layer
        for m in range(output_dim):
            a = F32(float(g[m]) * eta)
            for j in range(hidden_dim):
                w2v[j, m] = _momentum(mu, w2v[j, m], float(h[j]) * float(a))
                w2[j, m] = w2[j, m] + w2v[j, m]
            b2v[m] = _momentum(mu, b2v[m], float(g[m]) * eta)
            b2[m] = b2[m] + b2v[m]
        # 3. first layer, active hidden units only
        x = embeddings[row_id].copy()
        for j in range(hidden_dim):
            if not h[j] > ZERO:
                continue
            a = F32(float(d[j]) * eta)
            for k in range(embedding_dim):
                w1v[k, j] = _momentum(mu, w1v[k, j], float(x[k]) * float(a))
                w1[k, j] = w1[k, j] + w1v[k, j]
            b1v[j] = _momentum(mu, b1v[j], float(d[j]) * eta)
            b1[j] = b1[j] + b1v[j]
        # 4. embedding row, from the updated w1
        for k in range(embedding_dim):
            s = ZERO
            for j in range(hidden_dim):
                if h[j] > ZERO:
                    s = w1[k, j] * d[j] + s
            ev[row_id, k] = _momentum(mu, ev[row_id, k], float(s) * eta)
            embeddings[row_id, k] = embeddings[row_id, k] + ev[row_id, k]
    return np.array(d, dtype=np.float32)


def example_step(model, u, p, n, learning_rate, momentum_coef):
    """One BPR example with user u, positive item p and negative item n, in place."""
    user = tower(model, "user")
    item = tower(model, "item")
    output_dim = user["w2"].shape[1]
    user_hidden, q = forward(*(user[name] for name in TOWER_FIELDS[:5]), u)
    pos_hidden, pos_out = forward(*(item[name] for name in TOWER_FIELDS[:5]), p)
    neg_hidden, neg_out = forward(*(item[name] for name in TOWER_FIELDS[:5]), n)
    with np.errstate(all="ignore"):
        s_pos = c_dot(pos_out, q, output_dim)
        s_neg = c_dot(neg_out, q, output_dim)
        delta = s_pos - s_neg
        c = F32(1.0 - float(c_sigmoid(delta)))
        user_grad = np.array(
            [(-c) * pos_out[m] + c * neg_out[m] for m in range(output_dim)], dtype=np.float32
        )
        pos_grad = np.array([(-c) * q[m] for m in range(output_dim)], dtype=np.float32)
        neg_grad = np.array([c * q[m] for m in range(output_dim)], dtype=np.float32)
    backward_update(user, u, user_hidden, user_grad, learning_rate, momentum_coef)
    backward_update(item, p, pos_hidden, pos_grad, learning_rate, momentum_coef)
    backward_update(item, n, neg_hidden, neg_grad, learning_rate, momentum_coef)


def epoch(model, user_ids, positive_item_ids, shuffle_indices, learning_rate, momentum_coef,
          seeds):
    """One-thread BPR epoch in place: examples in order i = 0, 1, ..., negatives from
    thread 0's state ``seeds[0]``. Returns the list of generator states afterwards
    (only the first one advances)."""
    states = [int(s) & 0xFFFFFFFF for s in seeds]
    n_items = model["item_embeddings"].shape[0]
    no_examples = len(user_ids)
    for i in range(no_examples):
        e = int(shuffle_indices[i])
        u = int(user_ids[e])
        p = int(positive_item_ids[e])
        states[0] = c_rand_r(states[0])
        n = states[0] % n_items
        example_step(model, u, p, n, learning_rate, momentum_coef)
    return states


def batch_forward(ids, embeddings, w1, b1, w2, b2):
    """Forward pass of every row ids[i]; returns (hidden_out, tower_out), row i for
    batch entry i."""
    hidden_dim = w1.shape[1]
    output_dim = w2.shape[1]
    hidden_out = np.zeros((len(ids), hidden_dim), dtype=np.float32)
    tower_out = np.zeros((len(ids), output_dim), dtype=np.float32)
    for i, r in enumerate(ids):
        hidden_out[i], tower_out[i] = forward(embeddings, w1, b1, w2, b2, int(r))
    return hidden_out, tower_out
