// CSRMatrix and FastQuorvane: the factorization model's native types.
#include "_kern_types.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

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

// ---------------------------------------------------------------- pickling
//
// Both classes take part in the reduce protocol. The state tuple lists every field in
// ascending order of field names; array fields appear as the same view objects that
// attribute reads return (or None). A recipe therefore works within the process
// (copy.copy, restoring from a tuple of arrays), while pickling a bound instance to
// bytes fails because view objects refuse to be reduced.

constexpr int kMaxStateFields = 20;
static_assert(kModelFields <= kMaxStateFields, "state order table too small");

struct PickleLayout {
    const char* class_name;          // short name, for messages
    PyTypeObject* type;
    const FieldDesc* fields;         // declaration order
    int n_fields;
    const char* restore_name;        // the module-level restore function
    int32_t checksums[3];            // [0] is written by __reduce__; all three are accepted
    // Derived at start-up from the field names, so the state order, the field list in
    // the checksum message and the record definitions cannot drift apart.
    const FieldDesc* state_order[kMaxStateFields];
    std::string field_list;          // "cols, data, ..."
};

PickleLayout csr_pickle = {
    "CSRMatrix", &CSRMatrixType, csr_fields, static_cast<int>(sizeof(csr_fields) / sizeof(csr_fields[0])),
    "_unpickle_CSRMatrix", {0x5e8b72c, 0x14c26b2, 0x5b63e82}, {}, {}};
PickleLayout model_pickle = {
    "FastQuorvane", &FastQuorvaneType, model_fields, kModelFields,
    "_unpickle_FastQuorvane", {0x82f3a52, 0xc75e51f, 0xddf264a}, {}, {}};

void layout_init(PickleLayout& layout) {
    for (int i = 0; i < layout.n_fields; ++i) layout.state_order[i] = &layout.fields[i];
    std::sort(layout.state_order, layout.state_order + layout.n_fields,
              [](const FieldDesc* a, const FieldDesc* b) { return std::strcmp(a->name, b->name) < 0; });
    layout.field_list.clear();
    for (int i = 0; i < layout.n_fields; ++i) {
        if (i > 0) layout.field_list += ", ";
        layout.field_list += layout.state_order[i]->name;
    }
}

void* closure_of(const FieldDesc* field) { return const_cast<FieldDesc*>(field); }

// The set-state step shared by the restore functions and __setstate__: the first N
// items go into the fields in state order (array stores bind before they release, so
// a failing item leaves its own field as it was; earlier items stay stored). A true
// item N updates the instance's attribute dictionary; later items are ignored.
bool apply_state(PyObject* self, const PickleLayout& layout, PyObject* state) {
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (size < layout.n_fields) {
        // Refused before anything is stored: taking items by position would read past the tuple.
        PyErr_Format(PyExc_ValueError, "%s state must have %d items, got %zd", layout.class_name, layout.n_fields,
                     size);
        return false;
    }
    for (int i = 0; i < layout.n_fields; ++i) {
        if (field_set(self, PyTuple_GET_ITEM(state, i), closure_of(layout.state_order[i])) < 0) return false;
    }
    if (size == layout.n_fields) return true;
    PyObject* extra = PyTuple_GET_ITEM(state, layout.n_fields);
    const int present = PyObject_IsTrue(extra);
    if (present <= 0) return present == 0;
    // Creates the dictionary of a subclass instance if it has none yet; an instance of
    // the native class itself has none and raises AttributeError.
    PyRef dict(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) return false;
    if (PyDict_CheckExact(dict.get()) && PyDict_CheckExact(extra)) return PyDict_Update(dict.get(), extra) == 0;
    PyRef result(PyObject_CallMethod(dict.get(), "update", "(O)", extra));
    return static_cast<bool>(result);
}

