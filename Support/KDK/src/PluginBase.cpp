// The framework's base for image ops, compiled once here.
#include "PluginBase.h"

#include "InteractKnob.h"
#include "SerializeKnob.h"

#include "Kx/Image/Iop.h"

namespace Marrow::Support::KDK {

template class PluginBase<Kx::Image::Iop>;
template class InteractKnob<Kx::Image::Iop>;
template class SerializeKnob<Kx::Image::Iop>;

} // namespace Marrow::Support::KDK
