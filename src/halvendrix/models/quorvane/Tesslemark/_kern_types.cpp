// CSRMatrix and FastQuorvane: the factorization model's native types.
#include "_kern_types.h"

#include <cstddef>
#include <cstdio>

#include "binding.h"
#include "static_type.h"
#include "diagnostics.h"
#include "fields.h"
#include "pyref.h"
#include "startup.h"

namespace {

PyObject* g_module_dict = nullptr;   // borrowed; the module lives for the whole process

// Looks up the module's NumPy binding at each call, as a module-level name.
PyObject* numpy_module() {
    PyObject* np = PyDict_GetItemString(g_module_dict, "np");
    if (np == nullptr) PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
    return np;
}

// Moves a bound argument into a record field, releasing the field's previous view.
void store_view(ArrayView* field, ArrayView* bound) {
    ArrayView old = *field;
    *field = *bound;
    bound->owner = nullptr;
    release_array(&old);
}

void release_if_held(ArrayView* field) {
    if (field->owner != nullptr) release_array(field);
}

// ---------------------------------------------------------------- CSRMatrix

int32_t csr_get_row_start(CSRMatrixObject* self, int32_t row) { return view_data<int32_t>(self->indptr)[row]; }
int32_t csr_get_row_end(CSRMatrixObject* self, int32_t row) { return view_data<int32_t>(self->indptr)[row + 1]; }

const CSRMatrixVTable csr_vtable = {csr_get_row_start, csr_get_row_end};

PyObject* csr_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) reinterpret_cast<CSRMatrixObject*>(self)->vtab = &csr_vtable;
    return self;
}

void csr_dealloc(PyObject* self) {
    CSRMatrixObject* m = reinterpret_cast<CSRMatrixObject*>(self);
    release_if_held(&m->indices);
    release_if_held(&m->indptr);
    release_if_held(&m->data);
    Py_TYPE(self)->tp_free(self);
}

// field = np.ascontiguousarray(getattr(source, name), dtype=np.<dtype_name>)
bool convert_and_store(ArrayView* field, PyObject* source, const char* name, const char* dtype_name,
                       ElemType type) {
    PyRef value(PyObject_GetAttrString(source, name));
    if (!value) return false;
    PyObject* np = numpy_module();
    if (np == nullptr) return false;
    PyRef convert(PyObject_GetAttrString(np, "ascontiguousarray"));
    if (!convert) return false;
    PyRef dtype(PyObject_GetAttrString(np, dtype_name));
    if (!dtype) return false;
    PyRef kwargs(Py_BuildValue("{sO}", "dtype", dtype.get()));
    PyRef args(PyTuple_Pack(1, value.get()));
    if (!kwargs || !args) return false;
    PyRef converted(PyObject_Call(convert.get(), args.get(), kwargs.get()));
    if (!converted) return false;
    return assign_array(field, converted.get(), 1, type);
}

bool shape_item(PyObject* shape, Py_ssize_t i, int32_t* out) {
    PyRef index(PyLong_FromSsize_t(i));
    if (!index) return false;
    PyRef item(PyObject_GetItem(shape, index.get()));
    return item && to_c_int(item.get(), out);
}

int csr_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"csr_matrix", "verbose"};
    const Signature sig{"__init__", names, 2, 1};
    PyObject* values[2];
    if (!match_tuple_dict(sig, args, kwargs, values)) return -1;
    const int verbose = values[1] ? to_truth(values[1]) : 0;
    if (verbose < 0) return -1;
    PyObject* source = values[0];
    CSRMatrixObject* m = reinterpret_cast<CSRMatrixObject*>(self);

    if (verbose) diag_line("DEBUG", "CSRMatrix.__init__", "wrapping sparse matrix");
    if (!convert_and_store(&m->indices, source, "indices", "int32", ElemType::Int32)) return -1;
    if (!convert_and_store(&m->indptr, source, "indptr", "int32", ElemType::Int32)) return -1;
    if (!convert_and_store(&m->data, source, "data", "float32", ElemType::Float32)) return -1;
    PyRef shape(PyObject_GetAttrString(source, "shape"));
    if (!shape) return -1;
    if (!shape_item(shape.get(), 0, &m->rows)) return -1;
    if (!shape_item(shape.get(), 1, &m->cols)) return -1;
    m->nnz = static_cast<int32_t>(static_cast<uint32_t>(m->data.shape[0]));
    if (verbose) diag_line("DEBUG", "CSRMatrix.__init__", "rows=%d cols=%d nnz=%d", m->rows, m->cols, m->nnz);
    return 0;
}

