// Contract checks and plain views of the factorization objects, taken with the GIL
// held before a kernel runs. Every refusal is a Python exception naming the argument,
// raised before any work starts; the kernels then read only what was checked.
#pragma once

#include <Python.h>

#include <cstdint>

#include "_kern_types.h"
#include "binding.h"
#include "contract.h"
#include "plain_model.h"

namespace model_access {

inline bool refuse_none(PyObject* obj, const char* arg, const char* class_name) {
    if (obj != Py_None) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%s' must be a %s, not None", arg, class_name);
    return false;
}

inline bool require_bound(const ArrayView& v, const char* arg, const char* class_name, const char* field) {
    if (is_bound(v)) return true;
    PyErr_Format(PyExc_ValueError, "Argument '%s': %s.%s holds no array (%s)", arg, class_name, field,
                 v.owner == nullptr ? "the constructor has not run" : "it is None");
    return false;
}

}  // namespace model_access

// A CSRMatrix argument as a plain view, after checking that its three arrays are
// bound, rows and cols are not negative, indptr has rows + 1 non-decreasing entries
// starting at or after 0, and every stored position lies inside indices and data.
inline bool csr_from_arg(PyObject* obj, const char* arg, CsrView* out) {
    using namespace model_access;
    if (!refuse_none(obj, arg, "CSRMatrix")) return false;
    const CSRMatrixObject* m = reinterpret_cast<const CSRMatrixObject*>(obj);
    if (!require_bound(m->indices, arg, "CSRMatrix", "indices") ||
        !require_bound(m->indptr, arg, "CSRMatrix", "indptr") || !require_bound(m->data, arg, "CSRMatrix", "data")) {
        return false;
    }
    if (m->rows < 0 || m->cols < 0) {
        PyErr_Format(PyExc_ValueError, "Argument '%s': negative shape (%d, %d)", arg, m->rows, m->cols);
        return false;
    }
    if (m->indptr.shape[0] != static_cast<std::ptrdiff_t>(m->rows) + 1) {
        PyErr_Format(PyExc_ValueError, "Argument '%s': indptr has %zd entries, expected rows + 1 = %lld", arg,
                     m->indptr.shape[0], static_cast<long long>(m->rows) + 1);
        return false;
    }
    const int32_t* indptr = view_data<int32_t>(m->indptr);
    const std::ptrdiff_t stored = m->indices.shape[0] < m->data.shape[0] ? m->indices.shape[0] : m->data.shape[0];
    if (indptr[0] < 0) {
        PyErr_Format(PyExc_ValueError, "Argument '%s': indptr[0] is negative", arg);
        return false;
    }
    for (int32_t r = 0; r < m->rows; ++r) {
        if (indptr[r + 1] < indptr[r]) {
            PyErr_Format(PyExc_ValueError, "Argument '%s': indptr decreases at row %d", arg, r);
            return false;
        }
    }
    if (indptr[m->rows] > stored) {
        PyErr_Format(PyExc_ValueError,
                     "Argument '%s': indptr points past the stored entries (indptr[rows] = %d, indices has %zd, "
                     "data has %zd)",
                     arg, indptr[m->rows], m->indices.shape[0], m->data.shape[0]);
        return false;
    }
    *out = CsrView{indptr, view_data<int32_t>(m->indices), view_data<float>(m->data), m->rows, m->cols};
    return true;
}

// Every column index stored in the rows of `m` lies in [0, limit).
inline bool check_columns_below(const CsrView& m, int64_t limit, const char* arg, const char* what) {
    const int32_t end = m.rows > 0 ? m.indptr[m.rows] : 0;
    for (int32_t k = m.rows > 0 ? m.indptr[0] : 0; k < end; ++k) {
        if (m.indices[k] < 0 || m.indices[k] >= limit) {
            PyErr_Format(PyExc_ValueError, "Argument '%s': index %d at position %d is out of range for %s (%lld)",
                         arg, m.indices[k], k, what, static_cast<long long>(limit));
            return false;
        }
    }
    return true;
}

