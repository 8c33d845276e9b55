"""Argument binding of the seven entry points: function attributes, argument matching,
typed-array views, scalar conversions, class checks and their order.

The entry points' own work is not exercised here. A call that binds completely is
detected without running it: `verbose` is the last parameter of every entry point and
is converted last, so an object whose truth test raises `Bound` shows that every other
argument matched and converted.
"""

import ctypes
import importlib
import sys

import numpy as np
import pytest
import scipy.sparse as sp

QUORVANE = "halvendrix.models.quorvane.Tesslemark"
DUMBRELLIS = "halvendrix.models.plinthwise.Dumbrellis"
kt = importlib.import_module(f"{QUORVANE}._kern_types")
tt = importlib.import_module(f"{DUMBRELLIS}._kern_types")

# Declared kinds of parameters.
CSR, MODEL, TOWERS = kt.CSRMatrix, kt.FastQuorvane, tt.TwoTowerModel
INT1, FLT1, FLT2, CINT, DOUBLE, OBJECT, TRUTH = "int[::1]", "flt[::1]", "flt[:, ::1]", "int", "double", "object", "bool"
ARRAY_KINDS = (INT1, FLT1, FLT2)
CLASS_KINDS = (CSR, MODEL, TOWERS)
SIGNATURE = object()


class EntryPoint:
    def __init__(self, module, name, params, n_required, doc_first_line=None):
        self.module, self.name, self.params, self.n_required = module, name, params, n_required
        # The docstring's first line; SIGNATURE where it restates the signature, None
        # where nothing is fixed.
        self.doc_first_line = doc_first_line

    @property
    def function(self):
        return getattr(importlib.import_module(self.module), self.name)

    @property
    def names(self):
        return [name for name, _ in self.params]

    def __repr__(self):
        return self.name


ENTRY_POINTS = [
    EntryPoint(f"{QUORVANE}._kern_fit_warp", "fit_warp", [
        ("item_features", CSR), ("user_features", CSR), ("interactions", CSR), ("user_ids", INT1),
        ("item_ids", INT1), ("Y", FLT1), ("sample_weight", FLT1), ("shuffle_indices", INT1), ("model", MODEL),
        ("learning_rate", DOUBLE), ("item_alpha", DOUBLE), ("user_alpha", DOUBLE), ("num_threads", CINT),
        ("random_state", OBJECT), ("verbose", TRUTH)], 14),
    EntryPoint(f"{QUORVANE}._kern_fit_warp_kos", "fit_warp_kos", [
        ("item_features", CSR), ("user_features", CSR), ("data", CSR), ("user_ids", INT1),
        ("shuffle_indices", INT1), ("model", MODEL), ("learning_rate", DOUBLE), ("item_alpha", DOUBLE),
        ("user_alpha", DOUBLE), ("k", CINT), ("n", CINT), ("num_threads", CINT), ("random_state", OBJECT),
        ("verbose", TRUTH)], 13),
    EntryPoint(f"{QUORVANE}._kern_predict", "predict_quorvane", [
        ("item_features", CSR), ("user_features", CSR), ("user_ids", INT1), ("item_ids", INT1),
        ("predictions", FLT1), ("model", MODEL), ("num_threads", CINT), ("cross_join", TRUTH),
        ("verbose", TRUTH)], 7,
        "Calculates how much users are expected to like certain items (prediction scores)."),
    EntryPoint(f"{QUORVANE}._kern_predict", "predict_ranks", [
        ("item_features", CSR), ("user_features", CSR), ("test_interactions", CSR),
        ("train_interactions", CSR), ("ranks", FLT1), ("model", MODEL), ("num_threads", CINT),
        ("verbose", TRUTH)], 7,
        "Compute the rank of every test-positive item for each user."),
    EntryPoint(f"{QUORVANE}._kern_evaluate", "calculate_auc_from_rank", [
        ("ranks", CSR), ("num_train_positives", INT1), ("rank_data", FLT1), ("auc", FLT1),
        ("num_threads", CINT), ("verbose", TRUTH)], 5,
        "Convert per-user item ranks (from predict_ranks) to ROC-AUC scores."),
    EntryPoint(f"{DUMBRELLIS}._kern_train", "fit_two_tower", [
        ("user_ids", INT1), ("positive_item_ids", INT1), ("shuffle_indices", INT1), ("model", TOWERS),
        ("learning_rate", DOUBLE), ("momentum_coef", DOUBLE), ("num_threads", CINT),
        ("random_state", OBJECT), ("verbose", TRUTH)], 8, SIGNATURE),
    EntryPoint(f"{DUMBRELLIS}._kern_forward", "tower_forward", [
        ("ids", INT1), ("embeddings", FLT2), ("w1", FLT2), ("b1", FLT1), ("w2", FLT2), ("b2", FLT1),
        ("hidden_out", FLT2), ("tower_out", FLT2), ("num_threads", CINT), ("verbose", TRUTH)], 9, SIGNATURE),
]


