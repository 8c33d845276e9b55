"""CSRMatrix, FastQuorvane and the TwoTowerModel stand-in: construction, the row
accessors, attribute access through view objects, failure behaviour and references."""

import copy
import ctypes
import gc
import importlib
import pickle
import sys
import types

import numpy as np
import pytest
import scipy.sparse as sp

kt = importlib.import_module("halvendrix.models.quorvane.Tesslemark._kern_types")
tt = importlib.import_module("halvendrix.models.plinthwise.Dumbrellis._kern_types")
TYPES = "halvendrix.models.quorvane.Tesslemark._kern_types"

# ----------------------------------------------------------------------------- helpers

ACCESSOR = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.py_object, ctypes.c_int32)


class VTable(ctypes.Structure):
    _fields_ = [("get_row_start", ACCESSOR), ("get_row_end", ACCESSOR)]


def vtable():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    get_pointer.restype = ctypes.c_void_p
    return VTable.from_address(get_pointer(vars(kt.CSRMatrix)["__vtable__"], None))


def row_ranges(matrix):
    table = vtable()
    return [(table.get_row_start(matrix, r), table.get_row_end(matrix, r)) for r in range(matrix.rows)]


def source(indices, indptr, data, shape):
    """Any object with the four attributes stands in for a SciPy matrix."""
    return types.SimpleNamespace(indices=indices, indptr=indptr, data=data, shape=shape)


def shares(view, array):
    """Whether the view exposes the array's own memory (also for empty arrays)."""
    return np.asarray(view).ctypes.data == np.asarray(array).ctypes.data


def model_arrays(n_items=3, n_users=4, k=2):
    def side(n):
        return [np.random.default_rng(n).random((n, k), dtype=np.float32) for _ in range(3)] + \
               [np.random.default_rng(n + 1).random(n, dtype=np.float32) for _ in range(3)]
    return side(n_items) + side(n_users)


MODEL_ARRAYS = ["item_features", "item_feature_gradients", "item_feature_momentum", "item_biases",
                "item_bias_gradients", "item_bias_momentum", "user_features", "user_feature_gradients",
                "user_feature_momentum", "user_biases", "user_bias_gradients", "user_bias_momentum"]
MODEL_NUMBERS = ["no_components", "adadelta", "learning_rate", "rho", "eps", "max_sampled", "item_scale",
                 "user_scale"]
SETTINGS = dict(no_components=2, adadelta=1, learning_rate=0.1, rho=0.95, epsilon=1e-6, max_sampled=10)


def make_model(arrays=None, **settings):
    return kt.FastQuorvane(*(arrays or model_arrays()), **{**SETTINGS, **settings})


def snapshot(model):
    """Every field: arrays by their memory (or None), numbers by value."""
    state = {name: getattr(model, name) for name in MODEL_ARRAYS}
    state = {name: None if view is None else np.asarray(view) for name, view in state.items()}
    return state, {name: getattr(model, name) for name in MODEL_NUMBERS}


def same_snapshot(a, b):
    arrays_a, numbers_a = a
    arrays_b, numbers_b = b
    for name in MODEL_ARRAYS:
        x, y = arrays_a[name], arrays_b[name]
        assert (x is None) == (y is None), name
        if x is not None:
            assert x.__array_interface__["data"] == y.__array_interface__["data"] and x.shape == y.shape, name
    assert numbers_a == numbers_b


def two_tower_arguments(embedding_dim=3, hidden_dim=4, output_dim=2, users=5, items=6):
    def tower(rows):
        shapes = [(rows, embedding_dim), (embedding_dim, hidden_dim), (hidden_dim,), (hidden_dim, output_dim),
                  (output_dim,)]
        return [np.full(shape, i, np.float32) for i, shape in enumerate(shapes * 2)]
    return [*tower(users), *tower(items), embedding_dim, hidden_dim, output_dim]


TWO_TOWER_FIELDS = [f"{side}_{part}{suffix}" for side in ("user", "item") for suffix in ("", "_velocity")
                    for part in ("embeddings", "w1", "b1", "w2", "b2")]

# ------------------------------------------------------------------- CSRMatrix: build


def scipy_matrix(dtype=np.float64):
    return sp.random(5, 7, density=0.4, format="csr", random_state=3, dtype=dtype)


