// Pair scoring (predict_quorvane) and rank prediction (predict_ranks).
#include "quorvane_imports.h"

#include "entry_function.h"

namespace {

const char predict_quorvane_doc[] =
    "Calculates how much users are expected to like certain items (prediction scores).\n"
    "\n"
    "Pairwise mode (cross_join=False): predictions[i] receives the score of user row\n"
    "user_ids[i] with item row item_ids[i], for every i < len(predictions); user_ids and\n"
    "item_ids must have the same length.\n"
    "Cross-join mode (cross_join=True): every listed user is paired with every listed\n"
    "item. Only the lengths n_u = len(user_ids) and n_i = len(item_ids) are used: the k-th\n"
    "listed user is row k of user_features and the k-th listed item is row k of\n"
    "item_features. predictions must hold n_u * n_i scores, user-major:\n"
    "predictions[k] is the score of user row k // n_i with item row k % n_i.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "item_features : CSRMatrix\n    Item feature matrix: row r lists the features of item r with their weights.\n"
    "user_features : CSRMatrix\n    User feature matrix.\n"
    "user_ids : int32 array\n    User rows (pairwise) or the listed users (cross join).\n"
    "item_ids : int32 array\n    Item rows (pairwise) or the listed items (cross join).\n"
    "predictions : float32 array\n    Output, written in place.\n"
    "model : FastQuorvane\n    The trained model; only read.\n"
    "num_threads : int\n    OpenMP threads; 0 means omp_get_max_threads().\n"
    "cross_join : bool, default False\n    Score every listed user against every listed item.\n"
    "verbose : bool, default False\n    Print [DEBUG] lines to standard error.\n";

const char predict_ranks_doc[] =
    "Compute the rank of every test-positive item for each user.\n"
    "\n"
    "For every user u with test positives:\n"
    "1. score the user's test positives;\n"
    "2. score all catalogue items except the user's train positives;\n"
    "3. count how many catalogue items outscore each test positive: that count is the\n"
    "   item's rank (lower is better). Ties count against the test item.\n"
    "The counts are added to ranks, which is aligned with the stored entries of\n"
    "test_interactions and is normally passed in filled with zeros.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "item_features : CSRMatrix\n    Item feature matrix; at least test_interactions.cols rows.\n"
    "user_features : CSRMatrix\n    User feature matrix; at least test_interactions.rows rows.\n"
    "test_interactions : CSRMatrix\n    Users x items; the column indices of row u are the user's test positives.\n"
    "train_interactions : CSRMatrix\n    Users x items; row u lists the items to leave out for user u.\n"
    "    The column indices of every row must be sorted ascending (canonical CSR).\n"
    "ranks : float32 array\n    Output, at least test_interactions.nnz entries; incremented in place.\n"
    "model : FastQuorvane\n    The trained model; only read.\n"
    "num_threads : int\n    OpenMP threads; 0 means omp_get_max_threads().\n"
    "verbose : bool, default False\n    Print [DEBUG] lines to standard error.\n";

const Param predict_quorvane_params[] = {
    {"item_features", Kind::Class, &CSRMatrix_type}, {"user_features", Kind::Class, &CSRMatrix_type},
    {"user_ids", Kind::IntArray1},                   {"item_ids", Kind::IntArray1},
    {"predictions", Kind::FltArray1},                {"model", Kind::Class, &FastQuorvane_type},
    {"num_threads", Kind::CInt},                     {"cross_join", Kind::Truth},
    {"verbose", Kind::Truth},
};

const Param predict_ranks_params[] = {
    {"item_features", Kind::Class, &CSRMatrix_type},     {"user_features", Kind::Class, &CSRMatrix_type},
    {"test_interactions", Kind::Class, &CSRMatrix_type}, {"train_interactions", Kind::Class, &CSRMatrix_type},
    {"ranks", Kind::FltArray1},                          {"model", Kind::Class, &FastQuorvane_type},
    {"num_threads", Kind::CInt},                         {"verbose", Kind::Truth},
};

PyObject* predict_quorvane(BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "predict_quorvane");
    return nullptr;
}

PyObject* predict_ranks(BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "predict_ranks");
    return nullptr;
}

const EntrySpec predict_quorvane_spec = {"predict_quorvane", predict_quorvane_doc, predict_quorvane_params, 9, 7,
                                         predict_quorvane};
const EntrySpec predict_ranks_spec = {"predict_ranks", predict_ranks_doc, predict_ranks_params, 8, 7, predict_ranks};

int body(PyObject* module) {
    if (add_entry_function(module, &predict_quorvane_spec) < 0) return -1;
    return add_entry_function(module, &predict_ranks_spec);
}

ModuleInfo info = {"_kern_predict", "halvendrix.models.quorvane.Tesslemark._kern_predict", "_kern_predict.cpp",
                   false, quorvane_imports, kQuorvaneImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_predict, info)