def params_of(*kinds):
    """(entry point, parameter name) for every parameter of the given kinds."""
    return [pytest.param(ep, name, id=f"{ep.name}-{name}")
            for ep in ENTRY_POINTS for name, kind in ep.params if kind in kinds]


class Bound(Exception):
    """Raised by the truth test of `verbose` once every other argument has bound."""


class RaisesBound:
    def __bool__(self):
        raise Bound


def make_csr():
    return kt.CSRMatrix(sp.csr_matrix(np.eye(2, dtype=np.float32)))


def model_arrays():
    f2, f1 = (lambda: np.zeros((2, 2), np.float32)), (lambda: np.zeros(2, np.float32))
    return [f2(), f2(), f2(), f1(), f1(), f1()] * 2


def make_model():
    return kt.FastQuorvane(*model_arrays(), 2, 0, 0.05, 0.95, 1e-6, 10)


def two_tower_arguments(embedding_dim=3, hidden_dim=4, output_dim=2, users=5, items=6):
    def tower(rows):
        shapes = [(rows, embedding_dim), (embedding_dim, hidden_dim), (hidden_dim,), (hidden_dim, output_dim),
                  (output_dim,)]
        return [np.zeros(shape, np.float32) for shape in shapes * 2]
    return [*tower(users), *tower(items), embedding_dim, hidden_dim, output_dim]


def make_towers(cls=None):
    return (cls or tt.TwoTowerModel)(*two_tower_arguments())


def valid_value(kind):
    """A value that binds for a parameter of this kind."""
    return {
        CSR: make_csr, MODEL: make_model, TOWERS: make_towers,
        INT1: lambda: np.zeros(2, np.int32), FLT1: lambda: np.zeros(2, np.float32),
        FLT2: lambda: np.zeros((2, 2), np.float32),
        CINT: lambda: 1, DOUBLE: lambda: 0.5, OBJECT: object, TRUTH: lambda: False,
    }[kind]()


def arguments(ep, **overrides):
    """Values for every parameter in declaration order; verbose raises Bound."""
    values = {name: valid_value(kind) for name, kind in ep.params}
    values["verbose"] = RaisesBound()
    values.update(overrides)
    return values


def call_positional(ep, values):
    return ep.function(*values.values())


@pytest.mark.parametrize("ep", ENTRY_POINTS, ids=repr)
def test_function_attributes(ep):
    function = ep.function
    assert function.__name__ == function.__qualname__ == ep.name
    assert function.__module__ == ep.module
    assert function.__defaults__ == (False,) * (len(ep.params) - ep.n_required)
    lines = function.__doc__.split("\n")
    if ep.doc_first_line is None:
        assert lines[0]
    elif ep.doc_first_line is not SIGNATURE:
        assert lines[0] == ep.doc_first_line
    else:
        # The first line restates the signature: every parameter, in order.
        assert lines[0].startswith(ep.name + "(") and lines[1] == ""
        positions = [lines[0].find(" " + name) for name in ep.names]
        assert -1 not in positions and positions == sorted(positions), lines[0]


def test_two_tower_docstrings():
    train = importlib.import_module(f"{DUMBRELLIS}._kern_train").fit_two_tower
    forward = importlib.import_module(f"{DUMBRELLIS}._kern_forward").tower_forward
    assert train.__doc__.split("\n", 2)[2] == ("One epoch of pairwise two-tower training (BPR loss).\n"
                                              "Allocates thread-safe contiguous scratch space prior to parallel "
                                              "execution.")
    lines = forward.__doc__.split("\n")
    assert len(lines) == 4 and lines[2] == "Python-facing wrapper function." and "c_tower_forward" in lines[3]


