#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/avi_format.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "support/riff_walk.h"

namespace kestrel {
namespace {

using test::AviLayout;
using test::ReadAviLayout;
using test::ReadWholeFile;
using test::ScratchDir;

Image MakeImage(int32_t width, int32_t height, int32_t channels, std::vector<uint8_t> pixels) {
    Image im;
    im.width = width;
    im.height = height;
    im.channels = channels;
    im.pixels = std::move(pixels);
    return im;
}

TEST(FrameSink, OutputFrameHeaderFields) {
    BitmapInfoHeader h = OutputFrameHeader(1, 2);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biWidth, 1);
    EXPECT_EQ(h.biHeight, 2);  // positive: bottom row first
    EXPECT_EQ(h.biPlanes, 1);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, kBiRgb);
    EXPECT_EQ(h.biSizeImage, 8u);  // stride 4
    EXPECT_EQ(h.biXPelsPerMeter, 0);
    EXPECT_EQ(h.biYPelsPerMeter, 0);
    EXPECT_EQ(h.biClrUsed, 0u);
    EXPECT_EQ(h.biClrImportant, 0u);

    EXPECT_EQ(OutputFrameHeader(4, 5).biSizeImage, 60u);  // stride 12, no fill
    EXPECT_EQ(OutputFrameHeader(5, 1).biSizeImage, 16u);
    EXPECT_EQ(OutputFrameHeader(1920, 1080).biSizeImage, 1920u * 3 * 1080);
    // Sizes that no 32-bit field can describe, and pictures without pixels.
    EXPECT_EQ(OutputFrameHeader(40000, 40000).biSizeImage, 0u);
    EXPECT_EQ(OutputFrameHeader(INT32_MAX, 1).biSizeImage, 0u);
    EXPECT_EQ(OutputFrameHeader(0, 5).biSizeImage, 0u);
    EXPECT_EQ(OutputFrameHeader(5, -1).biSizeImage, 0u);
}

TEST(FrameSink, FrameDataIsBottomUpWithZeroFill) {
    std::vector<uint8_t> data;
    // Width 1: each data row is one pixel and one zero byte; the first image row comes last.
    ASSERT_TRUE(PackFrameData(MakeImage(1, 2, 1, {10, 128}), data));
    EXPECT_EQ(data, (std::vector<uint8_t>{128, 128, 128, 0, 10, 10, 10, 0}));
    ASSERT_TRUE(PackFrameData(MakeImage(1, 2, 3, {1, 2, 3, 4, 5, 6}), data));
    EXPECT_EQ(data, (std::vector<uint8_t>{4, 5, 6, 0, 1, 2, 3, 0}));

    // Width 4: rows of 12 bytes with no fill.
    std::vector<uint8_t> colour(4 * 3 * 2);
    for (size_t i = 0; i < colour.size(); ++i) colour[i] = uint8_t(i + 1);
    ASSERT_TRUE(PackFrameData(MakeImage(4, 2, 3, colour), data));
    std::vector<uint8_t> swapped(colour.begin() + 12, colour.end());
    swapped.insert(swapped.end(), colour.begin(), colour.begin() + 12);
    EXPECT_EQ(data, swapped);

    // A reused buffer holding an older, larger frame: the fill bytes are written as 0 again.
    data.assign(100, 0xFF);
    ASSERT_TRUE(PackFrameData(MakeImage(2, 1, 1, {7, 9}), data));
    EXPECT_EQ(data, (std::vector<uint8_t>{7, 7, 7, 9, 9, 9, 0, 0}));
}

