#include "io/dark_frame.h"

#include <vector>

#include "io/bitmap.h"
#include "io/frame_source.h"
#include "io/video_input.h"

namespace kestrel {

namespace {

constexpr const char* kCantOpenDarkFrame = "Can't open dark frame";
// Sums of 8-bit samples stay within 32 bits up to this many frames.
constexpr uint32_t kMaxDarkFrames = 1u << 24;

Image g_dark{-1, -1, 1, {}};

// A running sum, so that memory does not grow with the number of frames.
bool AverageDarkVideo(const std::string& path, int32_t channels, Image& dark, std::string& reason) {
    VideoInput input;
    if (!input.open(path, CurrentInputOptions(), reason)) return false;
    std::vector<uint8_t> rows;
    std::vector<uint32_t> sum;
    Image frame;
    uint32_t n = 0;
    int32_t width = 0, height = 0;
    for (size_t position = 0; n < kMaxDarkFrames && input.decode(position, rows, width, height);
         ++position, ++n) {
        if (!Bgr24ToImage(rows, width, height, channels, frame))
            return Refuse(reason, "the file cannot be read");
        if (n == 0) {
            sum.assign(frame.pixels.size(), 0);
            dark.width = frame.width;
            dark.height = frame.height;
        } else if (frame.width != dark.width || frame.height != dark.height) {
            return Refuse(reason, "the video's frames differ in size");
        }
        for (size_t i = 0; i < sum.size(); ++i) sum[i] += frame.pixels[i];
    }
    if (n == 0) return Refuse(reason, "the video holds no picture that can be read");
    dark.channels = channels;
    dark.pixels.resize(sum.size());
    for (size_t i = 0; i < sum.size(); ++i) dark.pixels[i] = uint8_t((sum[i] + n / 2) / n);
    return true;
}

}  // namespace

Image& DarkImage() { return g_dark; }

bool LoadDarkFrame(const Settings& settings, Failure& failure) {
    failure.clear();
    const int32_t channels = settings.Colour ? 3 : 1;
    bool ok = false;
    if (ContainerOf(settings.DarkFrame) != Container::Other) {
        Image dark;
        ok = AverageDarkVideo(settings.DarkFrame, channels, dark, failure.reason);
        if (ok) g_dark = std::move(dark);
    } else {
        int32_t width = 0, height = 0;
        std::vector<uint8_t> block;
        ok = ReadBitmap(settings.DarkFrame, width, height, block, failure.reason) &&
             Bgr24ToImage(block, width, height, channels, g_dark);
    }
    if (!ok) {
        failure.message = kCantOpenDarkFrame;
        failure.file = settings.DarkFrame;
        if (failure.reason.empty()) failure.reason = "the file cannot be read";
    }
    return ok;
}

}  // namespace kestrel