CONSTRUCTION_CASES = {
    # id: (source factory, which arrays are shared (indices, indptr, data))
    "scipy float64 data": (scipy_matrix, (True, True, False)),
    "scipy float32 data": (lambda: scipy_matrix(np.float32), (True, True, True)),
    "int64 indices": (lambda: source(np.array([1, 0, 2], np.int64), np.array([0, 1, 1, 3], np.int64),
                                     np.array([1.5, 2.5, 3.5]), (3, 3)), (False, False, False)),
    "lists": (lambda: source([2, 0], [0, 1, 2], [0.1, 0.2], [2, 3]), (False, False, False)),
    "no entries": (lambda: sp.csr_matrix((3, 4)), (True, True, False)),
    "zero rows": (lambda: sp.csr_matrix((0, 5)), (True, True, False)),
    "data longer than indptr[-1]": (lambda: source(np.array([0, 1, 0, 1], np.int32), np.array([0, 1, 2], np.int32),
                                                   np.arange(4, dtype=np.float32), (2, 2)), (True, True, True)),
}


@pytest.mark.parametrize("case", CONSTRUCTION_CASES)
def test_construction(case):
    make, shared = CONSTRUCTION_CASES[case]
    src = make()
    m = kt.CSRMatrix(src)
    expected = [np.asarray(src.indices).astype(np.int32), np.asarray(src.indptr).astype(np.int32),
                np.asarray(src.data).astype(np.float32)]
    for name, want, share in zip(("indices", "indptr", "data"), expected, shared):
        got = np.asarray(getattr(m, name))
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes(), name
        assert shares(getattr(m, name), getattr(src, name)) == share, name
    assert (m.rows, m.cols) == tuple(src.shape)
    assert m.nnz == len(expected[2])
    indptr = expected[1]
    assert row_ranges(m) == [(indptr[r], indptr[r + 1]) for r in range(m.rows)]


def test_typed_arrays_are_shared_without_copy():
    src = scipy_matrix(np.float32)
    m = kt.CSRMatrix(src)
    np.asarray(m.data)[0] = 42.0
    np.asarray(m.indices)[0] = 6
    assert src.data[0] == 42.0 and src.indices[0] == 6
    assert m.data[0] == 42.0 and type(m.data[0]) is float and m.indices[0] == 6


VERBOSE_CASES = [(None, False), (0, False), ([], False), (False, False), ("", False),
                 (1, True), (True, True), ([0], True), ("no", True)]


@pytest.mark.parametrize("verbose, printed", VERBOSE_CASES)
def test_verbose_lines(capfd, verbose, printed):
    kt.CSRMatrix(source(np.zeros(5, np.int32), np.array([0, 2, 5, 5], np.int32), np.zeros(5), (3.9, 4)),
                 verbose=verbose)
    out, err = capfd.readouterr()
    assert out == ""
    assert err == ("[DEBUG] CSRMatrix.__init__: wrapping sparse matrix\n"
                   "[DEBUG] CSRMatrix.__init__: rows=3 cols=4 nnz=5\n" if printed else "")


ONE_D = np.array([0, 1], np.int32)
READ_ONLY = np.array([0, 1], np.int32)
READ_ONLY.flags.writeable = False

# id: (source, error, message or None, fields replaced before the failure)
CONSTRUCTION_FAILURES = {
    "no data attribute": (types.SimpleNamespace(indices=ONE_D, indptr=ONE_D, shape=(1, 2)), AttributeError, None,
                          ["indices", "indptr"]),
    "2-D indices": (source(np.zeros((2, 2), np.int32), ONE_D, [1.0, 2.0], (1, 2)), ValueError,
                    "Buffer has wrong number of dimensions (expected 1, got 2)", []),
    "read-only int32 indptr": (source(ONE_D, READ_ONLY, [1.0, 2.0], (1, 2)), (ValueError, BufferError), None,
                               ["indices"]),
    "data not numeric": (source(ONE_D, ONE_D, ["a", "b"], (1, 2)), ValueError, None, ["indices", "indptr"]),
    "shape item not an integer": (source(ONE_D, ONE_D, [1.0, 2.0], ("1", 2)), TypeError, "an integer is required",
                                  ["indices", "indptr", "data"]),
    "shape item too large": (source(ONE_D, ONE_D, [1.0, 2.0], (1, 2**31)), OverflowError,
                             "value too large to convert to int", ["indices", "indptr", "data", "rows"]),
    "shape too short": (source(ONE_D, ONE_D, [1.0, 2.0], (1,)), IndexError, None, ["indices", "indptr", "data",
                                                                                    "rows"]),
}


