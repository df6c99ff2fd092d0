// Gradient flattening: the background of every row (vertical) or column (horizontal) is
// estimated, smoothed along the frame and scaled to the frame's mean background, channel by
// channel. The correction is multiplicative: a whole line is scaled by one factor.
#pragma once

#include <cstdint>

#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

// Read Border, GradSmooth and NoiseLevel; FlattenRows or FlattenColumns once per channel of the
// frame (offset 0, 1, 2 with step 3 in colour; offset 0, step 1 in grey). The channel count is
// the frame's own, not the Colour switch.
void CorrectVerticalGradient(Image& frame, const Settings& settings);
void CorrectHorizontalGradient(Image& frame, const Settings& settings);

// One channel, addressed by its first byte and its step: sample (x, y) is the byte at
// (y * width + x) * step + offset. Reads and writes only the bytes of that channel. Nothing
// happens to a frame that is not consistent, has no pixels, or whose channel does not lie
// within it (offset outside 0..step-1, or width * height * step bytes more than it holds).
void FlattenRows(Image& frame, int32_t offset, int32_t step, const Settings& settings);
void FlattenColumns(Image& frame, int32_t offset, int32_t step, const Settings& settings);

}  // namespace kestrel
