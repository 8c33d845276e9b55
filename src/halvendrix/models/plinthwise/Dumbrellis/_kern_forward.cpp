// Batch forward pass of one tower (tower_forward).
#include "two_tower_imports.h"

#include "capi_table.h"
#include "diagnostics.h"
#include "entry_function.h"
#include "tower_forward.h"
#include "two_tower_checks.h"

namespace {

const char tower_forward_doc[] =
    "tower_forward(int[::1] ids, flt[:, ::1] embeddings, flt[:, ::1] w1, flt[::1] b1, flt[:, ::1] w2, "
    "flt[::1] b2, flt[:, ::1] hidden_out, flt[:, ::1] tower_out, int num_threads, bool verbose=False)\n"
    "\n"
    "Python-facing wrapper function.\n"
    "Menerima panggilan dari runtime Python lalu meneruskan eksekusi ke kernel c_tower_forward.";

const Param tower_forward_params[] = {
    {"ids", Kind::IntArray1},        {"embeddings", Kind::FltArray2}, {"w1", Kind::FltArray2},
    {"b1", Kind::FltArray1},         {"w2", Kind::FltArray2},         {"b2", Kind::FltArray1},
    {"hidden_out", Kind::FltArray2}, {"tower_out", Kind::FltArray2},  {"num_threads", Kind::CInt},
    {"verbose", Kind::Truth},
};

int64_t row_stride(const ArrayView& v) { return static_cast<int64_t>(v.strides[0] / sizeof(float)); }

}  // namespace

// The batch driver, also published in __capi__. Called with the GIL held; runs the
// parallel loop without it. Sizes come from the arrays: batch = len(ids),
// embedding_dim = embeddings.shape[1], hidden_dim = w1.shape[1], output_dim = w2.shape[1].
void c_tower_forward(ArrayView ids, ArrayView embeddings, ArrayView w1, ArrayView b1, ArrayView w2, ArrayView b2,
                     ArrayView hidden_out, ArrayView tower_out, int num_threads, int verbose) {
    const int32_t batch = static_cast<int32_t>(ids.shape[0]);
    const int32_t embedding_dim = static_cast<int32_t>(embeddings.shape[1]);
    const int32_t hidden_dim = static_cast<int32_t>(w1.shape[1]);
    const int32_t output_dim = static_cast<int32_t>(w2.shape[1]);
    if (verbose) {
        diag_line("DEBUG", "tower_forward", "batch=%d embedding_dim=%d hidden_dim=%d output_dim=%d num_threads=%d",
                  batch, embedding_dim, hidden_dim, output_dim, num_threads);
    }
    if (batch == 0) {
        if (verbose) diag_line("WARN", "tower_forward", "empty batch, nothing to do");
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    tower_forward_batch(view_data<int32_t>(ids), batch, view_data<float>(embeddings), row_stride(embeddings),
                        view_data<float>(w1), row_stride(w1), view_data<float>(b1), view_data<float>(w2),
                        row_stride(w2), view_data<float>(b2), view_data<float>(hidden_out), row_stride(hidden_out),
                        view_data<float>(tower_out), row_stride(tower_out), embedding_dim, hidden_dim, output_dim,
                        num_threads);
    Py_END_ALLOW_THREADS
    if (verbose) diag_line("DEBUG", "tower_forward", "batch complete");
}

namespace {

// With a non-empty batch every array must be bound and agree with the widths the
// loop reads: w1 has embedding_dim rows, b1 hidden_dim entries, w2 hidden_dim rows,
// b2 output_dim entries, the outputs at least batch rows of the stated widths, and
// every id is a row of embeddings.
bool check_batch(BoundArgs& a) {
    static const char* const names[8] = {"ids", "embeddings", "w1", "b1", "w2", "b2", "hidden_out", "tower_out"};
    for (int i = 1; i < 8; ++i) {
        if (!require_array(a[i].view, names[i])) return false;
    }
    const ArrayView &ids = a[0].view, &embeddings = a[1].view, &w1 = a[2].view, &b1 = a[3].view, &w2 = a[4].view,
                    &b2 = a[5].view, &hidden_out = a[6].view, &tower_out = a[7].view;
    const std::ptrdiff_t batch = ids.shape[0];
    const std::ptrdiff_t embedding_dim = embeddings.shape[1], hidden_dim = w1.shape[1], output_dim = w2.shape[1];
    if (!require_extent(w1, 0, embedding_dim, "w1", "rows (embeddings.shape[1])") ||
        !require_extent(b1, 0, hidden_dim, "b1", "entries (w1.shape[1])") ||
        !require_extent(w2, 0, hidden_dim, "w2", "rows (w1.shape[1])") ||
        !require_extent(b2, 0, output_dim, "b2", "entries (w2.shape[1])") ||
        !require_extent(hidden_out, 1, hidden_dim, "hidden_out", "columns (w1.shape[1])") ||
        !require_extent(tower_out, 1, output_dim, "tower_out", "columns (w2.shape[1])")) {
        return false;
    }
    for (const ArrayView* out : {&hidden_out, &tower_out}) {
        if (out->shape[0] < batch) {
            PyErr_Format(PyExc_ValueError, "Argument '%s' has %zd rows, fewer than the batch (%zd)",
                         out == &hidden_out ? "hidden_out" : "tower_out", out->shape[0], batch);
            return false;
        }
    }
    return check_ids_below(view_data<int32_t>(ids), batch, embeddings.shape[0], "ids", "the rows of embeddings");
}

PyObject* tower_forward(BoundArgs& a) {
    if (a[0].view.shape[0] > 0 && !check_batch(a)) return nullptr;
    if (a[8].i < 0) {
        PyErr_Format(PyExc_ValueError, "Argument 'num_threads' must not be negative (got %d)", a[8].i);
        return nullptr;
    }
    c_tower_forward(a[0].view, a[1].view, a[2].view, a[3].view, a[4].view, a[5].view, a[6].view, a[7].view, a[8].i,
                    a[9].i);
    Py_RETURN_NONE;
}

const EntrySpec tower_forward_spec = {"tower_forward", tower_forward_doc, tower_forward_params, 10, 9,
                                      tower_forward};

const CapiEntry capi[] = {
    {"c_tower_forward",
     "void (ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, ArrayView, int, int)",
     function_address(&c_tower_forward)},
};

int body(PyObject* module) {
    if (add_entry_function(module, &tower_forward_spec) < 0) return -1;
    return set_capi_table(module, capi, 1);
}

ModuleInfo info = {"_kern_forward", "halvendrix.models.plinthwise.Dumbrellis._kern_forward", "_kern_forward.cpp",
                   false, two_tower_imports, kTwoTowerImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_forward, info)
