"""Reduce protocol of CSRMatrix and FastQuorvane: recipes, restore functions, set-state."""

import copy
import gc
import pickle
import sys
import types
from dataclasses import dataclass

import numpy as np
import pytest
import scipy.sparse as sp

import halvendrix.models.quorvane.Tesslemark._kern_types as kt

MODULE = "halvendrix.models.quorvane.Tesslemark._kern_types"

MATRICES = (
    "item_features", "item_feature_gradients", "item_feature_momentum",
    "user_features", "user_feature_gradients", "user_feature_momentum",
)
VECTORS = (
    "item_biases", "item_bias_gradients", "item_bias_momentum",
    "user_biases", "user_bias_gradients", "user_bias_momentum",
)
# Constructor order of the twelve arrays.
MODEL_ARRAYS = MATRICES[:3] + VECTORS[:3] + MATRICES[3:] + VECTORS[3:]

CSR_FIELDS = ("cols", "data", "indices", "indptr", "nnz", "rows")
MODEL_FIELDS = (
    "adadelta", "eps", "item_bias_gradients", "item_bias_momentum", "item_biases",
    "item_feature_gradients", "item_feature_momentum", "item_features", "item_scale",
    "learning_rate", "max_sampled", "no_components", "rho", "user_bias_gradients",
    "user_bias_momentum", "user_biases", "user_feature_gradients", "user_feature_momentum",
    "user_features", "user_scale",
)


def csr_arrays():
    """Arrays and counts of a 4 x 3 matrix with 5 stored entries (all three counts differ)."""
    dense = np.array([[0, 1.5, 0], [2, 0, -1], [0, 0, 0], [0, -3, 4]])
    source = sp.csr_matrix(dense)
    return {
        "indices": source.indices.astype(np.int32),
        "indptr": source.indptr.astype(np.int32),
        "data": source.data.astype(np.float32),
        "rows": 4, "cols": 3, "nnz": 5,
    }


def make_csr(cls=None):
    cls = cls or kt.CSRMatrix
    a = csr_arrays()
    source = types.SimpleNamespace(indices=a["indices"], indptr=a["indptr"], data=a["data"], shape=(4, 3))
    return cls(source)


def model_arrays(seed=0):
    rng = np.random.default_rng(seed)
    arrays = {}
    for i, name in enumerate(MATRICES):
        arrays[name] = rng.standard_normal((3 + i, 4)).astype(np.float32)
    for i, name in enumerate(VECTORS):
        arrays[name] = rng.standard_normal(5 + i).astype(np.float32)
    return arrays


MODEL_SETTINGS = dict(no_components=4, adadelta=1, learning_rate=0.05, rho=0.95, epsilon=1e-6, max_sampled=7)


def make_model(cls=None, arrays=None):
    cls = cls or kt.FastQuorvane
    arrays = model_arrays() if arrays is None else arrays
    model = cls(*(arrays[name] for name in MODEL_ARRAYS), **MODEL_SETTINGS)
    # Scales that only survive at 64 bits.
    model.item_scale = 0.1
    model.user_scale = 1 / 3
    return model


def make_model_without_arrays(cls=None):
    return make_model(cls, dict.fromkeys(MODEL_ARRAYS))


@dataclass(frozen=True)
class Case:
    cls: type
    restore_name: str
    checksum: int
    accepted: tuple
    fields: tuple
    make: object

    @property
    def restore(self):
        return getattr(kt, self.restore_name)

    @property
    def name(self):
        return self.cls.__name__


CSR = Case(kt.CSRMatrix, "_unpickle_CSRMatrix", 0x5E8B72C, (0x5E8B72C, 0x14C26B2, 0x5B63E82), CSR_FIELDS, make_csr)
MODEL = Case(kt.FastQuorvane, "_unpickle_FastQuorvane", 0x82F3A52, (0x82F3A52, 0xC75E51F, 0xDDF264A),
             MODEL_FIELDS, make_model)
