// One WARP k-OS training epoch of the factorization model (fit_warp_kos).
#include "quorvane_imports.h"

#include "entry_function.h"
#include "pyref.h"

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

PyObject* fit_warp_kos(BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "fit_warp_kos");
    return nullptr;
}

const EntrySpec fit_warp_kos_spec = {"fit_warp_kos", fit_warp_kos_doc, fit_warp_kos_params, 14, 13, fit_warp_kos};

int body(PyObject* module) {
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return add_entry_function(module, &fit_warp_kos_spec);
}

ModuleInfo info = {"_kern_fit_warp_kos", "halvendrix.models.quorvane.Tesslemark._kern_fit_warp_kos",
                   "_kern_fit_warp_kos.cpp", true, quorvane_imports, kQuorvaneImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_fit_warp_kos, info)