// __reduce__(): (restore, (type(self), checksum, state)), or with a non-empty instance
// dictionary (restore, (type(self), checksum, None), state + (dict,)).
PyObject* reduce_method(const PickleLayout& layout, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    const Signature sig{"__reduce__", nullptr, 0, 0};
    PyObject* unused[1];
    if (!match_vectorcall(sig, args, nargs, kwnames, unused)) return nullptr;

    // field_get refuses an array field that was never assigned (constructor never ran)
    // with an AttributeError naming the field, so no missing buffer is ever touched.
    PyRef state(PyTuple_New(layout.n_fields));
    if (!state) return nullptr;
    for (int i = 0; i < layout.n_fields; ++i) {
        PyObject* value = field_get(self, closure_of(layout.state_order[i]));
        if (value == nullptr) return nullptr;
        PyTuple_SET_ITEM(state.get(), i, value);
    }

    PyRef dict(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    int with_dict = 0;
    if (dict && dict.get() != Py_None) {
        with_dict = PyObject_IsTrue(dict.get());
        if (with_dict < 0) return nullptr;
    }

    // Looked up at each call, like any module-level name.
    PyObject* restore = PyDict_GetItemString(g_module_dict, layout.restore_name);
    if (restore == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", layout.restore_name);
        return nullptr;
    }
    PyRef checksum(PyLong_FromLong(layout.checksums[0]));
    if (!checksum) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (!with_dict) return Py_BuildValue("(O(OOO))", restore, type, checksum.get(), state.get());

    PyRef full(PyTuple_New(layout.n_fields + 1));
    if (!full) return nullptr;
    for (int i = 0; i < layout.n_fields; ++i) {
        PyTuple_SET_ITEM(full.get(), i, Py_NewRef(PyTuple_GET_ITEM(state.get(), i)));
    }
    PyTuple_SET_ITEM(full.get(), layout.n_fields, dict.release());
    return Py_BuildValue("(O(OOO)O)", restore, type, checksum.get(), Py_None, full.get());
}

// __setstate__(state): state must be an exact tuple.
PyObject* setstate_method(const PickleLayout& layout, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static const char* const names[] = {"state"};
    const Signature sig{"__setstate__", names, 1, 1};
    PyObject* values[1];
    if (!match_vectorcall(sig, args, nargs, kwnames, values)) return nullptr;
    PyObject* state = values[0];
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        return nullptr;
    }
    if (!PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    if (!apply_state(self, layout, state)) return nullptr;
    Py_RETURN_NONE;
}

void raise_incompatible_checksum(const PickleLayout& layout, int32_t checksum) {
    PyRef pickle(PyImport_ImportModule("pickle"));
    if (!pickle) return;
    PyRef error(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return;
    PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))", checksum,
                 layout.checksums[0], layout.checksums[1], layout.checksums[2], layout.field_list.c_str());
}

// _unpickle_<Class>(type, checksum, state): a new instance made by the class's own
// __new__ (the constructor does not run), with state applied unless it is None.
PyObject* restore_function(const PickleLayout& layout, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static const char* const names[] = {"type", "checksum", "state"};
    const Signature sig{layout.restore_name, names, 3, 3};
    PyObject* values[3];
    if (!match_vectorcall(sig, args, nargs, kwnames, values)) return nullptr;
    int32_t checksum;
    if (!to_c_int(values[1], &checksum)) return nullptr;
    PyObject* state = values[2];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "state",
                     "tuple", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    if (checksum != layout.checksums[0] && checksum != layout.checksums[1] && checksum != layout.checksums[2]) {
        raise_incompatible_checksum(layout, checksum);
        return nullptr;
    }
    PyRef make(PyObject_GetAttrString(reinterpret_cast<PyObject*>(layout.type), "__new__"));
    if (!make) return nullptr;
    PyRef instance(PyObject_CallOneArg(make.get(), values[0]));
    if (!instance) return nullptr;
    if (state != Py_None && !apply_state(instance.get(), layout, state)) return nullptr;
    return instance.release();
}

PyObject* csr_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reduce_method(csr_pickle, self, args, nargs, kwnames);
}
PyObject* csr_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return setstate_method(csr_pickle, self, args, nargs, kwnames);
}
PyObject* model_reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reduce_method(model_pickle, self, args, nargs, kwnames);
}
PyObject* model_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return setstate_method(model_pickle, self, args, nargs, kwnames);
}
PyObject* unpickle_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return restore_function(csr_pickle, args, nargs, kwnames);
}
PyObject* unpickle_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return restore_function(model_pickle, args, nargs, kwnames);
}

