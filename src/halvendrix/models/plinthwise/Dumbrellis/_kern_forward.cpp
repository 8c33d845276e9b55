// Batch forward pass of one tower (tower_forward).
#include "two_tower_imports.h"

#include "entry_function.h"

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

PyObject* tower_forward(BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "tower_forward");
    return nullptr;
}

const EntrySpec tower_forward_spec = {"tower_forward", tower_forward_doc, tower_forward_params, 10, 9,
                                      tower_forward};

int body(PyObject* module) { return add_entry_function(module, &tower_forward_spec); }

ModuleInfo info = {"_kern_forward", "halvendrix.models.plinthwise.Dumbrellis._kern_forward", "_kern_forward.cpp",
                   false, two_tower_imports, kTwoTowerImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_forward, info)