@pytest.mark.parametrize("case", CONSTRUCTION_FAILURES)
def test_construction_failure_keeps_earlier_steps(capfd, case):
    src, error, message, replaced = CONSTRUCTION_FAILURES[case]
    original = scipy_matrix(np.float32)
    m = kt.CSRMatrix(original)
    with pytest.raises(error) as info:
        m.__init__(src, verbose=True)
    if message is not None:
        assert str(info.value) == message
    assert capfd.readouterr().err == "[DEBUG] CSRMatrix.__init__: wrapping sparse matrix\n"
    # No rollback: fields set before the failing step hold their new values, the rest
    # are untouched.
    for name in ("indices", "indptr", "data"):
        assert shares(getattr(m, name), getattr(original, name)) != (name in replaced), name
    assert m.rows == (1 if "rows" in replaced else 5)
    assert (m.cols, m.nnz) == (7, original.nnz)


def test_numpy_is_looked_up_at_each_call(monkeypatch):
    calls = []

    class RecordingNumpy:
        int32, float32 = np.int32, np.float32

        @staticmethod
        def ascontiguousarray(value, dtype):
            calls.append((list(value), dtype))
            return np.ascontiguousarray(value, dtype=dtype)

    monkeypatch.setattr(kt, "np", RecordingNumpy)
    kt.CSRMatrix(source([1], [0, 1], [2.0], (1, 2)))
    assert calls == [([1], np.int32), ([0, 1], np.int32), ([2.0], np.float32)]
    monkeypatch.delattr(kt, "np")
    with pytest.raises(NameError):
        kt.CSRMatrix(source([1], [0, 1], [2.0], (1, 2)))


def test_reinitialisation_replaces_every_field():
    first, second = scipy_matrix(np.float32), sp.csr_matrix(np.eye(3, dtype=np.float32))
    m = kt.CSRMatrix(first)
    m.__init__(second)
    for name in ("indices", "indptr", "data"):
        assert shares(getattr(m, name), getattr(second, name))
    assert (m.rows, m.cols, m.nnz) == (3, 3, 3)


