// TwoTowerModel: the two-tower model state read by the training and forward modules.
// Its constructor takes the twenty arrays and the three widths and refuses arrays
// whose shapes disagree with the widths; every field is readable.
#include "_kern_types.h"

#include <cstddef>

#include "binding.h"
#include "static_type.h"
#include "fields.h"
#include "pyref.h"
#include "startup.h"

namespace {

constexpr int kArrays = 20;
constexpr int kFields = 23;

// Shape roles of the five arrays of one tower: 'E' embeddings (any rows x E),
// 'W' w1 (E x H), 'b' b1 (H), 'V' w2 (H x O), 'c' b2 (O).
const char kRoles[5] = {'E', 'W', 'b', 'V', 'c'};

#define TT_ARRAY(name_, ndim_) \
    FieldDesc{#name_, FieldKind::Array, offsetof(TwoTowerModelObject, name_), ndim_, ElemType::Float32}
#define TT_WIDTH(name_) FieldDesc{#name_, FieldKind::Int, offsetof(TwoTowerModelObject, name_)}

const FieldDesc fields[kFields] = {
    TT_ARRAY(user_embeddings, 2),          TT_ARRAY(user_w1, 2),          TT_ARRAY(user_b1, 1),
    TT_ARRAY(user_w2, 2),                  TT_ARRAY(user_b2, 1),          TT_ARRAY(user_embeddings_velocity, 2),
    TT_ARRAY(user_w1_velocity, 2),         TT_ARRAY(user_b1_velocity, 1), TT_ARRAY(user_w2_velocity, 2),
    TT_ARRAY(user_b2_velocity, 1),         TT_ARRAY(item_embeddings, 2),  TT_ARRAY(item_w1, 2),
    TT_ARRAY(item_b1, 1),                  TT_ARRAY(item_w2, 2),          TT_ARRAY(item_b2, 1),
    TT_ARRAY(item_embeddings_velocity, 2), TT_ARRAY(item_w1_velocity, 2), TT_ARRAY(item_b1_velocity, 1),
    TT_ARRAY(item_w2_velocity, 2),         TT_ARRAY(item_b2_velocity, 1), TT_WIDTH(embedding_dim),
    TT_WIDTH(hidden_dim),                  TT_WIDTH(output_dim),
};

PyObject* model_new(PyTypeObject* type, PyObject*, PyObject*) { return type->tp_alloc(type, 0); }

void model_dealloc(PyObject* self) {
    for (int i = 0; i < kArrays; ++i) {
        ArrayView& v = field_ref<ArrayView>(self, fields[i]);
        if (v.owner != nullptr) release_array(&v);
    }
    Py_TYPE(self)->tp_free(self);
}

// Checks array i of the bound arguments against the widths.
bool check_shape(int i, const ArrayView& v, int32_t E, int32_t H, int32_t O) {
    const char* name = fields[i].name;
    if (v.owner == Py_None) {
        PyErr_Format(PyExc_TypeError, "TwoTowerModel: %s must be a float32 array, not None", name);
        return false;
    }
    const char role = kRoles[i % 5];
    std::ptrdiff_t want0 = -1;
    std::ptrdiff_t want1 = -1;
    const char* what = "";
    switch (role) {
        case 'E': want0 = v.shape[0]; want1 = E; what = "(rows, embedding_dim)"; break;
        case 'W': want0 = E; want1 = H; what = "(embedding_dim, hidden_dim)"; break;
        case 'b': want0 = H; what = "(hidden_dim,)"; break;
        case 'V': want0 = H; want1 = O; what = "(hidden_dim, output_dim)"; break;
        case 'c': want0 = O; what = "(output_dim,)"; break;
    }
    const bool two_d = want1 >= 0;
    if (v.shape[0] != want0 || (two_d && v.shape[1] != want1)) {
        if (two_d) {
            PyErr_Format(PyExc_ValueError, "TwoTowerModel: %s has shape (%zd, %zd), expected %s = (%zd, %zd)", name,
                         v.shape[0], v.shape[1], what, want0, want1);
        } else {
            PyErr_Format(PyExc_ValueError, "TwoTowerModel: %s has shape (%zd,), expected %s = (%zd,)", name,
                         v.shape[0], what, want0);
        }
        return false;
    }
    return true;
}

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Param params[kFields];
    const char* names[kFields];
    for (int i = 0; i < kFields; ++i) {
        names[i] = fields[i].name;
        params[i] = Param{fields[i].name, i < kArrays ? (fields[i].ndim == 2 ? Kind::FltArray2 : Kind::FltArray1)
                                                      : Kind::CInt};
    }
    const Signature sig{"__init__", names, kFields, kFields};
    PyObject* values[kFields];
    if (!match_tuple_dict(sig, args, kwargs, values)) return -1;
    BoundArgs bound;
    if (!bind_params(params, kFields, values, bound)) return -1;
    const int32_t E = bound[20].i;
    const int32_t H = bound[21].i;
    const int32_t O = bound[22].i;
    for (int i = 0; i < kArrays; ++i) {
        if (!check_shape(i, bound[i].view, E, H, O)) return -1;
        // Velocities have the shape of their parameter, rows of the embeddings included.
        if (i % 10 >= 5 && bound[i].view.shape[0] != bound[i - 5].view.shape[0]) {
            PyErr_Format(PyExc_ValueError, "TwoTowerModel: %s has %zd rows but %s has %zd", fields[i].name,
                         bound[i].view.shape[0], fields[i - 5].name, bound[i - 5].view.shape[0]);
            return -1;
        }
    }
    for (int i = 0; i < kArrays; ++i) {
        ArrayView& field = field_ref<ArrayView>(self, fields[i]);
        ArrayView old = field;
        field = bound[i].view;
        bound[i].view.owner = nullptr;
        if (old.owner != nullptr) release_array(&old);
    }
    TwoTowerModelObject* m = reinterpret_cast<TwoTowerModelObject*>(self);
    m->embedding_dim = E;
    m->hidden_dim = H;
    m->output_dim = O;
    return 0;
}

PyGetSetDef getset[kFields + 1];

PyTypeObject TwoTowerModelType = blank_type();

int body(PyObject* module) {
    if (!(TwoTowerModelType.tp_flags & Py_TPFLAGS_READY)) {
        for (int i = 0; i < kFields; ++i) {
            getset[i] = PyGetSetDef{fields[i].name, field_get, nullptr, nullptr, const_cast<FieldDesc*>(&fields[i])};
        }
        getset[kFields] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};
        TwoTowerModelType.tp_name = TWO_TOWER_TYPES_MODULE_NAME ".TwoTowerModel";
        TwoTowerModelType.tp_basicsize = sizeof(TwoTowerModelObject);
        TwoTowerModelType.tp_dealloc = model_dealloc;
        TwoTowerModelType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
        TwoTowerModelType.tp_doc =
            "TwoTowerModel(user_embeddings, user_w1, user_b1, user_w2, user_b2, user_embeddings_velocity, "
            "user_w1_velocity, user_b1_velocity, user_w2_velocity, user_b2_velocity, item_embeddings, item_w1, "
            "item_b1, item_w2, item_b2, item_embeddings_velocity, item_w1_velocity, item_b1_velocity, "
            "item_w2_velocity, item_b2_velocity, int embedding_dim, int hidden_dim, int output_dim)\n\n"
            "Two-tower model state: both towers' parameters and momentum velocities (C-contiguous\n"
            "writable float32 arrays, shared with the caller) and the three layer widths.";
        TwoTowerModelType.tp_getset = getset;
        TwoTowerModelType.tp_init = model_init;
        TwoTowerModelType.tp_new = model_new;
        if (PyType_Ready(&TwoTowerModelType) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, "TwoTowerModel", reinterpret_cast<PyObject*>(&TwoTowerModelType));
}

ModuleInfo info = {"_kern_types", TWO_TOWER_TYPES_MODULE_NAME, "_kern_types.cpp", false, nullptr, 0, body};

}  // namespace

HALVENDRIX_MODULE(_kern_types, info)
