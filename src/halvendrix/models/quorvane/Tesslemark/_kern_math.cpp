// Starts up and imports the shared factorization types; exposes nothing.
#include "quorvane_imports.h"

namespace {
ModuleInfo info = {"_kern_math", "halvendrix.models.quorvane.Tesslemark._kern_math", "_kern_math.cpp", false,
                   quorvane_imports, kQuorvaneImports, nullptr};
}  // namespace

HALVENDRIX_MODULE(_kern_math, info)
