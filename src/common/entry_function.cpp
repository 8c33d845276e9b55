#include "entry_function.h"

#include <cstddef>

#include <structmember.h>

#include "pyref.h"
#include "static_type.h"

namespace {

struct EntryFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const EntrySpec* spec;
    PyObject* name;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    const char* param_names[kMaxParams];
};

PyObject* entry_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    EntryFunction* f = reinterpret_cast<EntryFunction*>(callable);
    const EntrySpec* spec = f->spec;
    const Signature sig{spec->name, f->param_names, spec->n_params, spec->n_required};
    PyObject* values[kMaxParams];
    if (!match_vectorcall(sig, args, PyVectorcall_NARGS(nargsf), kwnames, values)) return nullptr;
    for (int i = spec->n_required; i < spec->n_params; ++i) {
        if (values[i] == nullptr) values[i] = PyTuple_GET_ITEM(f->defaults, i - spec->n_required);
    }
    BoundArgs bound;
    if (!bind_params(spec->params, spec->n_params, values, bound)) return nullptr;
    return spec->impl(bound);
}

void entry_dealloc(PyObject* self) {
    EntryFunction* f = reinterpret_cast<EntryFunction*>(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->defaults);
    Py_TYPE(self)->tp_free(self);
}

PyObject* entry_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U>", reinterpret_cast<EntryFunction*>(self)->name);
}

PyMemberDef entry_members[] = {
    {"__name__", T_OBJECT, offsetof(EntryFunction, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(EntryFunction, name), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(EntryFunction, module), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(EntryFunction, doc), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(EntryFunction, defaults), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(EntryFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject EntryFunctionType = blank_type();

}  // namespace

int entry_function_type_ready() {
    if (EntryFunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    EntryFunctionType.tp_name = "halvendrix.entry_function";
    EntryFunctionType.tp_basicsize = sizeof(EntryFunction);
    EntryFunctionType.tp_dealloc = entry_dealloc;
    EntryFunctionType.tp_vectorcall_offset = offsetof(EntryFunction, vectorcall);
    EntryFunctionType.tp_call = PyVectorcall_Call;
    EntryFunctionType.tp_repr = entry_repr;
    EntryFunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    EntryFunctionType.tp_doc = "Native entry point.";
    EntryFunctionType.tp_members = entry_members;
    return PyType_Ready(&EntryFunctionType);
}

int add_entry_function(PyObject* module, const EntrySpec* spec) {
    PyRef module_name(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) return -1;
    PyRef name(PyUnicode_InternFromString(spec->name));
    PyRef doc(PyUnicode_FromString(spec->doc));
    PyRef defaults(PyTuple_New(spec->n_params - spec->n_required));
    if (!name || !doc || !defaults) return -1;
    for (Py_ssize_t i = 0; i < spec->n_params - spec->n_required; ++i) {
        PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_False));
    }
    EntryFunction* f = PyObject_New(EntryFunction, &EntryFunctionType);
    if (f == nullptr) return -1;
    f->vectorcall = entry_vectorcall;
    f->spec = spec;
    f->name = name.release();
    f->module = module_name.release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    for (int i = 0; i < spec->n_params; ++i) f->param_names[i] = spec->params[i].name;
    PyRef func(reinterpret_cast<PyObject*>(f));
    return PyModule_AddObjectRef(module, spec->name, func.get());
}
