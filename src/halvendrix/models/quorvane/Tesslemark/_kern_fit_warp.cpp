// One WARP training epoch of the factorization model (fit_warp).
#include "quorvane_imports.h"

#include "diagnostics.h"
#include "entry_function.h"
#include "model_access.h"
#include "pyref.h"
#include "seed_draw.h"
#include "training.h"

namespace {

const char fit_warp_doc[] =
    "fit_warp(CSRMatrix item_features, CSRMatrix user_features, CSRMatrix interactions, "
    "int[::1] user_ids, int[::1] item_ids, flt[::1] Y, flt[::1] sample_weight, int[::1] shuffle_indices, "
    "FastQuorvane model, double learning_rate, double item_alpha, double user_alpha, int num_threads, "
    "random_state, bool verbose=False)\n"
    "\n"
    "Run one training epoch with the WARP ranking loss, updating model in place.\n"
    "\n"
    "For every interaction with Y > 0, in shuffle order, items are drawn at random until one\n"
    "that the user has not interacted with scores within a margin of 1 of the positive item;\n"
    "the user's, the positive item's and the negative item's features are then stepped\n"
    "(adagrad or adadelta, with lazy L2 regularisation). The model's learning_rate field is\n"
    "used; the learning_rate argument is accepted for compatibility and has no effect.\n"
    "Rows of interactions must list their item indices sorted ascending. The epoch runs on\n"
    "the calling thread; num_threads only sizes the seed draw from random_state.\n";

const Param fit_warp_params[] = {
    {"item_features", Kind::Class, &CSRMatrix_type}, {"user_features", Kind::Class, &CSRMatrix_type},
    {"interactions", Kind::Class, &CSRMatrix_type},  {"user_ids", Kind::IntArray1},
    {"item_ids", Kind::IntArray1},                   {"Y", Kind::FltArray1},
    {"sample_weight", Kind::FltArray1},              {"shuffle_indices", Kind::IntArray1},
    {"model", Kind::Class, &FastQuorvane_type},      {"learning_rate", Kind::CDouble},
    {"item_alpha", Kind::CDouble},                   {"user_alpha", Kind::CDouble},
    {"num_threads", Kind::CInt},                     {"random_state", Kind::Object},
    {"verbose", Kind::Truth},
};

PyObject* g_module_dict = nullptr;   // borrowed; the module lives for the whole process

// Positions visited by the epoch must index all four example arrays, and the user
// and item of every visited example must be rows of the matrices they index.
bool check_examples(const ArrayView& user_ids, const ArrayView& item_ids, const ArrayView& Y,
                    const ArrayView& sample_weight, const ArrayView& shuffle_indices, int32_t no_examples,
                    const CsrView& item_features, const CsrView& user_features, const CsrView& interactions) {
    if (shuffle_indices.shape[0] < no_examples) {
        PyErr_Format(PyExc_ValueError, "Argument 'shuffle_indices': %zd entries, fewer than the %d examples (len(Y))",
                     shuffle_indices.shape[0], no_examples);
        return false;
    }
    std::ptrdiff_t positions = Y.shape[0];
    for (const ArrayView* v : {&user_ids, &item_ids, &sample_weight}) {
        if (v->shape[0] < positions) positions = v->shape[0];
    }
    if (!check_ids_below(view_data<int32_t>(shuffle_indices), no_examples, positions, "shuffle_indices",
                         "the shortest of user_ids, item_ids, Y and sample_weight")) {
        return false;
    }
    const int32_t* order = view_data<int32_t>(shuffle_indices);
    const int32_t* users = view_data<int32_t>(user_ids);
    const int32_t* items = view_data<int32_t>(item_ids);
    const int32_t user_rows = user_features.rows < interactions.rows ? user_features.rows : interactions.rows;
    for (int32_t i = 0; i < no_examples; ++i) {
        const int32_t row = order[i];
        if (!check_ids_below(users + row, 1, user_rows, "user_ids", "the rows of user_features and interactions") ||
            !check_ids_below(items + row, 1, item_features.rows, "item_ids", "the rows of item_features")) {
            return false;
        }
    }
    return true;
}

PyObject* fit_warp(BoundArgs& a) {
    CsrView item_features, user_features, interactions;
    FactorizationModel model;
    if (!csr_from_arg(a[0].obj, "item_features", &item_features) ||
        !csr_from_arg(a[1].obj, "user_features", &user_features) ||
        !csr_from_arg(a[2].obj, "interactions", &interactions) || !model_from_arg(a[8].obj, "model", &model) ||
        !check_feature_matrices(item_features, user_features, model)) {
        return nullptr;
    }
    const int32_t no_examples = static_cast<int32_t>(a[5].view.shape[0]);
    if (!check_examples(a[3].view, a[4].view, a[5].view, a[6].view, a[7].view, no_examples, item_features,
                        user_features, interactions)) {
        return nullptr;
    }
    const double item_alpha = a[10].d;
    const double user_alpha = a[11].d;
    const int32_t num_threads = a[12].i;
    const bool verbose = a[14].i != 0;

    if (verbose) diag_line("DEBUG", "fit_warp", "no_examples=%d num_threads=%d", no_examples, num_threads);
    OwnedView seeds;   // held until the call returns, never read
    const int started = start_epoch("fit_warp", g_module_dict, a[13].obj, num_threads, no_examples, &seeds);
    if (started < 0) return nullptr;
    if (started == 0) Py_RETURN_NONE;
    fit_warp_epoch(item_features, user_features, interactions, view_data<int32_t>(a[3].view),
                   view_data<int32_t>(a[4].view), view_data<float>(a[5].view), view_data<float>(a[6].view),
                   view_data<int32_t>(a[7].view), no_examples, model, item_alpha, user_alpha, verbose);
    store_scales(a[8].obj, model);
    Py_RETURN_NONE;
}

const EntrySpec fit_warp_spec = {"fit_warp", fit_warp_doc, fit_warp_params, 15, 14, fit_warp};

int body(PyObject* module) {
    g_module_dict = PyModule_GetDict(module);
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return add_entry_function(module, &fit_warp_spec);
}

ModuleInfo info = {"_kern_fit_warp", "halvendrix.models.quorvane.Tesslemark._kern_fit_warp", "_kern_fit_warp.cpp",
                   true, quorvane_imports, kQuorvaneImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_fit_warp, info)