CASES = [pytest.param(CSR, id="CSRMatrix"), pytest.param(MODEL, id="FastQuorvane")]


class CSRSub(kt.CSRMatrix):
    pass


class ModelSub(kt.FastQuorvane):
    pass


SUBCLASS = {kt.CSRMatrix: CSRSub, kt.FastQuorvane: ModelSub}


def is_view(value):
    return value is not None and not isinstance(value, (int, float))


def snapshot(obj, fields):
    """Field values with array contents copied out, for comparisons after changes."""
    out = {}
    for name in fields:
        value = getattr(obj, name)
        out[name] = np.array(value) if is_view(value) else value
    return out


def assert_same_fields(a, b, fields):
    for name in fields:
        x, y = getattr(a, name), getattr(b, name)
        if is_view(x):
            assert np.shares_memory(np.asarray(x), np.asarray(y)), name
            assert np.array_equal(np.asarray(x), np.asarray(y)), name
        else:
            assert type(x) is type(y) and x == y, name


def assert_snapshot(obj, expected):
    for name, value in expected.items():
        got = getattr(obj, name)
        if isinstance(value, np.ndarray):
            np.testing.assert_array_equal(np.asarray(got), value, err_msg=name)
        else:
            assert got == value, name


def full_state(obj, case):
    """The first N items of the state that obj's recipe carries (either form)."""
    recipe = obj.__reduce__()
    state = recipe[2] if len(recipe) == 3 else recipe[1][2]
    return state[: len(case.fields)]


# ---------------------------------------------------------------- recipes


@pytest.mark.parametrize("case", CASES)
def test_reduce_plain_form_lists_fields_in_name_order(case):
    obj = case.make()
    recipe = obj.__reduce__()
    assert len(recipe) == 2
    restore, (cls, checksum, state) = recipe
    assert restore is case.restore
    assert cls is case.cls
    assert checksum == case.checksum
    assert type(state) is tuple and len(state) == len(case.fields)
    for name, item in zip(case.fields, state):
        current = getattr(obj, name)
        if is_view(current):
            # A view over the same memory, nothing copied.
            assert np.shares_memory(np.asarray(item), np.asarray(current)), name
            assert np.array_equal(np.asarray(item), np.asarray(current)), name
        else:
            assert type(item) is type(current) and item == current, name


def test_model_state_values_are_exact():
    state = make_model().__reduce__()[1][2]
    assert state[0] == 1                                   # adadelta comes first
    assert state[1] == float(np.float32(1e-6)) == 9.999999974752427e-07
    assert state[8] == 0.1                                 # item_scale kept at 64 bits
    assert state[9] == float(np.float32(0.05))
    assert state[12] == float(np.float32(0.95))
    assert state[19] == 1 / 3                              # user_scale comes last


def test_csr_state_matches_its_source():
    a = csr_arrays()
    cols, data, indices, indptr, nnz, rows = make_csr().__reduce__()[1][2]
    assert (cols, nnz, rows) == (3, 5, 4)
    np.testing.assert_array_equal(np.asarray(data), a["data"])
    np.testing.assert_array_equal(np.asarray(indices), a["indices"])
    np.testing.assert_array_equal(np.asarray(indptr), a["indptr"])


@pytest.mark.parametrize("case", CASES)
def test_only_reduce_and_setstate_are_installed(case):
    methods = {name for name, value in vars(case.cls).items() if type(value).__name__ == "method_descriptor"}
    assert methods == {"__reduce__", "__setstate__"}
    assert case.restore.__module__ == MODULE


@pytest.mark.parametrize("case", CASES)
def test_restore_function_is_looked_up_at_each_reduce(case, monkeypatch):
    obj = case.make()
    sentinel = object()
    monkeypatch.setattr(kt, case.restore_name, sentinel)
    assert obj.__reduce__()[0] is sentinel
    monkeypatch.delattr(kt, case.restore_name)
    with pytest.raises(NameError, match=f"name '{case.restore_name}' is not defined"):
        obj.__reduce__()


