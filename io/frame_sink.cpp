// Placeholder until the sink lands.
#include "io/frame_sink.h"

#include "io/frame_source.h"

namespace kestrel {

namespace {
AviStreamInfo g_outInfo;
int32_t g_writePosition = -1;
}  // namespace

int32_t WritePosition() { return g_writePosition; }
const AviStreamInfo& OutputStreamInfo() { return g_outInfo; }
BitmapInfoHeader OutputFrameHeader(int32_t, int32_t) { return {}; }
bool WriteFrame(const Image&, const Settings&, std::string&) { return false; }
bool CreateOutputVideo(const BitmapInfoHeader&, const Settings&, std::string& message) {
    message = "Can't open AVI output file";
    return false;
}
bool CloseVideo(std::string&) {
    CloseInputVideo();
    g_writePosition = -1;
    return true;
}

}  // namespace kestrel