@pytest.mark.parametrize("ep", ENTRY_POINTS, ids=repr)
@pytest.mark.parametrize("style", ["positional", "keywords", "mixed", "arrays as None"])
def test_complete_arguments_bind(ep, style):
    values = arguments(ep)
    with pytest.raises(Bound):
        if style == "positional":
            call_positional(ep, values)
        elif style == "keywords":
            ep.function(**dict(reversed(values.items())))
        elif style == "mixed":
            names = ep.names
            ep.function(*[values[n] for n in names[:3]], **{n: values[n] for n in reversed(names[3:])})
        else:
            call_positional(ep, {name: None if kind in ARRAY_KINDS else values[name]
                                 for name, kind in ep.params})


def count_message(ep, more_or_less, expected, given):
    return (f"{ep.name}() takes {more_or_less} {expected} positional argument{'' if expected == 1 else 's'} "
            f"({given} given)")


@pytest.mark.parametrize("ep", ENTRY_POINTS, ids=repr)
@pytest.mark.parametrize("case", ["none", "one too few", "one too many"])
def test_positional_count(ep, case):
    values = arguments(ep)
    extra = list(values.values()) + [None]
    given, more_or_less, expected = {
        "none": (0, "at least", ep.n_required),
        "one too few": (ep.n_required - 1, "at least", ep.n_required),
        "one too many": (len(ep.params) + 1, "at most", len(ep.params)),
    }[case]
    with pytest.raises(TypeError) as info:
        ep.function(*extra[:given])
    assert str(info.value) == count_message(ep, more_or_less, expected, given)


def test_predict_quorvane_six_positional_arguments():
    predict = importlib.import_module(f"{QUORVANE}._kern_predict").predict_quorvane
    with pytest.raises(TypeError) as info:
        predict(*range(6))
    assert str(info.value) == "predict_quorvane() takes at least 7 positional arguments (6 given)"


@pytest.mark.parametrize("ep", ENTRY_POINTS, ids=repr)
@pytest.mark.parametrize("where", ["first keyword", "last required"])
def test_required_argument_missing_among_keywords(ep, where):
    values = arguments(ep)
    names = ep.names
    missing = 2 if where == "first keyword" else ep.n_required - 1
    keywords = {name: values[name] for name in names[2:] if name != names[missing]}
    with pytest.raises(TypeError) as info:
        ep.function(values[names[0]], values[names[1]], **keywords)
    assert str(info.value) == count_message(ep, "at least", ep.n_required, missing)


@pytest.mark.parametrize("ep", ENTRY_POINTS, ids=repr)
@pytest.mark.parametrize("case", ["given twice", "unknown", "optional given twice"])
def test_keyword_errors(ep, case):
    values = arguments(ep)
    required = list(values.values())[:ep.n_required]
    if case == "given twice":
        name = ep.names[0]
        call, message = (lambda: ep.function(*required, **{name: values[name]}),
                         f"got multiple values for keyword argument '{name}'")
    elif case == "optional given twice":
        call, message = (lambda: ep.function(*values.values(), verbose=False),
                         "got multiple values for keyword argument 'verbose'")
    else:
        call, message = (lambda: ep.function(*required, bogus=1), "got an unexpected keyword argument 'bogus'")
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"{ep.name}() {message}"


@pytest.mark.parametrize("ep", ENTRY_POINTS, ids=repr)
def test_non_string_keyword(ep):
    required = list(arguments(ep).values())[:ep.n_required]
    # Through **kwargs the interpreter itself refuses the key ...
    with pytest.raises(TypeError, match="keywords must be strings"):
        ep.function(*required, **{1: 2})
    # ... a direct vectorcall with such a name reaches the binding's own check.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    vectorcall.restype = ctypes.py_object
    stack = (ctypes.py_object * (len(required) + 1))(*required, 2)
    with pytest.raises(TypeError) as info:
        vectorcall(ep.function, stack, len(required), (1,))
    assert str(info.value) == f"{ep.name}() keywords must be strings"


