// The first correction of every frame: dark-frame subtraction and hot-pixel repair. A sample is
// hot when its dark value is HotThreshold or more; a hot sample takes the average of the cool
// samples of the same channel in the 5 x 5 block around it.
#pragma once

#include <string>

#include "base/failure.h"
#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

constexpr const char* kDarkSizeMismatch = "Darkframe must be same size as image!";

// Subtracts the dark frame and repairs hot pixels, as SubDark and Hot say. On a size mismatch
// sets the failure to "Darkframe must be same size as image!", releases the dark frame
// (width/height -1, pixels freed) and leaves the frame alone; a dark frame with negative width
// or height is skipped silently. `failure` is empty unless it must be shown. Allocates nothing.
void ApplyDarkFrame(Image& frame, Image& dark, const Settings& settings, Failure& failure);

}  // namespace kestrel
