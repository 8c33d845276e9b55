#include "startup.h"

#include <cstdio>
#include <cstdlib>
#include <string>

// Bind NumPy's C API against the 1.25 feature level: the ABI of the running NumPy
// must be at most 0x2000000, its C-API feature version at least 17, and it must
// report little-endian byte order. Nothing else from NumPy's C API is called.
#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

#include <frameobject.h>

#include "entry_function.h"
#include "pyref.h"
#include "view_object.h"

namespace {

int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                        bool allow_none) {
    PyRef value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(module_dict, to, value.get());
}

int check_version(const ModuleInfo& info) {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, info.full_name, "does not match", major, minor);
}

// Fetches module_name.class_name and checks its instance size against the record
// this module was built with. A smaller record is an error; a larger one warns
// unless warn_if_larger is false (NumPy's public structs are prefixes of its real
// instance records, so a larger NumPy class is expected).
PyTypeObject* import_class(PyObject* module, const char* module_name, const char* class_name,
                           Py_ssize_t expected, bool warn_if_larger) {
    PyRef obj(PyObject_GetAttrString(module, class_name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
        return nullptr;
    }
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject*>(obj.get())->tp_basicsize;
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, "
                     "got %zd from PyObject",
                     module_name, class_name, expected, actual);
        return nullptr;
    }
    if (actual > expected && warn_if_larger) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 0,
                             "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C "
                             "header, got %zd from PyObject",
                             module_name, class_name, expected, actual) < 0) {
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

void* import_vtable(PyTypeObject* type) {
    PyObject* dict = type->tp_dict;
    PyRef key(PyUnicode_FromString("__vtable__"));
    if (!key) return nullptr;
    PyObject* capsule = dict ? PyDict_GetItemWithError(dict, key.get()) : nullptr;
    if (capsule == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
        return nullptr;
    }
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    if (table == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
    }
    return table;
}

int bind_numpy() {
    if (_import_array() < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "numpy C API could not be bound");
        return -1;
    }
    return 0;
}

int check_numpy_classes() {
    struct NumpyClass {
        const char* name;
        Py_ssize_t size;
    };
    static const NumpyClass classes[] = {
        {"dtype", sizeof(PyArray_Descr)},
        {"flatiter", sizeof(PyArrayIterObject)},
        {"broadcast", sizeof(PyArrayMultiIterObject)},
        {"ndarray", sizeof(PyArrayObject_fields)},
        {"generic", sizeof(PyObject)},
        {"number", sizeof(PyObject)},
        {"integer", sizeof(PyObject)},
        {"signedinteger", sizeof(PyObject)},
        {"unsignedinteger", sizeof(PyObject)},
        {"inexact", sizeof(PyObject)},
        {"floating", sizeof(PyObject)},
        {"complexfloating", sizeof(PyObject)},
        {"flexible", sizeof(PyObject)},
        {"character", sizeof(PyObject)},
        {"ufunc", sizeof(PyUFuncObject)},
    };
    PyRef numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return -1;
    for (const NumpyClass& c : classes) {
        PyRef type(reinterpret_cast<PyObject*>(import_class(numpy.get(), "numpy", c.name, c.size, false)));
        if (!type) return -1;
    }
    return 0;
}

int import_classes(const ModuleInfo& info) {
    for (int i = 0; i < info.n_imports; ++i) {
        const ImportedClass& c = info.imports[i];
        PyRef module(PyImport_ImportModule(c.module_name));
        if (!module) return -1;
        PyTypeObject* type = import_class(module.get(), c.module_name, c.class_name, c.expected_size, true);
        if (type == nullptr) return -1;
        Py_XSETREF(*c.slot, type);
        if (c.vtable != nullptr) {
            void* table = import_vtable(type);
            if (table == nullptr) return -1;
            *c.vtable = table;
        }
    }
    return 0;
}

// Drops what import_classes took, so a failed start-up keeps no class or method table
// from a types module that was refused.
void release_imports(const ModuleInfo& info) {
    for (int i = 0; i < info.n_imports; ++i) {
        const ImportedClass& c = info.imports[i];
        Py_CLEAR(*c.slot);
        if (c.vtable != nullptr) *c.vtable = nullptr;
    }
}

int register_in_sys_modules(const ModuleInfo& info, PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemString(modules, info.full_name);
    if (existing != nullptr) return 0;
    return PyDict_SetItemString(modules, info.full_name, module);
}

// Adds a traceback entry named "init <full name>", keeping the pending exception.
void add_init_traceback(const ModuleInfo& info) {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const std::string function = std::string("init ") + info.full_name;
    PyCodeObject* code = PyCode_NewEmpty(info.source_file, function.c_str(), 0);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = (code && globals) ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(reinterpret_cast<PyObject*>(code));
}

}  // namespace

PyObject* module_create(ModuleInfo& info, PyObject* spec) {
    const int64_t id = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (info.interpreter_id == -1) {
        info.interpreter_id = id;
    } else if (id != info.interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (info.module != nullptr) return Py_NewRef(info.module);

    PyRef name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyRef module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0) return nullptr;
    if (copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0) return nullptr;
    if (copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0) return nullptr;
    if (copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) return nullptr;
    return module.release();
}

int module_exec(ModuleInfo& info, PyObject* module) {
    if (info.module != nullptr) {
        if (info.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", info.short_name);
        return -1;
    }
    info.module = Py_NewRef(module);

    bool ok = check_version(info) == 0
        && entry_function_type_ready() == 0
        && view_type_ready() == 0
        && (!info.binds_numpy || bind_numpy() == 0)
        && register_in_sys_modules(info, module) == 0
        && (!info.binds_numpy || check_numpy_classes() == 0)
        && import_classes(info) == 0
        && (info.body == nullptr || info.body(module) == 0);
    if (ok) return 0;

    if (PyErr_Occurred()) {
        add_init_traceback(info);
    } else {
        PyErr_Format(PyExc_ImportError, "init %s", info.full_name);
    }
    release_imports(info);
    Py_CLEAR(info.module);
    return -1;
}
