// The filter's own knob: an enumeration of the filter list that stores the chosen type
// straight into the filter.
#include "Kx/Image/Filter.h"
#include "Kx/Image/Knobs.h"

#include <array>

namespace Kx::Image {

Knob* Filter::knobs(Knob_Closure& f, const char* name, const char* label) {
    static const auto items = [] {
        std::array<const char*, NumFilters + 1> a{};
        for (int t = 0; t < NumFilters; ++t) a[size_t(t)] = Filter::name(t);
        return a;
    }();
    return enumKnob(f, &_type, name, items.data(), label, _type,
                    "The filter used to resample the image");
}

} // namespace Kx::Image