@pytest.mark.parametrize("case", CASES)
def test_subclass_reduces_to_dictionary_form_only_with_attributes(case):
    sub = SUBCLASS[case.cls]
    obj = case.make(sub)
    restore, (cls, checksum, state) = obj.__reduce__()
    assert (restore, cls, checksum, len(state)) == (case.restore, sub, case.checksum, len(case.fields))

    obj.tag = "x"
    recipe = obj.__reduce__()
    assert len(recipe) == 3
    restore, args, state = recipe
    assert restore is case.restore
    assert args == (sub, case.checksum, None)
    assert len(state) == len(case.fields) + 1
    assert state[-1] == {"tag": "x"}


@pytest.mark.parametrize("case", CASES)
def test_reduce_before_construction_names_the_missing_field(case):
    first_array = next(name for name in case.fields if name in MODEL_ARRAYS + ("data", "indices", "indptr"))
    obj = case.cls.__new__(case.cls)
    message = f"{MODULE}.{case.name}.{first_array} is not set: the instance was created without running its constructor"
    with pytest.raises(AttributeError) as info:
        obj.__reduce__()
    assert str(info.value) == message
    with pytest.raises(AttributeError):
        copy.copy(obj)


# ---------------------------------------------------------------- copies and pickles


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("subclass", [False, True], ids=["plain", "subclass"])
def test_shallow_copy_shares_memory(case, subclass):
    cls = SUBCLASS[case.cls] if subclass else case.cls
    obj = case.make(cls)
    if subclass:
        obj.tag = [1, 2]
    dup = copy.copy(obj)
    assert type(dup) is cls and dup is not obj
    assert_same_fields(obj, dup, case.fields)
    if subclass:
        assert dup.tag is obj.tag
    # Writes through the copy reach the original's memory.
    first_array = next(name for name in case.fields if is_view(getattr(obj, name)))
    np.asarray(getattr(dup, first_array)).flat[0] = 42
    assert np.asarray(getattr(obj, first_array)).flat[0] == 42


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize(
    "operation",
    [copy.deepcopy, pickle.dumps, lambda obj: pickle.dumps(obj, protocol=0)],
    ids=["deepcopy", "pickle", "pickle-protocol-0"],
)
def test_bound_arrays_cannot_be_deep_copied_or_pickled(case, operation):
    with pytest.raises(TypeError):
        operation(case.make())


def test_csr_without_arrays_pickles_to_bytes():
    m = make_csr()
    m.indices = m.indptr = m.data = None
    data = pickle.dumps(m)
    assert b"_unpickle_CSRMatrix" in data and MODULE.encode() in data
    back = pickle.loads(data)
    assert type(back) is kt.CSRMatrix
    assert (back.rows, back.cols, back.nnz) == (4, 3, 5)
    assert (back.indices, back.indptr, back.data) == (None, None, None)


@pytest.mark.parametrize("cls", [kt.FastQuorvane, ModelSub])
def test_model_without_arrays_pickles_to_bytes(cls):
    model = make_model_without_arrays(cls)
    if cls is ModelSub:
        model.tag = {"epoch": 3}
    before = snapshot(model, MODEL_FIELDS)
    back = pickle.loads(pickle.dumps(model))
    assert type(back) is cls
    assert_snapshot(back, before)
    assert all(getattr(back, name) is None for name in MODEL_ARRAYS)
    if cls is ModelSub:
        assert back.tag == {"epoch": 3}


# ---------------------------------------------------------------- restore functions


@pytest.mark.parametrize(
    "case, checksum",
    [pytest.param(case, checksum, id=f"{case.name}-{checksum:#x}") for case in (CSR, MODEL) for checksum in case.accepted],
)
def test_every_accepted_checksum_restores(case, checksum):
    obj = case.make()
    back = case.restore(case.cls, checksum, full_state(obj, case))
    assert type(back) is case.cls
    assert_same_fields(obj, back, case.fields)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("subclass", [False, True], ids=["plain", "subclass"])