def subclass_instance(kind):
    sub = type("Sub", (kind,), {})
    if kind is TOWERS:
        return make_towers(sub)
    if kind is MODEL:
        return sub(*model_arrays(), 2, 0, 0.05, 0.95, 1e-6, 10)
    return sub(sp.csr_matrix((1, 1)))


@pytest.mark.parametrize("ep, name", params_of(*CLASS_KINDS))
def test_wrong_class(ep, name):
    kinds = dict(ep.params)
    # Earlier class parameters get subclass instances, which pass the check.
    earlier = ep.names[:ep.names.index(name)]
    values = arguments(ep, verbose=False,
                       **{other: subclass_instance(kinds[other]) for other in earlier if kinds[other] in CLASS_KINDS})
    values[name] = 1
    with pytest.raises(TypeError) as info:
        call_positional(ep, values)
    expected = f"{kinds[name].__module__}.{kinds[name].__qualname__}"
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got int)"


def bad_array(kind, defect):
    """(value, exception types, message or None) for an array parameter of this kind."""
    dtype = np.int32 if kind == INT1 else np.float32
    shape = (4, 3) if kind == FLT2 else (4,)
    if defect == "element type":
        wrong = np.int64 if kind == INT1 else np.float64
        c_name = "long" if kind == INT1 else "double"
        declared = "int" if kind == INT1 else "flt"
        return (np.zeros(shape, wrong), ValueError,
                f"Buffer dtype mismatch, expected '{declared}' but got '{c_name}'")
    if defect == "dimensions":
        got = 1 if kind == FLT2 else 2
        return (np.zeros((4,) if kind == FLT2 else (2, 2), dtype), ValueError,
                f"Buffer has wrong number of dimensions (expected {3 - got}, got {got})")
    if defect == "not contiguous":
        value = np.zeros((4, 3), dtype, order="F") if kind == FLT2 else np.zeros(8, dtype)[::2]
        return value, (ValueError, BufferError), None
    if defect == "read-only":
        value = np.zeros(shape, dtype)
        value.flags.writeable = False
        return value, (ValueError, BufferError), None
    return [0] * 4, TypeError, None   # no buffer at all


@pytest.mark.parametrize("ep, name", params_of(*ARRAY_KINDS))
@pytest.mark.parametrize("defect", ["element type", "dimensions", "not contiguous", "read-only", "no buffer"])
def test_array_refused(ep, name, defect):
    value, error, message = bad_array(dict(ep.params)[name], defect)
    with pytest.raises(error) as info:
        call_positional(ep, arguments(ep, **{name: value}))
    if message is not None:
        assert str(info.value) == message


class IntReturnsFloat:
    def __int__(self):
        return 2.5


class IntLike:
    def __int__(self):
        return 5


class Failing(Exception):
    pass


class IntRaises:
    def __int__(self):
        raise Failing


# value, what a C int parameter makes of it (an int, or (exception, message)).
C_INT_CASES = [
    (2.9, 2), (-2.9, -2), (True, 1), (np.int64(7), 7), (np.float32(3.5), 3), (IntLike(), 5),
    (2**31 - 1, 2**31 - 1), (-2**31, -2**31),
    (2**31, (OverflowError, "value too large to convert to int")),
    (-2**31 - 1, (OverflowError, "value too large to convert to int")),
    (2**64, (OverflowError, "value too large to convert to int")),
    ("3", (TypeError, "an integer is required")),
    (None, (TypeError, "an integer is required")),
    (IntReturnsFloat(), (TypeError, "__int__ returned non-int (type float)")),
    (IntRaises(), (Failing, "")),
]
C_INT_IDS = [repr(value) if isinstance(value, (int, float, str)) or value is None else type(value).__name__
             for value, _ in C_INT_CASES]


@pytest.mark.parametrize("value, result", C_INT_CASES, ids=C_INT_IDS)
@pytest.mark.parametrize("ep, name", params_of(CINT))
def test_c_int_parameter(ep, name, value, result):
    values = arguments(ep, **{name: value})
    error, message = result if isinstance(result, tuple) else (Bound, "")
    with pytest.raises(error) as info:
        call_positional(ep, values)
    assert str(info.value) == message


