// The first correction of every frame: dark-frame subtraction and hot-pixel repair. A sample is
// hot when its dark value is HotThreshold or more; a hot sample takes the average of the cool
// samples of the same channel in the 5 x 5 block around it.
#pragma once

#include <string>

#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

constexpr const char* kDarkSizeMismatch = "Darkframe must be same size as image!";

// Subtracts the dark frame and repairs hot pixels, as SubDark and Hot say. On a size mismatch
// sets message to "Darkframe must be same size as image!", releases the dark frame
// (width/height -1, pixels freed) and leaves the frame alone; a dark frame with negative width
// or height is skipped silently. `message` is empty unless it must be shown. Allocates nothing.
void ApplyDarkFrame(Image& frame, Image& dark, const Settings& settings, std::string& message);

}  // namespace kestrel
