// Placeholder until the reader lands: every open fails.
#include "io/frame_source.h"

namespace kestrel {

namespace {
Image g_image;
AviStreamInfo g_info;
int32_t g_readPosition = -1;
}  // namespace

Image& ImageBuffer() { return g_image; }
const AviStreamInfo& InputStreamInfo() { return g_info; }
int32_t ReadPosition() { return g_readPosition; }

bool OpenInputVideo(const Settings&, std::string& message) {
    message = "Can't open AVI input file";
    return false;
}

void FetchDecodedFrame(const Settings& settings, int32_t& width, int32_t& height,
                       std::vector<uint8_t>& frame, std::string& message) {
    frame.clear();
    if (!OpenInputVideo(settings, message)) width = height = 0;
}

int32_t ReadNextFrame(const Settings& settings, std::string& message) {
    std::vector<uint8_t> frame;
    FetchDecodedFrame(settings, g_image.width, g_image.height, frame, message);
    return 0;
}

void CloseInputVideo() { g_readPosition = -1; }

bool ConvertDibTo24(const uint8_t*, size_t, int32_t&, int32_t&, std::vector<uint8_t>& frame) {
    frame.clear();
    return false;
}

}  // namespace kestrel
