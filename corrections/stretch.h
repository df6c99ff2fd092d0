// Histogram stretch: the black and white points are found at two percentiles of the central
// region's bytes, and the range between them is spread over the whole byte range, one mapping
// for all channels so that a colour frame keeps its balance.
#pragma once

#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

// Reads Border, StretchLow and StretchHigh; the channel count is the frame's own. Inverts the
// result when StretchLow is greater than StretchHigh. A frame that is not consistent is left
// alone.
void StretchHistogram(Image& frame, const Settings& settings);

}  // namespace kestrel
