// Per-user ROC-AUC from predicted ranks (calculate_auc_from_rank).
#include "quorvane_imports.h"

#include "entry_function.h"

namespace {

const char auc_doc[] =
    "Convert per-user item ranks (from predict_ranks) to ROC-AUC scores.\n"
    "\n"
    "The AUC of a user is the estimated probability that a randomly chosen test positive\n"
    "of the user scores above a randomly chosen negative: 1.0 for a perfect model, about\n"
    "0.5 for random scores. Users without test positives, or without negatives left\n"
    "(num_train_positives[u] + positives >= ranks.cols), get 0.5.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "ranks : CSRMatrix\n    Users x items; row u spans user u's test positives; cols is the catalogue size.\n"
    "num_train_positives : int32 array\n    Number of train positives of each user (at least ranks.rows entries).\n"
    "rank_data : float32 array\n    The stored ranks (the ranks output of predict_ranks), at least ranks.nnz\n"
    "    entries. Modified in place: each user's segment is sorted ascending.\n"
    "auc : float32 array\n    Output: auc[u] for every user row u (at least ranks.rows entries).\n"
    "num_threads : int\n    OpenMP threads; 0 means omp_get_max_threads().\n"
    "verbose : bool, default False\n    Print [DEBUG] lines to standard error.\n";

const Param auc_params[] = {
    {"ranks", Kind::Class, &CSRMatrix_type}, {"num_train_positives", Kind::IntArray1},
    {"rank_data", Kind::FltArray1},          {"auc", Kind::FltArray1},
    {"num_threads", Kind::CInt},             {"verbose", Kind::Truth},
};

PyObject* calculate_auc_from_rank(BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "calculate_auc_from_rank");
    return nullptr;
}

const EntrySpec auc_spec = {"calculate_auc_from_rank", auc_doc, auc_params, 6, 5, calculate_auc_from_rank};

int body(PyObject* module) { return add_entry_function(module, &auc_spec); }

ModuleInfo info = {"_kern_evaluate", "halvendrix.models.quorvane.Tesslemark._kern_evaluate", "_kern_evaluate.cpp",
                   false, quorvane_imports, kQuorvaneImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_evaluate, info)
