// Two-tower training: one parallel lock-free BPR epoch (fit_two_tower).
#include "two_tower_imports.h"

#include <cstdlib>

#include "capi_table.h"
#include "diagnostics.h"
#include "entry_function.h"
#include "pyref.h"
#include "tower.h"
#include "two_tower_checks.h"

namespace {

const char fit_two_tower_doc[] =
    "fit_two_tower(int[::1] user_ids, int[::1] positive_item_ids, int[::1] shuffle_indices, "
    "TwoTowerModel model, double learning_rate, double momentum_coef, int num_threads, random_state, "
    "bool verbose=False)\n"
    "\n"
    "One epoch of pairwise two-tower training (BPR loss).\n"
    "Allocates thread-safe contiguous scratch space prior to parallel execution.";

const Param fit_two_tower_params[] = {
    {"user_ids", Kind::IntArray1},          {"positive_item_ids", Kind::IntArray1},
    {"shuffle_indices", Kind::IntArray1},   {"model", Kind::Class, &TwoTowerModel_type},
    {"learning_rate", Kind::CDouble},       {"momentum_coef", Kind::CDouble},
    {"num_threads", Kind::CInt},            {"random_state", Kind::Object},
    {"verbose", Kind::Truth},
};

PyObject* g_module_dict = nullptr;   // borrowed; the module lives for the whole process

TowerParams user_tower(const TwoTowerModelObject* m) {
    return tower_params_from_views(m->user_embeddings, m->user_w1, m->user_b1, m->user_w2, m->user_b2,
                                   m->user_embeddings_velocity, m->user_w1_velocity, m->user_b1_velocity,
                                   m->user_w2_velocity, m->user_b2_velocity);
}

TowerParams item_tower(const TwoTowerModelObject* m) {
    return tower_params_from_views(m->item_embeddings, m->item_w1, m->item_b1, m->item_w2, m->item_b2,
                                   m->item_embeddings_velocity, m->item_w1_velocity, m->item_b1_velocity,
                                   m->item_w2_velocity, m->item_b2_velocity);
}

}  // namespace

// The epoch driver, also published in __capi__. Called with the GIL held; runs the
// parallel loop without it. random_states and scratch_pool hold an entry and a block
// of 4*hidden_dim + 6*output_dim floats for every thread of the team.
void c_fit_two_tower(ArrayView user_ids, ArrayView positive_item_ids, ArrayView shuffle_indices,
                     TwoTowerModelObject* model, double learning_rate, double momentum_coef, int num_threads,
                     ArrayView random_states, float* scratch_pool, int verbose) {
    const int32_t no_examples = static_cast<int32_t>(user_ids.shape[0]);
    const int32_t n_items = static_cast<int32_t>(model->item_embeddings.shape[0]);
    if (verbose) {
        diag_line("DEBUG", "c_fit_two_tower", "no_examples=%d num_threads=%d learning_rate=%.5f momentum=%.3f",
                  no_examples, num_threads, learning_rate, momentum_coef);
    }
    const TowerParams user = user_tower(model);
    const TowerParams item = item_tower(model);
    Py_BEGIN_ALLOW_THREADS
    if (no_examples > 0) {
        two_tower_epoch(user, item, model->embedding_dim, model->hidden_dim, model->output_dim, n_items,
                        view_data<int32_t>(user_ids), view_data<int32_t>(positive_item_ids),
                        view_data<int32_t>(shuffle_indices), no_examples, learning_rate, momentum_coef, num_threads,
                        view_data<unsigned int>(random_states), scratch_pool);
    }
    Py_END_ALLOW_THREADS
}

namespace {

// Everything the epoch reads must exist: all twenty arrays bound, at least one item
// to draw negatives from, shuffle positions inside both example arrays, and every
// visited user and positive item a row of its embedding table.
bool check_epoch_inputs(PyObject* model_obj, const ArrayView& user_ids, const ArrayView& positive_item_ids,
                        const ArrayView& shuffle_indices, int32_t no_examples) {
    if (model_obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "Argument 'model' must be a TwoTowerModel, not None");
        return false;
    }
    const TwoTowerModelObject* m = reinterpret_cast<const TwoTowerModelObject*>(model_obj);
    const ArrayView* arrays = &m->user_embeddings;
    static const char* const names[20] = {
        "model.user_embeddings", "model.user_w1", "model.user_b1", "model.user_w2", "model.user_b2",
        "model.user_embeddings_velocity", "model.user_w1_velocity", "model.user_b1_velocity",
        "model.user_w2_velocity", "model.user_b2_velocity", "model.item_embeddings", "model.item_w1",
        "model.item_b1", "model.item_w2", "model.item_b2", "model.item_embeddings_velocity",
        "model.item_w1_velocity", "model.item_b1_velocity", "model.item_w2_velocity", "model.item_b2_velocity"};
    for (int i = 0; i < 20; ++i) {
        if (!require_array(arrays[i], names[i])) return false;
    }
    if (m->item_embeddings.shape[0] < 1) {
        PyErr_SetString(PyExc_ValueError, "model.item_embeddings has no rows: there is no item to draw negatives from");
        return false;
    }
    if (shuffle_indices.shape[0] < no_examples) {
        PyErr_Format(PyExc_ValueError, "Argument 'shuffle_indices' has %zd entries, fewer than len(user_ids) = %d",
                     shuffle_indices.shape[0], no_examples);
        return false;
    }
    const std::ptrdiff_t positions = user_ids.shape[0] < positive_item_ids.shape[0] ? user_ids.shape[0]
                                                                                     : positive_item_ids.shape[0];
    const int32_t* order = view_data<int32_t>(shuffle_indices);
    if (!check_ids_below(order, no_examples, positions, "shuffle_indices",
                           "the shorter of user_ids and positive_item_ids")) {
        return false;
    }
    for (int32_t i = 0; i < no_examples; ++i) {
        const int32_t e = order[i];
        if (!check_ids_below(view_data<int32_t>(user_ids) + e, 1, m->user_embeddings.shape[0], "user_ids",
                               "the rows of model.user_embeddings") ||
            !check_ids_below(view_data<int32_t>(positive_item_ids) + e, 1, m->item_embeddings.shape[0],
                               "positive_item_ids", "the rows of model.item_embeddings")) {
            return false;
        }
    }
    return true;
}

