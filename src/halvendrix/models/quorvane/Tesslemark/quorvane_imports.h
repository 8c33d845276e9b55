// The factorization classes as seen by the modules that import them: the class
// objects, CSRMatrix's method table, and the import table with the record sizes
// this module was built with. Included once by each importing module's source.
#pragma once

#include "_kern_types.h"
#include "startup.h"

static PyTypeObject* CSRMatrix_type = nullptr;
static PyTypeObject* FastQuorvane_type = nullptr;
static void* CSRMatrix_vtable = nullptr;

static const ImportedClass quorvane_imports[] = {
    {TYPES_MODULE_NAME, "CSRMatrix", sizeof(CSRMatrixObject), &CSRMatrix_type, &CSRMatrix_vtable},
    {TYPES_MODULE_NAME, "FastQuorvane", sizeof(FastQuorvaneObject), &FastQuorvane_type, nullptr},
};
constexpr int kQuorvaneImports = 2;
