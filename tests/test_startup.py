"""Module start-up: imports, one module object per process, the class checks against
the shared instance records, the failure path and the interpreter check.

Anything that needs a clean interpreter (first imports, fake types modules, a second
interpreter) runs in a child process that prints one JSON line with its findings.
"""

import ctypes
import importlib
import importlib.util
import json
import subprocess
import sys
import textwrap
import types

import pytest

QUORVANE = "halvendrix.models.quorvane.Tesslemark"
DUMBRELLIS = "halvendrix.models.plinthwise.Dumbrellis"
TYPES = f"{QUORVANE}._kern_types"
TWO_TOWER_TYPES = f"{DUMBRELLIS}._kern_types"

QUORVANE_IMPORTERS = [
    f"{QUORVANE}.{name}"
    for name in ("_kern_fit_warp", "_kern_fit_warp_kos", "_kern_predict", "_kern_evaluate",
                 "_kern_math", "_kern_regularize", "_kern_representation")
]
TWO_TOWER_MODULES = [f"{DUMBRELLIS}._kern_train", f"{DUMBRELLIS}._kern_forward"]
ALL_MODULES = [TYPES, *QUORVANE_IMPORTERS, *TWO_TOWER_MODULES]


def run_child(code, *flags):
    """Runs code in a fresh interpreter and returns the JSON object it prints last."""
    proc = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# Child-side helpers: a class of an exact instance size, and an import attempt that
# records the outcome, the traceback entry names and every warning issued.
CHILD_HELPERS = """
import importlib, json, sys, traceback, types, warnings

def sized_class(size, **attrs):
    n_slots = (size - object.__basicsize__) // 8
    cls = type("Fake", (), {"__slots__": tuple("s%d" % i for i in range(n_slots)), **attrs})
    assert cls.__basicsize__ == size, (cls.__basicsize__, size)
    return cls

def attempt_import(name, warnings_as_errors=False):
    outcome = {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("error" if warnings_as_errors else "always")
        try:
            importlib.import_module(name)
            outcome["error"] = None
        except BaseException as exc:
            outcome["error"] = type(exc).__name__
            outcome["message"] = str(exc)
            outcome["frames"] = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    outcome["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
    return outcome
"""


@pytest.fixture(scope="module")
def sizes():
    kt = importlib.import_module(TYPES)
    tt = importlib.import_module(TWO_TOWER_TYPES)
    return {"CSRMatrix": kt.CSRMatrix.__basicsize__, "FastQuorvane": kt.FastQuorvane.__basicsize__,
            "TwoTowerModel": tt.TwoTowerModel.__basicsize__}


def size_text(module, cls, expected, actual):
    return (f"{module}.{cls} size changed, may indicate binary incompatibility. "
            f"Expected {expected} from C header, got {actual} from PyObject")


@pytest.mark.parametrize("module, also_imported", [
    (f"{QUORVANE}._kern_predict", TYPES),
    (f"{QUORVANE}._kern_math", TYPES),
    (f"{DUMBRELLIS}._kern_forward", TWO_TOWER_TYPES),
    (f"{DUMBRELLIS}._kern_train", TWO_TOWER_TYPES),
])
def test_import_pulls_in_the_types_module(module, also_imported):
    found = run_child(f"""
        import json, sys
        before = {also_imported!r} in sys.modules
        import {module}
        print(json.dumps([before, {also_imported!r} in sys.modules]))
    """)
    assert found == [False, True]


