// Pair scoring (predict_quorvane) and rank prediction (predict_ranks).
#include "quorvane_imports.h"

#include "diagnostics.h"
#include "entry_function.h"
#include "model_access.h"
#include "prediction.h"

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

bool check_threads(int32_t num_threads) {
    if (num_threads >= 0) return true;
    PyErr_Format(PyExc_ValueError, "Argument 'num_threads' must not be negative (got %d)", num_threads);
    return false;
}

bool check_length_at_least(const ArrayView& v, int64_t needed, const char* arg, const char* why) {
    if (v.shape[0] >= needed) return true;
    PyErr_Format(PyExc_ValueError, "Argument '%s' has %zd entries, fewer than %s (%lld)", arg, v.shape[0], why,
                 static_cast<long long>(needed));
    return false;
}

bool check_rows_at_least(const CsrView& m, int64_t needed, const char* arg, const char* why) {
    if (m.rows >= needed) return true;
    PyErr_Format(PyExc_ValueError, "Argument '%s' has %d rows, fewer than %s (%lld)", arg, m.rows, why,
                 static_cast<long long>(needed));
    return false;
}

PyObject* predict_quorvane(BoundArgs& a) {
    static const char kFunction[] = "predict_quorvane";
    CsrView item_features, user_features;
    FactorizationModel model;
    if (!csr_from_arg(a[0].obj, "item_features", &item_features) ||
        !csr_from_arg(a[1].obj, "user_features", &user_features) || !model_from_arg(a[5].obj, "model", &model) ||
        !check_feature_matrices(item_features, user_features, model) || !check_threads(a[6].i)) {
        return nullptr;
    }
    const ArrayView& user_ids = a[2].view;
    const ArrayView& item_ids = a[3].view;
    const ArrayView& predictions = a[4].view;
    const int32_t num_threads = a[6].i;
    const bool cross_join = a[7].i != 0;
    const bool verbose = a[8].i != 0;
    const int32_t n_predictions = static_cast<int32_t>(predictions.shape[0]);

    if (verbose) {
        diag_line("DEBUG", kFunction, "n_examples=%d num_threads=%d cross_join=%d", n_predictions, num_threads,
                  cross_join ? 1 : 0);
    }
    float* out = view_data<float>(predictions);
    if (!cross_join) {
        if (n_predictions == 0) {
            diag_line("WARN", kFunction, "no_examples=0, nothing to score");
            Py_RETURN_NONE;
        }
        const int32_t n_users = static_cast<int32_t>(user_ids.shape[0]);
        const int32_t n_items = static_cast<int32_t>(item_ids.shape[0]);
        if (n_users != n_items) {
            diag_line("ERROR", kFunction,
                      "pairwise mode requires user_ids and item_ids of equal length (got %d vs %d); pass "
                      "cross_join=True for differing lengths",
                      n_users, n_items);
            Py_RETURN_NONE;
        }
        // Each pair reads user_ids[i] and item_ids[i] for i < len(predictions).
        if (!check_length_at_least(user_ids, n_predictions, "user_ids", "len(predictions)") ||
            !check_ids_below(view_data<int32_t>(user_ids), n_predictions, user_features.rows, "user_ids",
                             "the rows of user_features") ||
            !check_ids_below(view_data<int32_t>(item_ids), n_predictions, item_features.rows, "item_ids",
                             "the rows of item_features")) {
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS
        predict_pairs(item_features, user_features, view_data<int32_t>(user_ids), view_data<int32_t>(item_ids), out,
                      n_predictions, model, num_threads);
        Py_END_ALLOW_THREADS
    } else {
        const int32_t n_u = static_cast<int32_t>(user_ids.shape[0]);
        const int32_t n_i = static_cast<int32_t>(item_ids.shape[0]);
        const int64_t pairs = static_cast<int64_t>(n_u) * n_i;
        if (pairs > INT32_MAX) {
            PyErr_Format(PyExc_ValueError, "cross join of %d users and %d items has more pairs than a 32-bit count holds",
                         n_u, n_i);
            return nullptr;
        }
        if (pairs == 0) {
            diag_line("WARN", kFunction, "cross_join with 0 pairs (n_u=%d, n_i=%d), nothing to score", n_u, n_i);
            Py_RETURN_NONE;
        }
        if (n_predictions != pairs) {
            diag_line("ERROR", kFunction, "cross_join predictions buffer has length %d but n_u * n_i = %d * %d = %d",
                      n_predictions, n_u, n_i, static_cast<int32_t>(pairs));
            Py_RETURN_NONE;
        }
        // The k-th listed user (item) is row k of the user (item) feature matrix.
        if (!check_rows_at_least(user_features, n_u, "user_features", "len(user_ids)") ||
            !check_rows_at_least(item_features, n_i, "item_features", "len(item_ids)")) {
            return nullptr;
        }
        Py_BEGIN_ALLOW_THREADS
        predict_cross_join(item_features, user_features, n_u, n_i, out, model, num_threads);
        Py_END_ALLOW_THREADS
    }
    if (verbose) diag_line("DEBUG", kFunction, "scoring complete");
    Py_RETURN_NONE;
}

PyObject* predict_ranks(BoundArgs& a) {
    static const char kFunction[] = "predict_ranks";
    CsrView item_features, user_features, test, train;
    FactorizationModel model;
    if (!csr_from_arg(a[0].obj, "item_features", &item_features) ||
        !csr_from_arg(a[1].obj, "user_features", &user_features) ||
        !csr_from_arg(a[2].obj, "test_interactions", &test) ||
        !csr_from_arg(a[3].obj, "train_interactions", &train) || !model_from_arg(a[5].obj, "model", &model) ||
        !check_feature_matrices(item_features, user_features, model) || !check_threads(a[6].i)) {
        return nullptr;
    }
    const ArrayView& ranks = a[4].view;
    const int32_t num_threads = a[6].i;
    const bool verbose = a[7].i != 0;

    if (verbose) diag_line("DEBUG", kFunction, "n_users = %d num_threads = %d", test.rows, num_threads);
    int32_t max_row_width = 0;
    for (int32_t u = 0; u < test.rows; ++u) {
        const int32_t width = test.row_end(u) - test.row_start(u);
        if (width > max_row_width) max_row_width = width;
    }
    if (verbose) diag_line("DEBUG", kFunction, "max_row_width=%d", max_row_width);
    if (max_row_width == 0) {
        diag_line("WARN", kFunction, "no test interactions found");
        Py_RETURN_NONE;
    }
    // Every user of test_interactions is a row of the per-user inputs, every catalogue
    // item and every test item a row of item_features, and ranks covers the stored
    // positions of test_interactions.
    if (!check_length_at_least(ranks, test.indptr[test.rows], "ranks", "the stored entries of test_interactions") ||
        !check_rows_at_least(user_features, test.rows, "user_features", "the rows of test_interactions") ||
        !check_rows_at_least(train, test.rows, "train_interactions", "the rows of test_interactions") ||
        !check_rows_at_least(item_features, test.cols, "item_features", "the columns of test_interactions") ||
        !check_columns_below(test, item_features.rows, "test_interactions", "the rows of item_features")) {
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    predict_ranks_kernel(item_features, user_features, test, train, view_data<float>(ranks), model, max_row_width,
                         num_threads);
    Py_END_ALLOW_THREADS
    if (verbose) diag_line("DEBUG", kFunction, "ranking complete");
    Py_RETURN_NONE;
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
