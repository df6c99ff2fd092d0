// The dark frame, in the layout of the coming run: a bitmap file, or the average of the frames
// of a dark video (AVI or SER, lens cap on, same exposure) decoded as the input is.
#pragma once

#include "base/failure.h"
#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

// The dark frame: width/height -1 while none is usable; channels 1 or 3.
Image& DarkImage();

// Replaces the DarkImage with the file named by DarkFrame, as grey when Colour is off, else
// blue-green-red; a video's frames are averaged sample by sample, rounding half up. On failure
// `failure` is "Can't open dark frame" with the reason beneath it, and the DarkImage is left
// exactly as it was; on success `failure` is empty.
bool LoadDarkFrame(const Settings& settings, Failure& failure);

}  // namespace kestrel
