#include "io/frame_source.h"

#include "io/video_input.h"

namespace kestrel {

namespace {

constexpr const char* kCantOpenInput = "Can't open AVI input file";

Image g_image;
int32_t g_readPosition = -1;
InputOptions g_options;
VideoInput g_input;
// Reused from frame to frame, so that a run does not allocate per frame.
std::vector<uint8_t> g_decodedFrame;

}  // namespace

Image& ImageBuffer() { return g_image; }
const AviStreamInfo& InputStreamInfo() { return g_input.streamInfo(); }
int32_t ReadPosition() { return g_readPosition; }
void SetInputOptions(const InputOptions& options) { g_options = options; }
const InputOptions& CurrentInputOptions() { return g_options; }
const SerHeader* InputSerHeader() { return g_input.serHeader(); }
const std::vector<int64_t>& InputTimestamps() { return g_input.timestamps(); }

bool OpenInputVideo(const Settings& settings, Failure& failure) {
    CloseInputVideo();
    if (!g_input.open(settings.InputFile, g_options, failure.reason)) {
        failure.message = kCantOpenInput;
        failure.file = settings.InputFile;
        return false;
    }
    failure.reason.clear();
    return true;
}

int32_t ReadNextFrame(const Settings& settings, Failure& failure) {
    failure.clear();
    if (g_readPosition < 0 && !OpenInputVideo(settings, failure)) {
        g_image.width = g_image.height = 0;
        return 0;
    }
    if (g_readPosition == INT32_MAX) return 0;
    // Advanced before the picture is asked for, also when none comes; the stream's length is
    // not consulted: the input ends at the first position without a picture.
    ++g_readPosition;
    int32_t width = 0, height = 0;
    // The previous picture is given up only with a whole new one: a failure never leaves a
    // partial one.
    const int channels = settings.Colour ? 3 : 1;
    if (!g_input.decode(size_t(g_readPosition), g_decodedFrame, width, height) ||
        !Bgr24ToImage(g_decodedFrame, width, height, channels, g_image))
        return 0;
    return 1;
}

void CloseInputVideo() {
    g_readPosition = -1;
    g_input.close();
}

}  // namespace kestrel