// random_state.integers(1, 2147483647, size=n, dtype=np.uint32) when the object has
// `integers`, else random_state.randint(1, 2147483647, size=n).astype(np.uint32).
PyObject* draw_seeds(PyObject* random_state, int32_t num_threads) {
    PyObject* np = PyDict_GetItemString(g_module_dict, "np");
    if (np == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
        return nullptr;
    }
    PyRef uint32(PyObject_GetAttrString(np, "uint32"));
    if (!uint32) return nullptr;
    PyRef args(Py_BuildValue("(ii)", 1, 2147483647));
    if (!args) return nullptr;
    PyRef integers(PyObject_GetAttrString(random_state, "integers"));
    if (integers) {
        PyRef kwargs(Py_BuildValue("{sisO}", "size", static_cast<int>(num_threads), "dtype", uint32.get()));
        if (!kwargs) return nullptr;
        return PyObject_Call(integers.get(), args.get(), kwargs.get());
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    PyRef randint(PyObject_GetAttrString(random_state, "randint"));
    if (!randint) return nullptr;
    PyRef kwargs(Py_BuildValue("{si}", "size", static_cast<int>(num_threads)));
    if (!kwargs) return nullptr;
    PyRef drawn(PyObject_Call(randint.get(), args.get(), kwargs.get()));
    if (!drawn) return nullptr;
    return PyObject_CallMethod(drawn.get(), "astype", "O", uint32.get());
}

PyObject* fit_two_tower(BoundArgs& a) {
    const ArrayView& user_ids = a[0].view;
    const int32_t no_examples = static_cast<int32_t>(user_ids.shape[0]);
    const int32_t num_threads = a[6].i;
    const bool verbose = a[8].i != 0;
    if (no_examples == 0) {
        if (verbose) diag_line("WARN", "fit_two_tower", "no_examples=0, skipping");
        Py_RETURN_NONE;
    }
    if (num_threads <= 0) {
        PyErr_SetString(PyExc_ValueError, "num_threads must be > 0");
        return nullptr;
    }
    if (!check_epoch_inputs(a[3].obj, user_ids, a[1].view, a[2].view, no_examples)) return nullptr;
    TwoTowerModelObject* model = reinterpret_cast<TwoTowerModelObject*>(a[3].obj);
    const int32_t hidden_dim = model->hidden_dim;
    const int32_t output_dim = model->output_dim;

    PyRef seed_values(draw_seeds(a[7].obj, num_threads));
    if (!seed_values) return nullptr;
    OwnedView seeds;
    ArrayView& random_states = seeds.view;
    if (!bind_array(seed_values.get(), 1, ElemType::UInt32, &random_states)) return nullptr;
    if (random_states.shape[0] < num_threads) {
        PyErr_Format(PyExc_ValueError, "random_state drew %zd seeds, fewer than num_threads = %d",
                     random_states.shape[0], num_threads);
        return nullptr;
    }
    // Per-thread count in 32-bit arithmetic, the pool size in 64-bit.
    const int32_t block = 4 * hidden_dim + 6 * output_dim;
    const int64_t floats = static_cast<int64_t>(num_threads) * block;
    float* scratch_pool = static_cast<float*>(std::malloc(static_cast<size_t>(floats > 0 ? floats : 1) * sizeof(float)));
    if (scratch_pool == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate thread scratch buffer for fit_two_tower");
        return nullptr;
    }
    c_fit_two_tower(user_ids, a[1].view, a[2].view, model, a[4].d, a[5].d, num_threads, random_states,
                    scratch_pool, verbose ? 1 : 0);
    std::free(scratch_pool);
    Py_RETURN_NONE;
}

const EntrySpec fit_two_tower_spec = {"fit_two_tower", fit_two_tower_doc, fit_two_tower_params, 9, 8,
                                      fit_two_tower};

const CapiEntry capi[] = {
    {"c_dot", "flt (flt *, flt *, int)", function_address(&c_dot)},
    {"c_sigmoid", "flt (flt)", function_address(&c_sigmoid)},
    {"c_rand_r", "unsigned int (unsigned int *)", function_address(&c_rand_r)},
    {"tower_backward_update",
     "void (ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, "
     "ArrayView, int, flt *, flt *, int, int, int, double, double, flt *)",
     function_address(&tower_backward_update)},
    {"tower_forward_single", "void (ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, int, int, int, int, flt *, flt *)",
     function_address(&tower_forward_single)},
    {"c_fit_two_tower",
     "void (ArrayView, ArrayView, ArrayView, struct TwoTowerModelObject *, double, double, int, ArrayView, flt *, int)",
     function_address(&c_fit_two_tower)},
};

int body(PyObject* module) {
    g_module_dict = PyModule_GetDict(module);
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    if (add_entry_function(module, &fit_two_tower_spec) < 0) return -1;
    return set_capi_table(module, capi, sizeof(capi) / sizeof(capi[0]));
}

ModuleInfo info = {"_kern_train", "halvendrix.models.plinthwise.Dumbrellis._kern_train", "_kern_train.cpp", false,
                   two_tower_imports, kTwoTowerImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_train, info)
