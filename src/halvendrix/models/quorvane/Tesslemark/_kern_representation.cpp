// Starts up and imports the shared factorization types; exposes nothing.
#include "quorvane_imports.h"

namespace {
ModuleInfo info = {"_kern_representation", "halvendrix.models.quorvane.Tesslemark._kern_representation", "_kern_representation.cpp", false,
                   quorvane_imports, kQuorvaneImports, nullptr};
}  // namespace

HALVENDRIX_MODULE(_kern_representation, info)
