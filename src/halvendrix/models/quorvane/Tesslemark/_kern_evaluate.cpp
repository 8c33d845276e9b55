// Per-user ROC-AUC from predicted ranks (calculate_auc_from_rank).
#include "quorvane_imports.h"

#include "diagnostics.h"
#include "entry_function.h"
#include "evaluation.h"
#include "model_access.h"

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

PyObject* calculate_auc_from_rank(BoundArgs& a) {
    static const char kFunction[] = "calculate_auc_from_rank";
    CsrView ranks;
    if (!csr_from_arg(a[0].obj, "ranks", &ranks)) return nullptr;
    const ArrayView& num_train_positives = a[1].view;
    const ArrayView& rank_data = a[2].view;
    const ArrayView& auc = a[3].view;
    const int32_t num_threads = a[4].i;
    const bool verbose = a[5].i != 0;
    struct Need {
        const ArrayView* view;
        int64_t entries;
        const char* name;
        const char* why;
    };
    const Need needs[] = {
        {&num_train_positives, ranks.rows, "num_train_positives", "the rows of ranks"},
        {&rank_data, ranks.indptr[ranks.rows], "rank_data", "the stored entries of ranks"},
        {&auc, ranks.rows, "auc", "the rows of ranks"},
    };
    for (const Need& need : needs) {
        if (need.view->shape[0] < need.entries) {
            PyErr_Format(PyExc_ValueError, "Argument '%s' has %zd entries, fewer than %s (%lld)", need.name,
                         need.view->shape[0], need.why, static_cast<long long>(need.entries));
            return nullptr;
        }
    }
    if (num_threads < 0) {
        PyErr_Format(PyExc_ValueError, "Argument 'num_threads' must not be negative (got %d)", num_threads);
        return nullptr;
    }
    if (verbose) diag_line("DEBUG", kFunction, "n_users = %d | num_threads = %d", ranks.rows, num_threads);
    Py_BEGIN_ALLOW_THREADS
    auc_kernel(ranks, view_data<int32_t>(num_train_positives), view_data<float>(rank_data), view_data<float>(auc),
               num_threads);
    Py_END_ALLOW_THREADS
    if (verbose) diag_line("DEBUG", kFunction, "done");
    Py_RETURN_NONE;
}

const EntrySpec auc_spec = {"calculate_auc_from_rank", auc_doc, auc_params, 6, 5, calculate_auc_from_rank};

int body(PyObject* module) { return add_entry_function(module, &auc_spec); }

ModuleInfo info = {"_kern_evaluate", "halvendrix.models.quorvane.Tesslemark._kern_evaluate", "_kern_evaluate.cpp",
                   false, quorvane_imports, kQuorvaneImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_evaluate, info)