TEST(FrameSink, FrameDataSizeIsBiSizeImage) {
    std::vector<uint8_t> data;
    for (int32_t w = 1; w <= 9; ++w) {
        for (int32_t h = 1; h <= 3; ++h) {
            for (int32_t c : {1, 3}) {
                Image im = MakeImage(w, h, c, std::vector<uint8_t>(size_t(w * h * c), 200));
                ASSERT_TRUE(PackFrameData(im, data));
                EXPECT_EQ(data.size(), OutputFrameHeader(w, h).biSizeImage) << w << "x" << h;
                const size_t stride = data.size() / size_t(h);
                EXPECT_EQ(stride % 4, 0u);
                for (int32_t r = 0; r < h; ++r)
                    for (size_t k = 3 * size_t(w); k < stride; ++k) EXPECT_EQ(data[r * stride + k], 0);
            }
        }
    }
}

TEST(FrameSink, InconsistentFramesAreRefused) {
    std::vector<uint8_t> data = {42};
    EXPECT_FALSE(PackFrameData(MakeImage(3, 3, 3, std::vector<uint8_t>(26)), data));
    EXPECT_FALSE(PackFrameData(MakeImage(3, 3, 2, std::vector<uint8_t>(18)), data));
    EXPECT_FALSE(PackFrameData(MakeImage(-1, 3, 1, {}), data));
    EXPECT_EQ(data, std::vector<uint8_t>{42});
}

TEST(FrameSink, NothingIsWrittenWithoutAnOpenInput) {
    ScratchDir dir;
    Settings settings;
    settings.OutputFile = dir.file("out.avi");
    std::string message;
    ASSERT_LT(ReadPosition(), 0);
    EXPECT_FALSE(WriteFrame(MakeImage(1, 1, 1, {5}), settings, message));
    EXPECT_EQ(message, "");
    EXPECT_EQ(WritePosition(), -1);
    EXPECT_TRUE(CloseVideo(message));
    EXPECT_FALSE(WriteFrame(MakeImage(1, 1, 1, {5}), settings, message));
    EXPECT_EQ(message, "");
    EXPECT_TRUE(dir.names().empty());
}

TEST(FrameSink, CreationFailuresAndTheirMessages) {
    ScratchDir dir;
    Settings settings;
    std::string message;

    settings.OutputFile = dir.file("missing/out.avi");
    EXPECT_FALSE(CreateOutputVideo(OutputFrameHeader(2, 2), settings, message));
    EXPECT_EQ(message, "Can't open AVI output file");

    settings.OutputFile = dir.file("out.avi");
    for (BitmapInfoHeader h : {OutputFrameHeader(0, 2), OutputFrameHeader(2, 0),
                               OutputFrameHeader(2, -2), OutputFrameHeader(40000, 40000)}) {
        message.clear();
        EXPECT_FALSE(CreateOutputVideo(h, settings, message));
        EXPECT_EQ(message, "Can't set AVI stream format");
    }
    EXPECT_TRUE(CloseVideo(message));
    EXPECT_TRUE(dir.names().empty());
}

TEST(FrameSink, CreatedOutputHasTheFortyByteFormatAndTheInputsHeader) {
    ScratchDir dir;
    Settings settings;
    settings.OutputFile = dir.file("out.avi");
    std::string message;
    ASSERT_TRUE(CreateOutputVideo(OutputFrameHeader(3, 2), settings, message)) << message;
    EXPECT_EQ(OutputStreamInfo().fccHandler, 0u);
    EXPECT_EQ(OutputStreamInfo().dwScale, InputStreamInfo().dwScale);
    EXPECT_EQ(OutputStreamInfo().dwRate, InputStreamInfo().dwRate);
    EXPECT_TRUE(dir.names().size() == 1 && dir.names()[0] != "out.avi");  // still temporary
    ASSERT_TRUE(CloseVideo(message)) << message;
    EXPECT_EQ(WritePosition(), -1);

    std::vector<uint8_t> b = ReadWholeFile(settings.OutputFile);
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
    ASSERT_EQ(avi.strf.size, 40u);
    std::vector<uint8_t> expected;
    AppendBitmapInfoHeader(expected, OutputFrameHeader(3, 2));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), b.begin() + long(avi.strf.data)));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.avi"});
}

}  // namespace
}  // namespace kestrel
