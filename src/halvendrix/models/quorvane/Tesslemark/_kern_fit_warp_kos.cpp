// One WARP k-OS training epoch of the factorization model (fit_warp_kos).
#include "quorvane_imports.h"

#include "diagnostics.h"
#include "entry_function.h"
#include "model_access.h"
#include "pyref.h"
#include "seed_draw.h"
#include "training.h"

namespace {

const char fit_warp_kos_doc[] =
    "fit_warp_kos(CSRMatrix item_features, CSRMatrix user_features, CSRMatrix data, int[::1] user_ids, "
    "int[::1] shuffle_indices, FastQuorvane model, double learning_rate, double item_alpha, double user_alpha, "
    "int k, int n, int num_threads, random_state, bool verbose=False)\n"
    "\n"
    "Run one training epoch with the k-order-statistic WARP loss, updating model in place.\n"
    "\n"
    "For every user in shuffle order, up to n of the user's positives (the row of data) are\n"
    "drawn at random, scored and sorted from best to worst; the k-th best is trained against\n"
    "a violating negative as in fit_warp, with weight 1. k and n must be at least 1. Rows of\n"
    "data must list their item indices sorted ascending. The model's learning_rate field is\n"
    "used; the learning_rate argument has no effect.\n";

const Param fit_warp_kos_params[] = {
    {"item_features", Kind::Class, &CSRMatrix_type}, {"user_features", Kind::Class, &CSRMatrix_type},
    {"data", Kind::Class, &CSRMatrix_type},          {"user_ids", Kind::IntArray1},
    {"shuffle_indices", Kind::IntArray1},            {"model", Kind::Class, &FastQuorvane_type},
    {"learning_rate", Kind::CDouble},                {"item_alpha", Kind::CDouble},
    {"user_alpha", Kind::CDouble},                   {"k", Kind::CInt},
    {"n", Kind::CInt},                               {"num_threads", Kind::CInt},
    {"random_state", Kind::Object},                  {"verbose", Kind::Truth},
};

PyObject* g_module_dict = nullptr;   // borrowed; the module lives for the whole process

// Visited positions index user_ids; every visited user is a row of user_features and
// data; every positive listed in data is a row of item_features.
bool check_examples(const ArrayView& user_ids, const ArrayView& shuffle_indices, int32_t no_examples,
                    const CsrView& item_features, const CsrView& user_features, const CsrView& data) {
    if (shuffle_indices.shape[0] < no_examples) {
        PyErr_Format(PyExc_ValueError, "Argument 'shuffle_indices': %zd entries, fewer than the %d examples "
                     "(len(user_ids))", shuffle_indices.shape[0], no_examples);
        return false;
    }
    const int32_t* order = view_data<int32_t>(shuffle_indices);
    const int32_t* users = view_data<int32_t>(user_ids);
    if (!check_ids_below(order, no_examples, no_examples, "shuffle_indices", "user_ids")) return false;
    const int32_t user_rows = user_features.rows < data.rows ? user_features.rows : data.rows;
    for (int32_t i = 0; i < no_examples; ++i) {
        if (!check_ids_below(users + order[i], 1, user_rows, "user_ids", "the rows of user_features and data")) {
            return false;
        }
    }
    return check_columns_below(data, item_features.rows, "data", "the rows of item_features");
}

PyObject* fit_warp_kos(BoundArgs& a) {
    CsrView item_features, user_features, data;
    FactorizationModel model;
    if (!csr_from_arg(a[0].obj, "item_features", &item_features) ||
        !csr_from_arg(a[1].obj, "user_features", &user_features) || !csr_from_arg(a[2].obj, "data", &data) ||
        !model_from_arg(a[5].obj, "model", &model) || !check_feature_matrices(item_features, user_features, model)) {
        return nullptr;
    }
    const int32_t k = a[9].i;
    const int32_t n = a[10].i;
    if (k < 1 || n < 1) {
        PyErr_Format(PyExc_ValueError, "fit_warp_kos: k and n must both be at least 1 (got k=%d, n=%d)", k, n);
        return nullptr;
    }
    const int32_t no_examples = static_cast<int32_t>(a[3].view.shape[0]);
    if (!check_examples(a[3].view, a[4].view, no_examples, item_features, user_features, data)) return nullptr;
    const double item_alpha = a[7].d;
    const double user_alpha = a[8].d;
    const int32_t num_threads = a[11].i;
    const bool verbose = a[13].i != 0;

    if (verbose) {
        diag_line("DEBUG", "fit_warp_kos", "no_examples=%d k=%d n=%d num_threads=%d", no_examples, k, n,
                  num_threads);
    }
    OwnedView seeds;   // held until the call returns, never read
    const int started = start_epoch("fit_warp_kos", g_module_dict, a[12].obj, num_threads, no_examples, &seeds);
    if (started < 0) return nullptr;
    if (started == 0) Py_RETURN_NONE;
    fit_warp_kos_epoch(item_features, user_features, data, view_data<int32_t>(a[3].view),
                       view_data<int32_t>(a[4].view), no_examples, model, item_alpha, user_alpha, k, n, verbose);
    store_scales(a[5].obj, model);
    Py_RETURN_NONE;
}

const EntrySpec fit_warp_kos_spec = {"fit_warp_kos", fit_warp_kos_doc, fit_warp_kos_params, 14, 13, fit_warp_kos};

int body(PyObject* module) {
    g_module_dict = PyModule_GetDict(module);
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return add_entry_function(module, &fit_warp_kos_spec);
}

ModuleInfo info = {"_kern_fit_warp_kos", "halvendrix.models.quorvane.Tesslemark._kern_fit_warp_kos",
                   "_kern_fit_warp_kos.cpp", true, quorvane_imports, kQuorvaneImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_fit_warp_kos, info)
