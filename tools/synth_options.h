// Command line of kestrel-synth.
#pragma once

#include <cstdint>
#include <string>

#include "tools/video_layout.h"

namespace kestrel::synth {

struct SynthOptions {
    int32_t width = 320;
    int32_t height = 240;
    uint32_t frames = 50;
    uint32_t fps = 25;
    bool colour = false;
    StoredLayout layout = StoredLayout::Bgr24;
    uint64_t seed = 1;
    int64_t hotPixels = -1;  // -1: one per 2000 pixels, at least one
    std::string output = "sky.avi";
    std::string dark = "dark.bmp";
    bool writeDark = true;
    uint32_t darkFrames = 16;  // of a dark video
    SerSamples ser;
    bool timestamps = true;  // the SER trailer
};

// By the name's ending, in any case: a video (AVI or SER; WritesSer tells which) rather than a
// bitmap.
bool IsVideoName(const std::string& path);

constexpr int32_t kMaxSide = 16384;
constexpr uint32_t kMaxFps = 1000;
constexpr uint32_t kMaxFrames = 10000000;

enum class ParseResult { Run, Help, Error };

// On Error, `error` holds one line for the user.
ParseResult ParseSynthOptions(int argc, char** argv, SynthOptions& options, std::string& error);

// The hot-pixel count the options ask for, the default worked out.
int64_t HotPixelCount(const SynthOptions& options);

const char* SynthUsage();

}  // namespace kestrel::synth