#define CSR_FIELD(name_, kind_, type_) \
    FieldDesc{#name_, FieldKind::kind_, offsetof(CSRMatrixObject, name_), 1, ElemType::type_}

const FieldDesc csr_fields[] = {
    CSR_FIELD(indices, Array, Int32), CSR_FIELD(indptr, Array, Int32), CSR_FIELD(data, Array, Float32),
    CSR_FIELD(rows, Int, Int32),      CSR_FIELD(cols, Int, Int32),     CSR_FIELD(nnz, Int, Int32),
};

PyGetSetDef csr_getset[] = {
    {"indices", field_get, field_set, "indices: 'int[::1]'", const_cast<FieldDesc*>(&csr_fields[0])},
    {"indptr", field_get, field_set, "indptr: 'int[::1]'", const_cast<FieldDesc*>(&csr_fields[1])},
    {"data", field_get, field_set, "data: 'flt[::1]'", const_cast<FieldDesc*>(&csr_fields[2])},
    {"rows", field_get, field_set, "rows: 'int'", const_cast<FieldDesc*>(&csr_fields[3])},
    {"cols", field_get, field_set, "cols: 'int'", const_cast<FieldDesc*>(&csr_fields[4])},
    {"nnz", field_get, field_set, "nnz: 'int'", const_cast<FieldDesc*>(&csr_fields[5])},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject CSRMatrixType = blank_type();

// ---------------------------------------------------------------- FastQuorvane

constexpr int kModelArrays = 12;

#define MODEL_ARRAY(name_, ndim_) \
    FieldDesc{#name_, FieldKind::Array, offsetof(FastQuorvaneObject, name_), ndim_, ElemType::Float32}
#define MODEL_NUMBER(name_, kind_) FieldDesc{#name_, FieldKind::kind_, offsetof(FastQuorvaneObject, name_)}

// Declaration order: the twelve arrays, then the settings and the scales.
const FieldDesc model_fields[] = {
    MODEL_ARRAY(item_features, 2),       MODEL_ARRAY(item_feature_gradients, 2), MODEL_ARRAY(item_feature_momentum, 2),
    MODEL_ARRAY(item_biases, 1),         MODEL_ARRAY(item_bias_gradients, 1),    MODEL_ARRAY(item_bias_momentum, 1),
    MODEL_ARRAY(user_features, 2),       MODEL_ARRAY(user_feature_gradients, 2), MODEL_ARRAY(user_feature_momentum, 2),
    MODEL_ARRAY(user_biases, 1),         MODEL_ARRAY(user_bias_gradients, 1),    MODEL_ARRAY(user_bias_momentum, 1),
    MODEL_NUMBER(no_components, Int),    MODEL_NUMBER(adadelta, Int),            MODEL_NUMBER(learning_rate, Flt),
    MODEL_NUMBER(rho, Flt),              MODEL_NUMBER(eps, Flt),                 MODEL_NUMBER(max_sampled, Int),
    MODEL_NUMBER(item_scale, Double),    MODEL_NUMBER(user_scale, Double),
};
constexpr int kModelFields = sizeof(model_fields) / sizeof(model_fields[0]);

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

void model_dealloc(PyObject* self) {
    for (int i = 0; i < kModelArrays; ++i) release_if_held(&field_ref<ArrayView>(self, model_fields[i]));
    Py_TYPE(self)->tp_free(self);
}

const Param model_init_params[] = {
    {"item_features", Kind::FltArray2},  {"item_feature_gradients", Kind::FltArray2},
    {"item_feature_momentum", Kind::FltArray2}, {"item_biases", Kind::FltArray1},
    {"item_bias_gradients", Kind::FltArray1}, {"item_bias_momentum", Kind::FltArray1},
    {"user_features", Kind::FltArray2},  {"user_feature_gradients", Kind::FltArray2},
    {"user_feature_momentum", Kind::FltArray2}, {"user_biases", Kind::FltArray1},
    {"user_bias_gradients", Kind::FltArray1}, {"user_bias_momentum", Kind::FltArray1},
    {"no_components", Kind::CInt},       {"adadelta", Kind::CInt},
    {"learning_rate", Kind::Flt},        {"rho", Kind::Flt},
    {"epsilon", Kind::Flt},              {"max_sampled", Kind::CInt},
    {"verbose", Kind::Truth},
};
constexpr int kModelInitParams = sizeof(model_init_params) / sizeof(model_init_params[0]);

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const char* names[kModelInitParams];
    for (int i = 0; i < kModelInitParams; ++i) names[i] = model_init_params[i].name;
    const Signature sig{"__init__", names, kModelInitParams, kModelInitParams - 1};
    PyObject* values[kModelInitParams];
    if (!match_tuple_dict(sig, args, kwargs, values)) return -1;
    if (values[kModelInitParams - 1] == nullptr) values[kModelInitParams - 1] = Py_False;
    BoundArgs bound;   // every argument is bound before any field changes
    if (!bind_params(model_init_params, kModelInitParams, values, bound)) return -1;

    FastQuorvaneObject* m = reinterpret_cast<FastQuorvaneObject*>(self);
    const bool verbose = bound[18].i != 0;
    if (verbose) std::fprintf(stderr, "[DEBUG] no_components = %d | adadelta = %d\n", bound[12].i, bound[13].i);
    for (int i = 0; i < kModelArrays; ++i) store_view(&field_ref<ArrayView>(self, model_fields[i]), &bound[i].view);
    m->no_components = bound[12].i;
    m->adadelta = bound[13].i;
    m->learning_rate = bound[14].f;
    m->rho = bound[15].f;
    m->eps = bound[16].f;
    m->max_sampled = bound[17].i;
    m->item_scale = 1.0;
    m->user_scale = 1.0;
    if (verbose) diag_line("DEBUG", "FastQuorvane.__init__", "done");
    return 0;
}

// Attribute docs: "<name>: '<type>'".
const char* model_field_doc(int i) {
    static const char* const docs[] = {
        "item_features: 'flt[:, ::1]'",  "item_feature_gradients: 'flt[:, ::1]'", "item_feature_momentum: 'flt[:, ::1]'",
        "item_biases: 'flt[::1]'",       "item_bias_gradients: 'flt[::1]'",       "item_bias_momentum: 'flt[::1]'",
        "user_features: 'flt[:, ::1]'",  "user_feature_gradients: 'flt[:, ::1]'", "user_feature_momentum: 'flt[:, ::1]'",
        "user_biases: 'flt[::1]'",       "user_bias_gradients: 'flt[::1]'",       "user_bias_momentum: 'flt[::1]'",
        "no_components: 'int'",          "adadelta: 'int'",                       "learning_rate: 'flt'",
        "rho: 'flt'",                    "eps: 'flt'",                            "max_sampled: 'int'",
        "item_scale: 'double'",          "user_scale: 'double'",
    };
    return docs[i];
}

PyGetSetDef model_getset[kModelFields + 1];

PyTypeObject FastQuorvaneType = blank_type();

// ---------------------------------------------------------------- module

int ready_types() {
    CSRMatrixType.tp_name = TYPES_MODULE_NAME ".CSRMatrix";
    CSRMatrixType.tp_basicsize = sizeof(CSRMatrixObject);
    CSRMatrixType.tp_dealloc = csr_dealloc;
    CSRMatrixType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    CSRMatrixType.tp_doc =
        "CSRMatrix(csr_matrix, bool verbose=False)\n\nThin wrapper over a scipy CSR sparse matrix.\n"
        "Provides nogil-safe row slicing via get_row_start / get_row_end.";
    CSRMatrixType.tp_getset = csr_getset;
    CSRMatrixType.tp_init = csr_init;
    CSRMatrixType.tp_new = csr_new;

    for (int i = 0; i < kModelFields; ++i) {
        model_getset[i] = PyGetSetDef{model_fields[i].name, field_get, field_set, model_field_doc(i),
                                      const_cast<FieldDesc*>(&model_fields[i])};
    }
    model_getset[kModelFields] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};
    FastQuorvaneType.tp_name = TYPES_MODULE_NAME ".FastQuorvane";
    FastQuorvaneType.tp_basicsize = sizeof(FastQuorvaneObject);
    FastQuorvaneType.tp_dealloc = model_dealloc;
    FastQuorvaneType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    FastQuorvaneType.tp_doc =
        "FastQuorvane(flt[:, ::1] item_features, flt[:, ::1] item_feature_gradients, flt[:, ::1] "
        "item_feature_momentum, flt[::1] item_biases, flt[::1] item_bias_gradients, flt[::1] item_bias_momentum, "
        "flt[:, ::1] user_features, flt[:, ::1] user_feature_gradients, flt[:, ::1] user_feature_momentum, "
        "flt[::1] user_biases, flt[::1] user_bias_gradients, flt[::1] user_bias_momentum, int no_components, "
        "int adadelta, flt learning_rate, flt rho, flt epsilon, int max_sampled, bool verbose=False)\n\n"
        "Central model-state container.";
    FastQuorvaneType.tp_getset = model_getset;
    FastQuorvaneType.tp_init = model_init;
    FastQuorvaneType.tp_new = model_new;

    if (CSRMatrixType.tp_flags & Py_TPFLAGS_READY) return 0;   // a retried import after a failure
    if (PyType_Ready(&CSRMatrixType) < 0 || PyType_Ready(&FastQuorvaneType) < 0) return -1;
    PyRef vtable(PyCapsule_New(const_cast<CSRMatrixVTable*>(&csr_vtable), nullptr, nullptr));
    if (!vtable || PyDict_SetItemString(CSRMatrixType.tp_dict, "__vtable__", vtable.get()) < 0) return -1;
    PyType_Modified(&CSRMatrixType);
    return 0;
}

int types_body(PyObject* module) {
    g_module_dict = PyModule_GetDict(module);
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyDict_SetItemString(g_module_dict, "np", np.get()) < 0) return -1;
    if (ready_types() < 0) return -1;
    if (PyModule_AddObjectRef(module, "CSRMatrix", reinterpret_cast<PyObject*>(&CSRMatrixType)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "FastQuorvane", reinterpret_cast<PyObject*>(&FastQuorvaneType)) < 0) return -1;
    return 0;
}

ModuleInfo types_info = {"_kern_types", TYPES_MODULE_NAME, "_kern_types.cpp", true, nullptr, 0, types_body};

}  // namespace

HALVENDRIX_MODULE(_kern_types, types_info)