@pytest.mark.parametrize("cls, args, kwargs, message", [
    (kt.CSRMatrix, (), {}, "__init__() takes at least 1 positional argument (0 given)"),
    (kt.CSRMatrix, (None, False, None), {}, "__init__() takes at most 2 positional arguments (3 given)"),
    (kt.CSRMatrix, (), {"verbose": True}, "__init__() takes at least 1 positional argument (0 given)"),
    (kt.CSRMatrix, (None,), {"csr_matrix": None}, "__init__() got multiple values for keyword argument 'csr_matrix'"),
    (kt.CSRMatrix, (None,), {"matrix": None}, "__init__() got an unexpected keyword argument 'matrix'"),
    (kt.CSRMatrix, (None,), {1: None}, "__init__() keywords must be strings"),
    (kt.FastQuorvane, (None,) * 17, {}, "__init__() takes at least 18 positional arguments (17 given)"),
    (kt.FastQuorvane, (None,) * 20, {}, "__init__() takes at most 19 positional arguments (20 given)"),
    (kt.FastQuorvane, (None,) * 12, {"no_components": 1, "adadelta": 0, "rho": 1.0, "epsilon": 1.0,
                                     "max_sampled": 1}, "__init__() takes at least 18 positional arguments (14 given)"),
    (kt.FastQuorvane, (None,) * 18, {"learning_rate": 1.0},
     "__init__() got multiple values for keyword argument 'learning_rate'"),
    (kt.FastQuorvane, (None,) * 18, {"eps": 1.0}, "__init__() got an unexpected keyword argument 'eps'"),
    (tt.TwoTowerModel, (None,) * 22, {}, "__init__() takes exactly 23 positional arguments (22 given)"),
    (tt.TwoTowerModel, (None,) * 24, {}, "__init__() takes exactly 23 positional arguments (24 given)"),
])
def test_constructor_argument_matching(cls, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == message


# --------------------------------------------------------------- CSRMatrix: attributes


@pytest.fixture
def matrix():
    return kt.CSRMatrix(scipy_matrix(np.float32))


@pytest.mark.parametrize("name, value, error", [
    ("indptr", [0, 1], TypeError),
    ("indices", np.zeros(3, np.int64), ValueError),
    ("indptr", np.zeros(3, np.uint32), ValueError),
    ("indptr", np.zeros((3, 1), np.int32), ValueError),
    ("data", np.zeros(3), ValueError),
    ("data", np.zeros(3, np.int32), ValueError),
    ("data", READ_ONLY.astype(np.float32), None),   # astype gives a writable copy: accepted
    ("rows", "3", TypeError),
    ("cols", 2**31, OverflowError),
])
def test_failed_write_leaves_field_unchanged(matrix, name, value, error):
    before = getattr(matrix, name)
    if error is None:
        setattr(matrix, name, value)
        assert shares(getattr(matrix, name), value)
        return
    with pytest.raises(error):
        setattr(matrix, name, value)
    after = getattr(matrix, name)
    assert after is before or after == before


def test_writes(matrix):
    nnz = matrix.nnz
    matrix.indices = None
    assert matrix.indices is None
    replacement = np.arange(3, dtype=np.int32)
    matrix.indptr = replacement
    assert shares(matrix.indptr, replacement)
    matrix.data = np.zeros(50, np.float32)
    assert matrix.nnz == nnz      # writing one field never changes another
    matrix.rows = 3.9
    matrix.cols = -2.9
    assert (matrix.rows, matrix.cols) == (3, -2)


@pytest.mark.parametrize("cls, name", [(kt.CSRMatrix, n) for n in ("indices", "indptr", "data", "rows", "cols",
                                                                     "nnz")] +
                         [(kt.FastQuorvane, n) for n in MODEL_ARRAYS + MODEL_NUMBERS])
def test_attributes_cannot_be_deleted(matrix, cls, name):
    obj = matrix if cls is kt.CSRMatrix else make_model()
    before = getattr(obj, name)
    with pytest.raises(NotImplementedError) as info:
        delattr(obj, name)
    assert str(info.value) == "__del__"
    assert getattr(obj, name) is before or getattr(obj, name) == before


CONSTRUCTOR_ARGUMENTS = {
    kt.CSRMatrix: lambda: ([sp.csr_matrix(np.eye(2))], {}),
    kt.FastQuorvane: lambda: (model_arrays(), SETTINGS),
    tt.TwoTowerModel: lambda: (two_tower_arguments(), {}),
}


@pytest.mark.parametrize("cls", CONSTRUCTOR_ARGUMENTS, ids=lambda cls: cls.__name__)
def test_plain_instances_and_subclasses(cls):
    args, kwargs = CONSTRUCTOR_ARGUMENTS[cls]()
    obj = cls(*args, **kwargs)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not gc.is_tracked(obj)

    class Sub(cls):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.extra = 1

    sub = Sub(*args, **kwargs)
    assert sub.__dict__ == {"extra": 1}
    first_field = {kt.CSRMatrix: "indices", kt.FastQuorvane: "item_features",
                   tt.TwoTowerModel: "user_embeddings"}[cls]
    assert shares(getattr(sub, first_field), getattr(obj, first_field))


def test_class_documentation():
    assert kt.CSRMatrix.__doc__ == ("CSRMatrix(csr_matrix, bool verbose=False)\n\n"
                                    "Thin wrapper over a scipy CSR sparse matrix.\n"
                                    "Provides nogil-safe row slicing via get_row_start / get_row_end.")
    params = ", ".join(
        [f"flt[:, ::1] {n}" if "features" in n or "feature_" in n else f"flt[::1] {n}" for n in MODEL_ARRAYS] +
        ["int no_components", "int adadelta", "flt learning_rate", "flt rho", "flt epsilon", "int max_sampled",
         "bool verbose=False"])
    assert kt.FastQuorvane.__doc__ == f"FastQuorvane({params})\n\nCentral model-state container."
    for cls in (kt.CSRMatrix, kt.FastQuorvane):
        assert f"{cls.__module__}.{cls.__qualname__}" == f"{TYPES}.{cls.__name__}"


@pytest.mark.parametrize("cls, name, doc", [
    (kt.CSRMatrix, "indices", "indices: 'int[::1]'"), (kt.CSRMatrix, "indptr", "indptr: 'int[::1]'"),
    (kt.CSRMatrix, "data", "data: 'flt[::1]'"), (kt.CSRMatrix, "rows", "rows: 'int'"),
    (kt.CSRMatrix, "cols", "cols: 'int'"), (kt.CSRMatrix, "nnz", "nnz: 'int'"),
    *[(kt.FastQuorvane, n, f"{n}: 'flt[:, ::1]'") for n in MODEL_ARRAYS if "feature" in n],
    *[(kt.FastQuorvane, n, f"{n}: 'flt[::1]'") for n in MODEL_ARRAYS if "bias" in n],
    *[(kt.FastQuorvane, n, f"{n}: 'int'") for n in ("no_components", "adadelta", "max_sampled")],
    *[(kt.FastQuorvane, n, f"{n}: 'flt'") for n in ("learning_rate", "rho", "eps")],
    *[(kt.FastQuorvane, n, f"{n}: 'double'") for n in ("item_scale", "user_scale")],
])
def test_attribute_documentation(cls, name, doc):
    assert vars(cls)[name].__doc__ == doc


# ----------------------------------------------------------------------- view objects


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p),
                ("internal", ctypes.c_void_p)]


