// The output video: every frame becomes a 24-bit key frame, bottom row first, of a new AVI file
// whose stream header is the input's with the compressor code cleared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/avi_format.h"
#include "base/failure.h"
#include "base/image.h"
#include "settings/settings.h"

namespace kestrel {

// Lays `frame` out as the output stores it: height rows of Stride24(width) bytes, bottom row
// first, grey written as three equal bytes, fill bytes 0. `data` is resized, not reallocated
// when it is large enough already. False, `data` untouched, for an inconsistent frame or one
// too large for a 32-bit chunk.
bool PackFrameData(const Image& frame, std::vector<uint8_t>& data);

// Appends `frame` (its own width, height and channel count) to the output, creating the output
// at the run's first frame. False when no input is open (no message) or when the output cannot
// be created or written (`failure` set); the caller then ends the run with CloseVideo.
bool WriteFrame(const Image& frame, const Settings& settings, Failure& failure);

// Lowers the size of the output's RIFF segments, from the next run on; 0 restores the usual
// 1 GiB. Tests use it to make many segments of small frames.
void SetOutputSegmentLimitForTesting(uint64_t bytes);

// Ends the run on the video side: releases the input, completes the output and puts it in
// place under its name. False with `failure` set when the output could not be completed.
bool CloseVideo(Failure& failure);

}  // namespace kestrel