def test_every_module_imports_without_warnings():
    imports = "\n".join(f"import {name}" for name in ALL_MODULES)
    proc = subprocess.run([sys.executable, "-W", "error", "-c", imports], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


@pytest.mark.parametrize("module, poisoned", [
    # Re-running start-up would import the poisoned module and fail.
    (f"{QUORVANE}._kern_predict", [TYPES]),
    (f"{QUORVANE}._kern_fit_warp", [TYPES, "numpy", "numpy._core._multiarray_umath"]),
    (TYPES, ["numpy", "numpy._core._multiarray_umath"]),
    (f"{DUMBRELLIS}._kern_train", [TWO_TOWER_TYPES]),
])
def test_second_import_returns_the_cached_module(module, poisoned):
    found = run_child(f"""
        import importlib, json, sys
        first = importlib.import_module({module!r})
        # The module's own contents (import machinery may refresh the dunder attributes).
        contents = {{key: value for key, value in vars(first).items() if not key.startswith("__")}}
        for name in {poisoned!r}:
            sys.modules[name] = None
        del sys.modules[{module!r}]
        second = importlib.import_module({module!r})
        reloaded = importlib.reload(second)
        unchanged = all(vars(first)[key] is value for key, value in contents.items())
        print(json.dumps([second is first, reloaded is first, sys.modules[{module!r}] is first, unchanged]))
    """)
    assert found == [True, True, True, True]


@pytest.mark.parametrize("module", ALL_MODULES)
def test_executing_the_definition_again(module):
    mod = importlib.import_module(module)
    api = ctypes.pythonapi
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    api.PyModule_ExecDef.restype = ctypes.c_int
    definition = api.PyModule_GetDef(mod)
    assert definition
    # On its own module object the execution step is a no-op ...
    assert api.PyModule_ExecDef(mod, definition) == 0
    # ... on any other module object it is refused.
    short_name = module.rpartition(".")[2]
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(types.ModuleType(module), definition)
    assert str(info.value) == (f"Module '{short_name}' has already been imported. "
                               "Re-initialisation is not supported.")


@pytest.mark.parametrize("module", ALL_MODULES)
def test_module_attributes_come_from_the_import_spec(module):
    mod = importlib.import_module(module)
    spec = mod.__spec__
    assert mod.__name__ == module == spec.name
    assert mod.__file__ == spec.origin
    assert mod.__loader__ is spec.loader
    assert mod.__package__ == spec.parent == module.rpartition(".")[0]
    assert not hasattr(mod, "__path__")


def test_vtable_is_an_unnamed_capsule_in_the_class_dict():
    kt = importlib.import_module(TYPES)
    capsule = vars(kt.CSRMatrix)["__vtable__"]
    assert type(capsule).__name__ == "PyCapsule"
    api = ctypes.pythonapi
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    assert api.PyCapsule_GetName(capsule) is None
    assert api.PyCapsule_GetPointer(capsule, None)
    assert "__vtable__" not in vars(kt.FastQuorvane)


def fake_types_outcome(module, fake_module, fake_classes, warnings_as_errors=False, retry_with_real=False):
    """Imports module with a fake types module (classes given as source expressions)
    standing in for the real one; optionally retries afterwards with the real one."""
    assignments = "\n".join(f"fake.{name} = {expr}" for name, expr in fake_classes.items())
    return run_child(CHILD_HELPERS + f"""
real = importlib.import_module({fake_module!r})
capsule = vars(real.CSRMatrix)["__vtable__"] if hasattr(real, "CSRMatrix") else None
fake = types.ModuleType({fake_module!r})
{assignments}
sys.modules[{fake_module!r}] = fake
outcome = attempt_import({module!r}, {warnings_as_errors!r})
if {retry_with_real!r}:
    sys.modules[{fake_module!r}] = real
    outcome["retry"] = attempt_import({module!r})
print(json.dumps(outcome))
""")


def fake_class(kind, size):
    """Source of a fake class for a types module; vtable kinds carry CSRMatrix's capsule."""
    return {
        "exact": f"sized_class({size})",
        "exact+vtable": f"sized_class({size}, __vtable__=capsule)",
        "smaller+vtable": f"sized_class({size - 8}, __vtable__=capsule)",
        "larger": f"sized_class({size + 8})",
        "larger+vtable": f"sized_class({size + 8}, __vtable__=capsule)",
        "exact+named-capsule": f"sized_class({size}, __vtable__=__import__('datetime').datetime_CAPI)",
        "not-a-class": "42",
    }[kind]


@pytest.mark.parametrize("csr, model, warnings_as_errors, error, message, warned", [
    ("smaller+vtable", "exact", False, "ValueError", ("CSRMatrix", -8), False),
    ("exact", "exact", False, "KeyError", "'__vtable__'", False),
    ("larger", "exact", False, "KeyError", "'__vtable__'", True),
    ("larger+vtable", "exact", False, None, None, True),
    ("larger+vtable", "exact", True, "RuntimeWarning", ("CSRMatrix", +8), False),
    ("not-a-class", "exact", False, "TypeError", f"{TYPES}.CSRMatrix is not a type object", False),
    ("exact+named-capsule", "exact", False, "ValueError", None, False),
    ("exact+vtable", "smaller+vtable", False, "ValueError", ("FastQuorvane", -8), False),
    ("exact+vtable", "not-a-class", False, "TypeError", f"{TYPES}.FastQuorvane is not a type object", False),
])
def test_math_module_refuses_a_mismatched_types_module(sizes, csr, model, warnings_as_errors, error, message,
                                                        warned):
    module = f"{QUORVANE}._kern_math"
    outcome = fake_types_outcome(module, TYPES, {"CSRMatrix": fake_class(csr, sizes["CSRMatrix"]),
                                                 "FastQuorvane": fake_class(model, sizes["FastQuorvane"])},
                                 warnings_as_errors, retry_with_real=True)
    assert outcome["error"] == error
    if isinstance(message, tuple):
        cls, delta = message
        message = size_text(TYPES, cls, sizes[cls], sizes[cls] + delta)
    if message is not None:
        assert outcome["message"] == message
    if error is not None:
        assert f"init {module}" in outcome["frames"]
    larger = size_text(TYPES, "CSRMatrix", sizes["CSRMatrix"], sizes["CSRMatrix"] + 8)
    assert outcome["warnings"] == ([["RuntimeWarning", larger]] if warned else [])
    # The failed start-up left nothing behind: with the real types module it succeeds.
    assert outcome["retry"] == {"error": None, "warnings": []}


@pytest.mark.parametrize("module", QUORVANE_IMPORTERS)
def test_every_quorvane_module_checks_both_classes(sizes, module):
    outcome = fake_types_outcome(module, TYPES, {
        "CSRMatrix": fake_class("exact+vtable", sizes["CSRMatrix"]),
        "FastQuorvane": fake_class("smaller+vtable", sizes["FastQuorvane"]),
    })
    assert outcome["error"] == "ValueError"
    assert outcome["message"] == size_text(TYPES, "FastQuorvane", sizes["FastQuorvane"], sizes["FastQuorvane"] - 8)
    assert f"init {module}" in outcome["frames"]


@pytest.mark.parametrize("module", TWO_TOWER_MODULES)
@pytest.mark.parametrize("delta, error, warned", [
    (-8, "ValueError", False),
    (0, None, False),
    (8, None, True),
    (None, "TypeError", False),
])
def test_two_tower_modules_check_the_model_class(sizes, module, delta, error, warned):
    size = sizes["TwoTowerModel"]
    source = "object()" if delta is None else f"sized_class({size + delta})"
    outcome = fake_types_outcome(module, TWO_TOWER_TYPES, {"TwoTowerModel": source})
    assert outcome["error"] == error
    if error == "ValueError":
        assert outcome["message"] == size_text(TWO_TOWER_TYPES, "TwoTowerModel", size, size - 8)
    elif error == "TypeError":
        assert outcome["message"] == f"{TWO_TOWER_TYPES}.TwoTowerModel is not a type object"
    if error is not None:
        assert f"init {module}" in outcome["frames"]
    assert outcome["warnings"] == (
        [["RuntimeWarning", size_text(TWO_TOWER_TYPES, "TwoTowerModel", size, size + 8)]] if warned else [])


def test_second_interpreter_is_refused(tmp_path):
    if importlib.util.find_spec("_interpreters") is None and importlib.util.find_spec("_xxsubinterpreters") is None:
        pytest.skip("this interpreter offers no sub-interpreters")
    report = tmp_path / "report.json"
    found = run_child(f"""
        import json
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        for name in {ALL_MODULES!r}:
            __import__(name)
        try:  # shares the main interpreter's lock, as the modules require
            interp = interpreters.create(isolated=False)
        except TypeError:
            interp = interpreters.create("legacy")
        interpreters.run_string(interp, '''if True:
            import json
            outcomes = {{}}
            for name in {ALL_MODULES!r}:
                try:
                    __import__(name)
                    outcomes[name] = None
                except BaseException as exc:
                    outcomes[name] = [type(exc).__name__, str(exc)]
            with open({str(report)!r}, "w") as f:
                json.dump(outcomes, f)
        ''')
        interpreters.destroy(interp)
        with open({str(report)!r}) as f:
            print(f.read())
    """)
    refused = ["ImportError",
               "Interpreter change detected - this module can only be loaded into one interpreter per process."]
    assert found == {name: refused for name in ALL_MODULES}
