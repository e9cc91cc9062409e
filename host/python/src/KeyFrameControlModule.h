// Adds the key-frame control's methods (addKey, deleteKey, nextKey, previousKey, keyList) to
// the module's Knob class, which must be bound already.
#pragma once

#include <pybind11/pybind11.h>

namespace Kestrel::Python {

void bindKeyFrameControl(pybind11::module_& m);

}