PyBUF_STRIDES, PyBUF_FORMAT = 0x0018, 0x0004
PyBUF_C_CONTIGUOUS, PyBUF_F_CONTIGUOUS, PyBUF_ANY_CONTIGUOUS = 0x0020 | 0x0018, 0x0040 | 0x0018, 0x0080 | 0x0018


@pytest.mark.parametrize("shape, flags, accepted", [
    ((3, 2), PyBUF_C_CONTIGUOUS, True),
    ((3, 2), PyBUF_ANY_CONTIGUOUS, True),
    ((3, 2), PyBUF_F_CONTIGUOUS, False),   # row-major memory must not pass as column-major
    ((1, 4), PyBUF_F_CONTIGUOUS, True),
    ((5,), PyBUF_F_CONTIGUOUS, True),
])
def test_view_buffer_requests(shape, flags, accepted):
    model = make_model()
    array = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    model.item_features = array if len(shape) == 2 else array.reshape(1, -1)
    model.item_biases = array.ravel()
    view = model.item_features if len(shape) == 2 else model.item_biases
    get_buffer, release = ctypes.pythonapi.PyObject_GetBuffer, ctypes.pythonapi.PyBuffer_Release
    get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
    release.argtypes = [ctypes.POINTER(PyBuffer)]
    buffer = PyBuffer()
    if not accepted:
        with pytest.raises(BufferError):
            get_buffer(view, ctypes.byref(buffer), flags | PyBUF_FORMAT)
        return
    get_buffer(view, ctypes.byref(buffer), flags | PyBUF_FORMAT)
    try:
        assert buffer.buf == array.ctypes.data and buffer.format == b"f" and buffer.readonly == 0
        assert [buffer.shape[d] for d in range(buffer.ndim)] == list(np.asarray(view).shape)
        assert [buffer.strides[d] for d in range(buffer.ndim)] == list(np.asarray(view).strides)
    finally:
        release(ctypes.byref(buffer))


def test_views_cannot_be_reduced(matrix):
    for operation in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            operation(matrix.indices)


def test_view_outlives_its_owner():
    view = kt.CSRMatrix(sp.csr_matrix(np.eye(2))).data
    gc.collect()
    assert np.asarray(view).tolist() == [1.0, 1.0]


# ------------------------------------------------------------------------ FastQuorvane