def test_restore_without_state_leaves_allocated_instance(case, subclass, capfd):
    cls = SUBCLASS[case.cls] if subclass else case.cls
    obj = case.restore(cls, case.checksum, None)
    assert type(obj) is cls
    for name in case.fields:
        if name in MODEL_ARRAYS + ("data", "indices", "indptr"):
            with pytest.raises(AttributeError):
                getattr(obj, name)
        else:
            assert getattr(obj, name) == 0
    assert capfd.readouterr().err == ""   # the constructor did not run


def test_restored_model_without_state_has_zero_scales():
    model = kt._unpickle_FastQuorvane(kt.FastQuorvane, 0x82F3A52, None)
    assert (model.item_scale, model.user_scale) == (0.0, 0.0)


def test_restore_arguments_by_keyword():
    state = full_state(make_csr(), CSR)
    a = kt._unpickle_CSRMatrix(type=kt.CSRMatrix, checksum=CSR.checksum, state=state)
    b = kt._unpickle_CSRMatrix(kt.CSRMatrix, state=state, checksum=CSR.checksum)
    assert (a.rows, a.cols, a.nnz) == (b.rows, b.cols, b.nnz) == (4, 3, 5)


def test_csr_restores_from_numpy_arrays_and_views_them():
    a = csr_arrays()
    m = kt._unpickle_CSRMatrix(kt.CSRMatrix, CSR.checksum, (3.9, a["data"], a["indices"], a["indptr"], 5, 4))
    assert (m.rows, m.cols, m.nnz) == (4, 3, 5)   # cols through the integer protocol
    for name in ("data", "indices", "indptr"):
        assert np.shares_memory(np.asarray(getattr(m, name)), a[name]), name
    a["data"][0] = 7.5
    assert np.asarray(m.data)[0] == 7.5


def test_model_restores_from_numpy_arrays_with_its_conversions():
    arrays = model_arrays(seed=5)
    values = {"adadelta": 2.7, "eps": 1e-6, "item_scale": 0.1, "learning_rate": 0.1, "max_sampled": 9,
              "no_components": 4, "rho": 0.3, "user_scale": 1e-300}
    values.update(arrays)
    model = kt._unpickle_FastQuorvane(kt.FastQuorvane, MODEL.checksum, tuple(values[name] for name in MODEL_FIELDS))
    assert model.adadelta == 2
    assert model.eps == 9.999999974752427e-07
    assert model.learning_rate == 0.10000000149011612
    assert model.rho == float(np.float32(0.3))
    assert model.item_scale == 0.1 and model.user_scale == 1e-300   # scales keep 64 bits
    assert (model.max_sampled, model.no_components) == (9, 4)
    for name, array in arrays.items():
        assert np.shares_memory(np.asarray(getattr(model, name)), array), name
        assert np.asarray(getattr(model, name)).shape == array.shape, name


def test_model_restores_with_none_arrays():
    values = {name: None for name in MODEL_ARRAYS}
    values.update(adadelta=0, eps=0.5, item_scale=2.0, learning_rate=0.25, max_sampled=1, no_components=0,
                  rho=0.75, user_scale=3.0)
    model = kt._unpickle_FastQuorvane(kt.FastQuorvane, MODEL.checksum, tuple(values[name] for name in MODEL_FIELDS))
    assert_snapshot(model, values)


CSR_FIELD_LIST = ", ".join(CSR_FIELDS)
MODEL_FIELD_LIST = ", ".join(MODEL_FIELDS)
CSR_STATE = (3, None, None, None, 5, 4)
MODEL_STATE = tuple(None if name in MODEL_ARRAYS else 0 for name in MODEL_FIELDS)


class TupleSub(tuple):
    pass


