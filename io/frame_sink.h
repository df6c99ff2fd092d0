// The output video: every frame becomes a 24-bit key frame, bottom row first, of a new AVI file
// whose stream header is the input's with the compressor code cleared; or, when the output's
// name ends in ".ser", a frame of 8-bit samples (grey, or blue-green-red) of a new SER file that
// keeps a SER input's header texts, dates and timestamps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.h"
#include "base/image.h"
#include "base/replace_file.h"
#include "io/avi_format.h"
#include "settings/settings.h"

namespace kestrel {

// Lays `frame` out as the output stores it: height rows of Stride24(width) bytes, bottom row
// first, grey written as three equal bytes, fill bytes 0. `data` is resized, not reallocated
// when it is large enough already. False, `data` untouched, for an inconsistent frame or one
// too large for a 32-bit chunk.
bool PackFrameData(const Image& frame, std::vector<uint8_t>& data);

// What is at the output name before a run: Absent, File (which the user must agree to replace)
// or Refused, with `failure` set, for anything that must never be replaced: not a regular file,
// a file the user may not read or write, the input itself or the dark frame the run uses.
TargetState InspectOutput(const Settings& settings, Failure& failure);

// True when `outputName` ends in ".ser", in any case: the output is then a SER file.
bool WritesSer(const std::string& outputName);

// Whether the run's output may replace a file at its name: yes once the user agreed, no when
// nothing was there to ask about. Holds until CloseVideo.
void AllowReplacingOutput(bool allowed);

// True while the output being written is to replace a file that was at its name.
bool OutputReplacesAFile();

// Appends `frame` (its own width, height and channel count) to the output, creating the output
// at the run's first frame. False when no input is open (no message) or when the output cannot
// be created or written (`failure` set); the caller then ends the run with CloseVideo.
bool WriteFrame(const Image& frame, const Settings& settings, Failure& failure);

// Lowers the size of the output's RIFF segments, from the next run on; 0 restores the usual
// 1 GiB. Tests use it to make many segments of small frames.
void SetOutputSegmentLimitForTesting(uint64_t bytes);

// Ends the run on the video side: releases the input, completes the output and puts it in
// place under its name. False with `failure` set when the output could not be completed. After
// a failed write, a file that was at the name stays and the partial output is removed; with
// nothing there, the frames written before the failure take the name.
bool CloseVideo(Failure& failure);

// Ends the run without an output: the input released, the partial output removed.
void AbandonVideo();

}  // namespace kestrel
