// TwoTowerModel as seen by the training and forward modules: the class object and
// the import table with the record size this module was built with.
#pragma once

#include "_kern_types.h"
#include "startup.h"

static PyTypeObject* TwoTowerModel_type = nullptr;

static const ImportedClass two_tower_imports[] = {
    {TWO_TOWER_TYPES_MODULE_NAME, "TwoTowerModel", sizeof(TwoTowerModelObject), &TwoTowerModel_type, nullptr},
};
constexpr int kTwoTowerImports = 1;