def test_model_construction():
    arrays = model_arrays()
    model = make_model(arrays)
    for name, array in zip(MODEL_ARRAYS, arrays):
        view = np.asarray(getattr(model, name))
        assert np.shares_memory(view, array) and view.shape == array.shape and view.strides == array.strides, name
    assert (model.no_components, model.adadelta, model.max_sampled) == (2, 1, 10)
    assert model.learning_rate == 0.10000000149011612
    assert model.rho == float(np.float32(0.95))
    assert model.eps == 9.999999974752427e-07
    assert (model.item_scale, model.user_scale) == (1.0, 1.0)
    np.asarray(model.user_biases)[1] = -7.0   # writing through a view changes the model state
    assert arrays[9][1] == -7.0


def test_model_allocation_alone():
    model = kt.FastQuorvane.__new__(kt.FastQuorvane)
    assert [getattr(model, name) for name in MODEL_NUMBERS] == [0, 0, 0.0, 0.0, 0.0, 0, 0.0, 0.0]


@pytest.mark.parametrize("cls, name", [
    (kt.CSRMatrix, "indices"), (kt.CSRMatrix, "data"), (kt.FastQuorvane, "item_features"),
    (kt.FastQuorvane, "user_bias_momentum"), (tt.TwoTowerModel, "user_w1"), (tt.TwoTowerModel, "item_b2"),
])
def test_unconstructed_instance_refuses_array_reads(cls, name):
    obj = cls.__new__(cls)
    with pytest.raises(AttributeError, match="constructor"):
        getattr(obj, name)
    del obj   # releasing an instance with empty fields is safe


def test_model_accepts_none_and_mismatched_shapes():
    arrays = [None] * 12
    model = make_model(arrays)
    assert all(getattr(model, name) is None for name in MODEL_ARRAYS)
    odd = [np.zeros((i + 1, 5 - i % 3), np.float32) if i % 6 < 3 else np.zeros(i + 2, np.float32)
           for i in range(12)]
    model = make_model(odd, no_components=9, adadelta=-3, learning_rate=-1.0, max_sampled=0)
    assert [np.asarray(getattr(model, name)).shape for name in MODEL_ARRAYS] == [a.shape for a in odd]
    assert (model.no_components, model.adadelta) == (9, -3)


@pytest.mark.parametrize("position, value, error", [
    (3, np.zeros(3), ValueError),                          # float64 item_biases
    (6, np.zeros(4, np.float32), ValueError),              # a vector for the user_features matrix
    (0, np.zeros((4, 2), np.float32, order="F"), (ValueError, BufferError)),
    (10, np.zeros(4, np.float32)[::2], (ValueError, BufferError)),
    (11, READ_ONLY.astype(np.float32).copy(), None),       # writable copy: accepted, the control case
    (12, "2", TypeError),                                  # no_components
    (13, 2**31, OverflowError),                            # adadelta
    (14, "0.1", TypeError),                                # learning_rate
    (17, None, TypeError),                                 # max_sampled
    (18, type("Bad", (), {"__bool__": lambda self: 1 / 0})(), ZeroDivisionError),   # verbose
])
def test_failed_reinitialisation_changes_nothing(capfd, position, value, error):
    model = make_model()
    model.item_scale, model.user_scale = 3.0, 4.0
    before = snapshot(model)
    args = [*model_arrays(), *SETTINGS.values(), True]
    args[position] = value
    if error is None:
        model.__init__(*args)
        assert (model.item_scale, model.user_scale) == (1.0, 1.0)
        assert shares(getattr(model, MODEL_ARRAYS[position]), value)
        capfd.readouterr()
        return
    with pytest.raises(error):
        model.__init__(*args)
    same_snapshot(snapshot(model), before)
    assert capfd.readouterr().err == ""   # the verbose lines come only after binding


def test_model_verbose_lines(capfd):
    make_model(no_components=2.7, adadelta=5, verbose=True)
    assert capfd.readouterr().err == ("[DEBUG] no_components = 2 | adadelta = 5\n"
                                      "[DEBUG] FastQuorvane.__init__: done\n")
    make_model(verbose=None)
    make_model(verbose=[])
    assert capfd.readouterr().err == ""


