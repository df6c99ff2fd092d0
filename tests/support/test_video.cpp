#include "support/test_video.h"

#include <gtest/gtest.h>

#include "io/avi_writer.h"
#include "io/frame_source.h"
#include "settings/settings.h"
#include "support/riff_builder.h"

namespace kestrel::test {

static uint8_t Sample(int x, int y, int n, int channel) {
    return uint8_t(x * 7 + y * 13 + n * 29 + channel * 85);
}

bool WriteTestVideo(const std::string& path, int width, int height, int count, int first) {
    const AviStreamInfo info{.fccType = kFccVids,
                             .fccHandler = FourCC("DIB "),
                             .wPriority = 2,
                             .wLanguage = 7,
                             .dwScale = 1001,
                             .dwRate = 30000,
                             .dwQuality = 9000,
                             .rcFrameRight = width,
                             .rcFrameBottom = height,
                             .szName = "sky"};
    const uint32_t stride = Stride24(uint32_t(width));
    std::vector<uint8_t> format = VideoFormat(width, height, 24);
    PatchU32(format, 20, stride * uint32_t(height));  // biSizeImage

    AviWriter writer;
    if (writer.create(path, info, format, FourCC("00db")) != AviWriteStatus::Ok) return false;
    std::vector<uint8_t> data(stride * size_t(height));
    for (int n = first; n < first + count; ++n) {
        for (int y = 0; y < height; ++y) {
            uint8_t* row = data.data() + size_t(height - 1 - y) * stride;  // bottom row first
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 3; ++c) row[3 * x + c] = Sample(x, y, n, c);
        }
        if (writer.writeChunk(data.data(), data.size()) != AviWriteStatus::Ok) return false;
    }
    return writer.finish() == AviWriteStatus::Ok;
}

Image ExpectedFrame(int width, int height, int n, bool colour) {
    Image img{width, height, colour ? 3 : 1, {}};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t b = Sample(x, y, n, 0), g = Sample(x, y, n, 1), r = Sample(x, y, n, 2);
            if (colour)
                img.pixels.insert(img.pixels.end(), {b, g, r});
            else
                img.pixels.push_back(GreyLevel(b, g, r));
        }
    return img;
}

SourceRead ReadSource(const std::string& path, bool colour, size_t most) {
    Settings s;
    s.InputFile = path;
    s.Colour = colour ? 1 : 0;
    SourceRead r;
    while (r.frames.size() < most && ReadNextFrame(s, r.failure)) {
        EXPECT_TRUE(ImageBuffer().consistent()) << path << " frame " << r.frames.size();
        r.frames.push_back(ImageBuffer());
    }
    CloseInputVideo();
    return r;
}

}  // namespace kestrel::test
