// Two-tower training: one parallel lock-free BPR epoch (fit_two_tower).
#include "two_tower_imports.h"

#include "entry_function.h"
#include "pyref.h"

namespace {

const char fit_two_tower_doc[] =
    "fit_two_tower(int[::1] user_ids, int[::1] positive_item_ids, int[::1] shuffle_indices, "
    "TwoTowerModel model, double learning_rate, double momentum_coef, int num_threads, random_state, "
    "bool verbose=False)\n"
    "\n"
    "One epoch of pairwise two-tower training (BPR loss).\n"
    "Allocates thread-safe contiguous scratch space prior to parallel execution.";

const Param fit_two_tower_params[] = {
    {"user_ids", Kind::IntArray1},          {"positive_item_ids", Kind::IntArray1},
    {"shuffle_indices", Kind::IntArray1},   {"model", Kind::Class, &TwoTowerModel_type},
    {"learning_rate", Kind::CDouble},       {"momentum_coef", Kind::CDouble},
    {"num_threads", Kind::CInt},            {"random_state", Kind::Object},
    {"verbose", Kind::Truth},
};

PyObject* fit_two_tower(BoundArgs&) {
    PyErr_SetString(PyExc_NotImplementedError, "fit_two_tower");
    return nullptr;
}

const EntrySpec fit_two_tower_spec = {"fit_two_tower", fit_two_tower_doc, fit_two_tower_params, 9, 8,
                                      fit_two_tower};

int body(PyObject* module) {
    PyRef np(PyImport_ImportModule("numpy"));
    if (!np || PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return add_entry_function(module, &fit_two_tower_spec);
}

ModuleInfo info = {"_kern_train", "halvendrix.models.plinthwise.Dumbrellis._kern_train", "_kern_train.cpp", false,
                   two_tower_imports, kTwoTowerImports, body};

}  // namespace

HALVENDRIX_MODULE(_kern_train, info)
