// One WARP training epoch of the factorization model (fit_warp).
#include "quorvane_imports.h"

#include "entry_function.h"
#include "pyref.h"

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

PyObject* fit_warp(BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "fit_warp");
    return nullptr;
}

const EntrySpec fit_warp_spec = {"fit_warp", fit_warp_doc, fit_warp_params, 15, 14, fit_warp};

int body(PyObject* module) {
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return add_entry_function(module, &fit_warp_spec);
}

ModuleInfo info = {"_kern_fit_warp", "halvendrix.models.quorvane.Tesslemark._kern_fit_warp", "_kern_fit_warp.cpp",
                   true, quorvane_imports, kQuorvaneImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_fit_warp, info)