@pytest.mark.parametrize("value, result", C_INT_CASES, ids=C_INT_IDS)
@pytest.mark.parametrize("sink", ["FastQuorvane no_components", "CSRMatrix rows", "CSRMatrix shape"])
def test_c_int_conversion_result(sink, value, result):
    """The same conversion, observed through fields that keep the converted value."""
    def convert():
        if sink == "FastQuorvane no_components":
            return kt.FastQuorvane(*model_arrays(), value, 0, 0.05, 0.95, 1e-6, 10).no_components
        if sink == "CSRMatrix rows":
            matrix = make_csr()
            matrix.rows = value
            return matrix.rows
        source = sp.csr_matrix((2, 2))

        class Source:
            indices, indptr, data, shape = source.indices, source.indptr, source.data, (value, 2)
        return kt.CSRMatrix(Source()).rows

    if isinstance(result, tuple):
        with pytest.raises(result[0]) as info:
            convert()
        assert str(info.value) == result[1]
    else:
        converted = convert()
        assert type(converted) is int and converted == result


@pytest.mark.parametrize("ep, name", params_of(DOUBLE))
@pytest.mark.parametrize("value, error", [
    (1, Bound), (np.float32(0.25), Bound), (2**80, Bound), ("0.5", TypeError), (None, TypeError),
    (2**1100, OverflowError),
])
def test_c_double_parameter(ep, name, value, error):
    with pytest.raises(error):
        call_positional(ep, arguments(ep, **{name: value}))


@pytest.mark.parametrize("ep, name", [
    # A verbose value is only seen to bind when a class check fails after it.
    case for case in params_of(TRUTH)
    if case.values[1] != "verbose" or any(kind in CLASS_KINDS for _, kind in case.values[0].params)])
@pytest.mark.parametrize("value", [None, 0, [], "", 1, [0], "no", np.float32(2)])
def test_truth_parameter_accepts_any_object(ep, name, value):
    values = arguments(ep, **{name: value})
    if name == "verbose":
        values[next(n for n, kind in ep.params if kind in CLASS_KINDS)] = 1
        with pytest.raises(TypeError, match="has incorrect type"):
            call_positional(ep, values)
    else:
        with pytest.raises(Bound):
            call_positional(ep, values)


ORDER_CASES = [
    # A class check comes after every conversion.
    ("predict_quorvane", {"model": 1, "user_ids": np.zeros(2, np.int64)}, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("predict_ranks", {"item_features": 1, "num_threads": 2**31}, OverflowError,
     "value too large to convert to int"),
    ("fit_two_tower", {"model": 1, "verbose": RaisesBound()}, Bound, ""),
    # Conversions run in declaration order: the first failure wins.
    ("predict_quorvane", {"user_ids": np.zeros(2, np.int64), "predictions": np.zeros(2)}, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("predict_quorvane", {"predictions": np.zeros(2), "user_ids": np.zeros(2, np.int64)}, ValueError,
     "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("fit_warp", {"Y": np.zeros((2, 2), np.float32), "num_threads": "x"}, ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("fit_warp_kos", {"k": "x", "n": 2**31}, TypeError, "an integer is required"),
    ("tower_forward", {"embeddings": np.zeros(2, np.float32), "b1": np.zeros(2)}, ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)"),
    # Class checks run in declaration order.
    ("fit_warp", {"model": 1, "interactions": "matrix"}, TypeError,
     f"Argument 'interactions' has incorrect type (expected {QUORVANE}._kern_types.CSRMatrix, got str)"),
]


@pytest.mark.parametrize("function, overrides, error, message", ORDER_CASES)
def test_binding_order(function, overrides, error, message):
    ep = next(ep for ep in ENTRY_POINTS if ep.name == function)
    values = arguments(ep, verbose=False)
    values.update(overrides)
    with pytest.raises(error) as info:
        call_positional(ep, values)
    assert str(info.value) == message


@pytest.mark.parametrize("ep", ENTRY_POINTS, ids=repr)
def test_failed_binding_releases_its_views(ep):
    values = arguments(ep)
    arrays = [value for value in values.values() if isinstance(value, np.ndarray)]
    before = [sys.getrefcount(array) for array in arrays]
    for _ in range(20):
        with pytest.raises(Bound):
            call_positional(ep, values)
        with pytest.raises(TypeError):
            call_positional(ep, {**values, "verbose": False, "num_threads": "x"})
    assert [sys.getrefcount(array) for array in arrays] == before
