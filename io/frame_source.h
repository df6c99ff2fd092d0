// The input video, one frame at a time. The first request of a run opens the input file (an AVI
// file's first video stream, or a SER file); each request decodes the next position (0, 1, 2,
// ...) into the ImageBuffer as grey or blue-green-red. Failures carry the words the user must see;
// the caller shows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/image.h"
#include "io/avi_format.h"
#include "io/video_input.h"
#include "settings/settings.h"

namespace kestrel {

// The current frame. It outlives the run, so the window can repaint the last frame read; its
// channel count is kept with it, because the Colour switch may change between runs.
Image& ImageBuffer();

// The stream information of the open input, filled from strh and strn (or made for a SER file)
// when the input opens.
const AviStreamInfo& InputStreamInfo();
// The SER header and the trailer's timestamps of the open input; null and empty for an AVI.
const SerHeader* InputSerHeader();
const std::vector<int64_t>& InputTimestamps();

// What the user said about inputs whose headers do not tell (Bayer pattern, byte order, depth,
// frame rate); used from the next input opened on, the dark video's included.
void SetInputOptions(const InputOptions& options);
const InputOptions& CurrentInputOptions();

// Position of the last frame requested; -1 while no input is open in the current run.
int32_t ReadPosition();

// Replaces the ImageBuffer with the next frame and returns non-zero; returns 0 when no frame
// follows. `failure` is set when the user must be told why ("Can't open AVI input file", with
// the reason beneath it; the ImageBuffer's width and height then become 0, its pixels stay) and
// left empty at the end of the input. After a 0 the caller closes the run (CloseVideo) before
// asking again; the next request then opens the input afresh at position 0.
int32_t ReadNextFrame(const Settings& settings, Failure& failure);

// Opens the input named by the settings; false with `failure` set when it cannot be read.
bool OpenInputVideo(const Settings& settings, Failure& failure);

// Releases the input and sets ReadPosition back to -1. Part of CloseVideo.
void CloseInputVideo();

}  // namespace kestrel
