// Instance record of TwoTowerModel, the two-tower model state: twenty float32 arrays
// (user tower, its velocities, item tower, its velocities) and the three widths.
// The training and forward modules are built from this one definition and check the
// class's instance size against it at import.
#pragma once

#include <Python.h>

#include <cstdint>

#include "array_view.h"

#define TWO_TOWER_TYPES_MODULE_NAME "halvendrix.models.plinthwise.Dumbrellis._kern_types"

struct TwoTowerModelObject {
    PyObject_HEAD
    ArrayView user_embeddings;            // users x embedding_dim
    ArrayView user_w1;                    // embedding_dim x hidden_dim
    ArrayView user_b1;                    // hidden_dim
    ArrayView user_w2;                    // hidden_dim x output_dim
    ArrayView user_b2;                    // output_dim
    ArrayView user_embeddings_velocity;
    ArrayView user_w1_velocity;
    ArrayView user_b1_velocity;
    ArrayView user_w2_velocity;
    ArrayView user_b2_velocity;
    ArrayView item_embeddings;            // items x embedding_dim
    ArrayView item_w1;
    ArrayView item_b1;
    ArrayView item_w2;
    ArrayView item_b2;
    ArrayView item_embeddings_velocity;
    ArrayView item_w1_velocity;
    ArrayView item_b1_velocity;
    ArrayView item_w2_velocity;
    ArrayView item_b2_velocity;
    int32_t embedding_dim;
    int32_t hidden_dim;
    int32_t output_dim;
};
