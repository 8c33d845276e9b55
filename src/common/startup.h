// Module start-up shared by every extension module: multi-phase initialisation with
// one module object per process, the interpreter and version checks, the NumPy C-API
// binding, the import of shared classes with the instance-size check, and the
// failure path ("init <module>" traceback entry).
#pragma once

#include <Python.h>

#include <cstdint>

// A class another module defines whose instance records this module reads directly.
struct ImportedClass {
    const char* module_name;     // full dotted name of the defining module
    const char* class_name;
    Py_ssize_t expected_size;    // sizeof the record this module was built with
    PyTypeObject** slot;         // receives a strong reference to the class
    void** vtable = nullptr;     // when set, receives the pointer of the class's __vtable__ capsule
};

struct ModuleInfo {
    const char* short_name;              // e.g. "_kern_predict"
    const char* full_name;               // e.g. "halvendrix.models.quorvane.Tesslemark._kern_predict"
    const char* source_file;             // for the traceback entry
    bool binds_numpy;
    const ImportedClass* imports;        // may be null
    int n_imports;
    int (*body)(PyObject* module);       // creates the module's functions, classes, tables
    PyObject* module = nullptr;          // the one module object of this process
    int64_t interpreter_id = -1;
};

PyObject* module_create(ModuleInfo& info, PyObject* spec);
int module_exec(ModuleInfo& info, PyObject* module);

// Defines the module's PyModuleDef and its PyInit_<short name> function.
#define HALVENDRIX_MODULE(short_name_, info_)                                                   \
    static PyObject* short_name_##_create(PyObject* spec, PyModuleDef*) {                       \
        return module_create(info_, spec);                                                      \
    }                                                                                           \
    static int short_name_##_exec(PyObject* module) { return module_exec(info_, module); }      \
    static PyModuleDef_Slot short_name_##_slots[] = {                                           \
        {Py_mod_create, reinterpret_cast<void*>(short_name_##_create)},                         \
        {Py_mod_exec, reinterpret_cast<void*>(short_name_##_exec)},                             \
        {0, nullptr},                                                                           \
    };                                                                                          \
    static PyModuleDef short_name_##_def = {                                                    \
        PyModuleDef_HEAD_INIT, #short_name_, nullptr, 0, nullptr,                               \
        short_name_##_slots, nullptr, nullptr, nullptr,                                         \
    };                                                                                          \
    PyMODINIT_FUNC PyInit_##short_name_() { return PyModuleDef_Init(&short_name_##_def); }