template <typename F>
PyCFunction as_cfunction(F* fn) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)); }

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef csr_pickle_methods[] = {
    {"__reduce__", as_cfunction(csr_reduce), kFastKeywords, nullptr},
    {"__setstate__", as_cfunction(csr_setstate), kFastKeywords, nullptr},
};
PyMethodDef model_pickle_methods[] = {
    {"__reduce__", as_cfunction(model_reduce), kFastKeywords, nullptr},
    {"__setstate__", as_cfunction(model_setstate), kFastKeywords, nullptr},
};
PyMethodDef restore_functions[] = {
    {"_unpickle_CSRMatrix", as_cfunction(unpickle_csr), kFastKeywords, nullptr},
    {"_unpickle_FastQuorvane", as_cfunction(unpickle_model), kFastKeywords, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// *out = obj.name, or nullptr when obj has no such attribute (object has no
// __getstate__ before Python 3.11). False on any other error.
bool optional_attribute(PyObject* obj, const char* name, PyObject** out) {
    *out = PyObject_GetAttrString(obj, name);
    if (*out != nullptr) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

// True when the class leaves pickling to object's defaults (no __getstate__,
// __reduce_ex__ or __reduce__ of its own). Sets *uses_defaults; false on error.
bool pickles_by_default(PyTypeObject* type, bool* uses_defaults) {
    static const char* const hooks[] = {"__getstate__", "__reduce_ex__", "__reduce__"};
    *uses_defaults = true;
    for (const char* hook : hooks) {
        PyObject* own;
        PyObject* inherited;
        if (!optional_attribute(reinterpret_cast<PyObject*>(type), hook, &own)) return false;
        PyRef own_ref(own);
        if (!optional_attribute(reinterpret_cast<PyObject*>(&PyBaseObject_Type), hook, &inherited)) return false;
        PyRef inherited_ref(inherited);
        if (own != inherited) *uses_defaults = false;
    }
    return true;
}

bool try_install_pickling(PyTypeObject* type, PyMethodDef* methods) {
    bool uses_defaults;
    if (!pickles_by_default(type, &uses_defaults)) return false;
    if (!uses_defaults) return true;   // already installed, or the class pickles itself
    for (int i = 0; i < 2; ++i) {
        PyRef descriptor(PyDescr_NewMethod(type, &methods[i]));
        if (!descriptor || type->tp_dict == nullptr) return false;
        if (PyDict_SetItemString(type->tp_dict, methods[i].ml_name, descriptor.get()) < 0) return false;
    }
    PyType_Modified(type);
    return true;
}

// Puts __reduce__ and __setstate__ into the class's dictionary; they are the only names added.
int install_pickling(PyTypeObject* type, PyMethodDef* methods) {
    if (try_install_pickling(type, methods)) return 0;
    if (!PyErr_Occurred()) PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    return -1;
}

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

    // Each step below tolerates a retried import after a failure part-way through.
    if (!(CSRMatrixType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&CSRMatrixType) < 0) return -1;
    if (!(FastQuorvaneType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&FastQuorvaneType) < 0) return -1;
    PyRef vtable(PyCapsule_New(const_cast<CSRMatrixVTable*>(&csr_vtable), nullptr, nullptr));
    if (!vtable || PyDict_SetItemString(CSRMatrixType.tp_dict, "__vtable__", vtable.get()) < 0) return -1;
    PyType_Modified(&CSRMatrixType);
    layout_init(csr_pickle);
    layout_init(model_pickle);
    if (install_pickling(&CSRMatrixType, csr_pickle_methods) < 0) return -1;
    if (install_pickling(&FastQuorvaneType, model_pickle_methods) < 0) return -1;
    return 0;
}

int types_body(PyObject* module) {
    g_module_dict = PyModule_GetDict(module);
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyDict_SetItemString(g_module_dict, "np", np.get()) < 0) return -1;
    if (ready_types() < 0) return -1;
    if (PyModule_AddFunctions(module, restore_functions) < 0) return -1;
    if (PyModule_AddObjectRef(module, "CSRMatrix", reinterpret_cast<PyObject*>(&CSRMatrixType)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "FastQuorvane", reinterpret_cast<PyObject*>(&FastQuorvaneType)) < 0) return -1;
    return 0;
}

ModuleInfo types_info = {"_kern_types", TYPES_MODULE_NAME, "_kern_types.cpp", true, nullptr, 0, types_body};

}  // namespace

HALVENDRIX_MODULE(_kern_types, types_info)