RESTORE_ERRORS = [
    # (restore function, args, kwargs, exception, message)
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, 0, None), {}, pickle.PickleError,
     "Incompatible checksums (0x0 vs (0x5e8b72c, 0x14c26b2, 0x5b63e82) = "
     "(cols, data, indices, indptr, nnz, rows))"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, 0x82F3A52, CSR_STATE), {}, pickle.PickleError,
     f"Incompatible checksums (0x82f3a52 vs (0x5e8b72c, 0x14c26b2, 0x5b63e82) = ({CSR_FIELD_LIST}))"),
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, 0x5E8B72C, MODEL_STATE), {}, pickle.PickleError,
     f"Incompatible checksums (0x5e8b72c vs (0x82f3a52, 0xc75e51f, 0xddf264a) = ({MODEL_FIELD_LIST}))"),
    # A negative checksum shows its 32-bit pattern.
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, -1, None), {}, pickle.PickleError,
     f"Incompatible checksums (0xffffffff vs (0x82f3a52, 0xc75e51f, 0xddf264a) = ({MODEL_FIELD_LIST}))"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, "0x5e8b72c", None), {}, TypeError, "an integer is required"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, 2**31, None), {}, OverflowError, "value too large to convert to int"),
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, -(2**31) - 1, None), {}, OverflowError,
     "value too large to convert to int"),
    # The state's type is checked before the checksum is compared.
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, 0, list(CSR_STATE)), {}, TypeError,
     "Argument 'state' has incorrect type (expected tuple, got list)"),
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, MODEL.checksum, TupleSub(MODEL_STATE)), {}, TypeError,
     "Argument 'state' has incorrect type (expected tuple, got TupleSub)"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum), {}, TypeError,
     "_unpickle_CSRMatrix() takes exactly 3 positional arguments (2 given)"),
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, MODEL.checksum, None, None), {}, TypeError,
     "_unpickle_FastQuorvane() takes exactly 3 positional arguments (4 given)"),
    ("_unpickle_FastQuorvane", (), {}, TypeError,
     "_unpickle_FastQuorvane() takes exactly 3 positional arguments (0 given)"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix,), {"checksum": CSR.checksum}, TypeError,
     "_unpickle_CSRMatrix() takes exactly 3 positional arguments (2 given)"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum, None), {"verbose": True}, TypeError,
     "_unpickle_CSRMatrix() got an unexpected keyword argument 'verbose'"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum), {"type": kt.CSRMatrix, "state": None}, TypeError,
     "_unpickle_CSRMatrix() got multiple values for keyword argument 'type'"),
    ("_unpickle_CSRMatrix", (kt.FastQuorvane, CSR.checksum, None), {}, TypeError,
     f"{MODULE}.CSRMatrix.__new__({MODULE}.FastQuorvane): {MODULE}.FastQuorvane is not a subtype of "
     f"{MODULE}.CSRMatrix"),
    ("_unpickle_FastQuorvane", (int, MODEL.checksum, None), {}, TypeError,
     f"{MODULE}.FastQuorvane.__new__(int): int is not a subtype of {MODULE}.FastQuorvane"),
    # Shorter states are refused before anything is read from them.
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum, (3, None, None)), {}, ValueError,
     "CSRMatrix state must have 6 items, got 3"),
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, MODEL.checksum, ()), {}, ValueError,
     "FastQuorvane state must have 20 items, got 0"),
    # Items convert as the attribute writes do.
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum, ("3", None, None, None, 5, 4)), {}, TypeError,
     "an integer is required"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum, (3, np.zeros(2), None, None, 5, 4)), {}, ValueError,
     "Buffer dtype mismatch, expected 'flt' but got 'double'"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum, (3, None, np.zeros(2, np.int64), None, 5, 4)), {},
     ValueError, "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum, (3, None, None, None, 2**40, 4)), {}, OverflowError,
     "value too large to convert to int"),
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, MODEL.checksum,
                                MODEL_STATE[:7] + (np.zeros(3, np.float32),) + MODEL_STATE[8:]), {}, ValueError,
     "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ("_unpickle_FastQuorvane", (kt.FastQuorvane, MODEL.checksum, MODEL_STATE[:1] + ("eps",) + MODEL_STATE[2:]), {},
     TypeError, "must be real number, not str"),
    # A non-empty trailing dictionary needs an instance dictionary.
    ("_unpickle_CSRMatrix", (kt.CSRMatrix, CSR.checksum, CSR_STATE + ({"a": 1},)), {}, AttributeError,
     f"'{MODULE}.CSRMatrix' object has no attribute '__dict__'"),
]