namespace model_access {

inline bool side_from(const FastQuorvaneObject* m, bool items, int32_t no_components, const char* arg,
                      SideParams* out) {
    const ArrayView* const matrices[3] = {items ? &m->item_features : &m->user_features,
                                          items ? &m->item_feature_gradients : &m->user_feature_gradients,
                                          items ? &m->item_feature_momentum : &m->user_feature_momentum};
    const ArrayView* const vectors[3] = {items ? &m->item_biases : &m->user_biases,
                                         items ? &m->item_bias_gradients : &m->user_bias_gradients,
                                         items ? &m->item_bias_momentum : &m->user_bias_momentum};
    static const char* const item_names[6] = {"item_features", "item_feature_gradients", "item_feature_momentum",
                                              "item_biases",   "item_bias_gradients",    "item_bias_momentum"};
    static const char* const user_names[6] = {"user_features", "user_feature_gradients", "user_feature_momentum",
                                              "user_biases",   "user_bias_gradients",    "user_bias_momentum"};
    const char* const* names = items ? item_names : user_names;
    for (int i = 0; i < 3; ++i) {
        if (!require_bound(*matrices[i], arg, "FastQuorvane", names[i]) ||
            !require_bound(*vectors[i], arg, "FastQuorvane", names[3 + i])) {
            return false;
        }
    }
    const std::ptrdiff_t rows = matrices[0]->shape[0];
    const std::ptrdiff_t cols = matrices[0]->shape[1];
    if (cols < no_components) {
        PyErr_Format(PyExc_ValueError, "Argument '%s': %s has %zd columns, fewer than no_components = %d", arg,
                     names[0], cols, no_components);
        return false;
    }
    for (int i = 1; i < 3; ++i) {
        if (matrices[i]->shape[0] != rows || matrices[i]->shape[1] != cols) {
            PyErr_Format(PyExc_ValueError, "Argument '%s': %s has shape (%zd, %zd), %s has (%zd, %zd)", arg, names[i],
                         matrices[i]->shape[0], matrices[i]->shape[1], names[0], rows, cols);
            return false;
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (vectors[i]->shape[0] < rows) {
            PyErr_Format(PyExc_ValueError, "Argument '%s': %s has %zd entries, fewer than the %zd rows of %s", arg,
                         names[3 + i], vectors[i]->shape[0], rows, names[0]);
            return false;
        }
    }
    auto matrix = [&](int i) { return FloatMatrix{view_data<float>(*matrices[i]), rows, cols}; };
    auto vector = [&](int i) { return FloatVector{view_data<float>(*vectors[i]), vectors[i]->shape[0]}; };
    *out = SideParams{matrix(0), matrix(1), matrix(2), vector(0), vector(1), vector(2)};
    return true;
}

}  // namespace model_access

// The FastQuorvane argument as a plain model, after checking that all twelve arrays
// are bound, no_components is not negative, each side's three matrices share one
// shape with at least no_components columns, and its vectors cover their rows.
inline bool model_from_arg(PyObject* obj, const char* arg, FactorizationModel* out) {
    using namespace model_access;
    if (!refuse_none(obj, arg, "FastQuorvane")) return false;
    const FastQuorvaneObject* m = reinterpret_cast<const FastQuorvaneObject*>(obj);
    if (m->no_components < 0) {
        PyErr_Format(PyExc_ValueError, "Argument '%s': no_components is negative (%d)", arg, m->no_components);
        return false;
    }
    FactorizationModel model{};
    if (!side_from(m, true, m->no_components, arg, &model.item) ||
        !side_from(m, false, m->no_components, arg, &model.user)) {
        return false;
    }
    model.no_components = m->no_components;
    model.adadelta = m->adadelta;
    model.learning_rate = m->learning_rate;
    model.rho = m->rho;
    model.eps = m->eps;
    model.max_sampled = m->max_sampled;
    model.item_scale = m->item_scale;
    model.user_scale = m->user_scale;
    *out = model;
    return true;
}

// Feature matrices index the model's parameter rows: every stored column of
// item_features (user_features) must be a row of the item (user) parameters.
inline bool check_feature_matrices(const CsrView& item_features, const CsrView& user_features,
                                   const FactorizationModel& model) {
    return check_columns_below(item_features, model.item.features.rows, "item_features",
                               "the rows of model.item_features") &&
           check_columns_below(user_features, model.user.features.rows, "user_features",
                               "the rows of model.user_features");
}

// Writes the kernel's scales back into the FastQuorvane record.
inline void store_scales(PyObject* obj, const FactorizationModel& model) {
    FastQuorvaneObject* m = reinterpret_cast<FastQuorvaneObject*>(obj);
    m->item_scale = model.item_scale;
    m->user_scale = model.user_scale;
}
