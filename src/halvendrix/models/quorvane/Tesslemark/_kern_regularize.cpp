// Starts up and imports the shared factorization types; exposes nothing.
#include "quorvane_imports.h"

namespace {
ModuleInfo info = {"_kern_regularize", "halvendrix.models.quorvane.Tesslemark._kern_regularize", "_kern_regularize.cpp", false,
                   quorvane_imports, kQuorvaneImports, nullptr};
}  // namespace

HALVENDRIX_MODULE(_kern_regularize, info)