@pytest.mark.parametrize("restore_name, args, kwargs, exception, message", RESTORE_ERRORS)
def test_restore_errors(restore_name, args, kwargs, exception, message):
    with pytest.raises(exception) as info:
        getattr(kt, restore_name)(*args, **kwargs)
    assert type(info.value) is exception
    assert str(info.value) == message


# ---------------------------------------------------------------- __reduce__ and __setstate__ arguments


SETSTATE_ERRORS = [
    # (args, kwargs, message)
    ((None,), {}, "cannot pass None into a C function argument that is declared 'not None'"),
    (([],), {}, "Expected tuple, got list"),
    ((TupleSub(),), {}, "Expected tuple, got TupleSub"),
    ((), {}, "__setstate__() takes exactly 1 positional argument (0 given)"),
    (((), ()), {}, "__setstate__() takes exactly 1 positional argument (2 given)"),
    ((), {"value": ()}, "__setstate__() takes exactly 1 positional argument (0 given)"),
    (((),), {"state": ()}, "__setstate__() got multiple values for keyword argument 'state'"),
]


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("args, kwargs, message", SETSTATE_ERRORS)
def test_setstate_argument_errors(case, args, kwargs, message):
    obj = case.make()
    before = snapshot(obj, case.fields)
    with pytest.raises(TypeError) as info:
        obj.__setstate__(*args, **kwargs)
    assert str(info.value) == message
    assert_snapshot(obj, before)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "__reduce__() takes exactly 0 positional arguments (1 given)"),
        ((1, 2), {}, "__reduce__() takes exactly 0 positional arguments (2 given)"),
        ((), {"protocol": 2}, "__reduce__() got an unexpected keyword argument 'protocol'"),
    ],
)
def test_reduce_argument_errors(case, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        case.make().__reduce__(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("case", CASES)
def test_setstate_by_keyword_replaces_every_field(case):
    target = case.make()
    if case is CSR:
        source = kt.CSRMatrix(sp.csr_matrix(np.eye(6, 2)))
    else:
        source = make_model(arrays=model_arrays(seed=9))
        source.adadelta, source.max_sampled, source.item_scale = 0, 2, 0.5
    assert target.__setstate__(state=full_state(source, case)) is None
    assert_same_fields(source, target, case.fields)


# ---------------------------------------------------------------- set-state step


def test_short_state_stores_nothing():
    m = make_csr()
    before = snapshot(m, CSR_FIELDS)
    with pytest.raises(ValueError, match="^CSRMatrix state must have 6 items, got 5$"):
        m.__setstate__((9, None, None, None, 9))
    assert_snapshot(m, before)


def test_csr_failing_item_keeps_earlier_items_stored():
    m = make_csr()
    data = np.arange(3, dtype=np.float32)
    with pytest.raises(TypeError, match="^an integer is required$"):
        m.__setstate__((11, data, None, None, "nnz", 12))
    # cols, data, indices and indptr were stored; nnz and rows were not.
    assert m.cols == 11
    assert np.shares_memory(np.asarray(m.data), data)
    assert m.indices is None and m.indptr is None
    assert (m.nnz, m.rows) == (5, 4)


def test_model_failing_array_item_leaves_that_field_bound():
    model = make_model()
    old_features = np.array(model.item_features)
    state = list(make_model_without_arrays().__reduce__()[1][2])
    state[MODEL_FIELDS.index("adadelta")] = 5
    state[MODEL_FIELDS.index("item_features")] = np.zeros((2, 2))   # float64: refused
    with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'flt' but got 'double'$"):
        model.__setstate__(tuple(state))
    assert model.adadelta == 5                                        # stored before the failure
    assert model.item_feature_momentum is None                        # index 6, stored
    np.testing.assert_array_equal(np.asarray(model.item_features), old_features)   # index 7, kept
    assert model.user_features is not None                            # after the failure, untouched


class DictSubclass(dict):
    """Not an exact dict: merged through the instance dictionary's update method."""


@pytest.mark.parametrize(
    "trailing, expected",
    [
        (({},), {"kept": 0}),
        ((None,), {"kept": 0}),
        ((0,), {"kept": 0}),
        (({"a": 1},), {"kept": 0, "a": 1}),
        (({"kept": 5},), {"kept": 5}),
        ((DictSubclass(a=2),), {"kept": 0, "a": 2}),
        ((types.MappingProxyType({"a": 3}),), {"kept": 0, "a": 3}),
        (([("a", 4)],), {"kept": 0, "a": 4}),
        (({"a": 1}, "ignored", None), {"kept": 0, "a": 1}),
        (({}, {"b": 2}), {"kept": 0}),
    ],
)
@pytest.mark.parametrize("case", CASES)
def test_trailing_item_updates_subclass_dictionary(case, trailing, expected):
    obj = case.make(SUBCLASS[case.cls])
    obj.kept = 0
    obj.__setstate__(full_state(case.make(), case) + trailing)
    assert vars(obj) == expected


@pytest.mark.parametrize("case", CASES)
def test_trailing_item_creates_missing_subclass_dictionary(case):
    sub = SUBCLASS[case.cls]
    obj = case.restore(sub, case.checksum, full_state(case.make(), case) + ({"a": 1},))
    assert type(obj) is sub and vars(obj) == {"a": 1}


@pytest.mark.parametrize("trailing", [({},), ({}, "ignored"), ((),), (None,)])
def test_plain_csr_accepts_a_false_trailing_item(trailing):
    state = full_state(make_csr(), CSR) + trailing
    m = kt._unpickle_CSRMatrix(kt.CSRMatrix, CSR.checksum, state)
    assert (m.rows, m.cols, m.nnz) == (4, 3, 5)


@pytest.mark.parametrize("case", CASES)
def test_true_trailing_item_on_plain_instance_fails_after_all_fields(case):
    obj = case.cls.__new__(case.cls)
    source = case.make()
    with pytest.raises(AttributeError, match="has no attribute '__dict__'"):
        obj.__setstate__(full_state(source, case) + ({"a": 1},))
    assert_same_fields(source, obj, case.fields)


# ---------------------------------------------------------------- references


def test_failed_restore_releases_what_it_bound():
    a = csr_arrays()
    before = sys.getrefcount(a["data"])
    for _ in range(5):
        with pytest.raises(TypeError):
            kt._unpickle_CSRMatrix(kt.CSRMatrix, CSR.checksum, (3, a["data"], None, None, "x", 4))
    gc.collect()
    after = sys.getrefcount(a["data"])   # outside the assert: its rewriting holds extra references
    assert after == before


@pytest.mark.parametrize("case", CASES)
def test_reduce_copy_and_restore_keep_reference_counts(case):
    obj = case.make(SUBCLASS[case.cls])
    obj.tag = "x"
    views = [getattr(obj, name) for name in case.fields if is_view(getattr(obj, name))]
    before = [sys.getrefcount(v) for v in views]
    dict_before = sys.getrefcount(vars(obj))
    for _ in range(5):
        obj.__reduce__()
        dup = copy.copy(obj)
        case.restore(case.cls, case.checksum, full_state(obj, case))
        del dup
    gc.collect()
    after = [sys.getrefcount(v) for v in views]
    dict_after = sys.getrefcount(vars(obj))
    assert after == before
    assert dict_after == dict_before