def test_model_reinitialisation_replaces_every_field():
    model = make_model()
    model.item_scale = model.user_scale = 2.5
    arrays = model_arrays(5, 6, 3)
    model.__init__(*arrays, 3, 0, 0.5, 0.25, 0.125, 7)
    for name, array in zip(MODEL_ARRAYS, arrays):
        assert shares(getattr(model, name), array), name
    assert [getattr(model, name) for name in MODEL_NUMBERS] == [3, 0, 0.5, 0.25, 0.125, 7, 1.0, 1.0]


@pytest.mark.parametrize("name, value, result", [
    ("learning_rate", 0.1, 0.10000000149011612),
    ("rho", 1e-6, 9.999999974752427e-07),
    ("eps", 3, 3.0),
    ("eps", 1e300, float("inf")),
    ("item_scale", 0.1, 0.1),
    ("user_scale", np.float32(0.1), float(np.float32(0.1))),
    ("no_components", 2.7, 2),
    ("max_sampled", -2**31, -2**31),
    ("item_features", None, None),
    ("learning_rate", "0.1", TypeError),
    ("item_scale", None, TypeError),
    ("adadelta", 2**31, OverflowError),
    ("item_biases", np.zeros(2), ValueError),
    ("user_features", np.zeros(2, np.float32), ValueError),
    ("user_feature_momentum", [[0.0]], TypeError),
])
def test_model_attribute_writes(name, value, result):
    model = make_model()
    before = getattr(model, name)
    if isinstance(result, type) and issubclass(result, Exception):
        with pytest.raises(result):
            setattr(model, name, value)
        assert getattr(model, name) is before or getattr(model, name) == before
    else:
        setattr(model, name, value)
        assert getattr(model, name) == result and type(getattr(model, name)) is type(result)


def test_model_array_write_shares_memory():
    model = make_model()
    replacement = np.ones((7, 3), np.float32)
    model.user_feature_gradients = replacement
    assert shares(model.user_feature_gradients, replacement)
    assert np.asarray(model.user_feature_gradients).shape == (7, 3)


# ----------------------------------------------------------------------- TwoTowerModel


def test_two_tower_construction():
    args = two_tower_arguments()
    model = tt.TwoTowerModel(*args)
    for name, array in zip(TWO_TOWER_FIELDS, args):
        view = np.asarray(getattr(model, name))
        assert np.shares_memory(view, array) and view.shape == array.shape, name
    assert (model.embedding_dim, model.hidden_dim, model.output_dim) == (3, 4, 2)


@pytest.mark.parametrize("field, shape, error", [
    ("user_embeddings", (5, 4), ValueError),
    ("user_w1", (4, 4), ValueError),
    ("user_b1", (3,), ValueError),
    ("user_w2", (4, 3), ValueError),
    ("item_b2", (3,), ValueError),
    ("item_w1_velocity", (3, 5), ValueError),
    ("user_embeddings_velocity", (4, 3), ValueError),   # rows differ from user_embeddings
    ("item_embeddings_velocity", (7, 3), ValueError),
    ("item_b1", None, TypeError),
])
def test_two_tower_refuses_inconsistent_shapes(field, shape, error):
    args = two_tower_arguments()
    index = TWO_TOWER_FIELDS.index(field)
    args[index] = None if shape is None else np.zeros(shape, np.float32)
    with pytest.raises(error, match=field):
        tt.TwoTowerModel(*args)


# ------------------------------------------------------------------------- references


def test_no_references_leak():
    src = scipy_matrix(np.float32)
    arrays = model_arrays()
    bad = np.zeros(3)
    tracked = [src.indices, src.indptr, src.data, bad, *arrays]
    before = [sys.getrefcount(a) for a in tracked]
    for _ in range(30):
        m = kt.CSRMatrix(src)
        m.__init__(src)
        views = [m.indices, m.indptr, m.data]
        np.asarray(views[0]).sum()
        with pytest.raises(ValueError):
            m.data = bad
        m.indices = src.indices
        del m, views
        model = make_model(arrays)
        model.__init__(*arrays, **SETTINGS)
        [np.asarray(getattr(model, name)) for name in MODEL_ARRAYS]
        with pytest.raises(ValueError):
            model.__init__(*arrays[:3], bad, *arrays[4:], **SETTINGS)
        with pytest.raises(ValueError):
            model.item_biases = bad
        model.user_biases = arrays[9]
        del model
    assert [sys.getrefcount(a) for a in tracked] == before
