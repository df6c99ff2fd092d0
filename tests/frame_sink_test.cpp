#include "io/frame_sink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "io/frame_source.h"
#include "support/files.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::AviLayout;
using test::ExpectedFrame;
using test::ReadAviFile;
using test::TempDir;
using test::WriteTestVideo;
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::string>;

Image MakeImage(int32_t width, int32_t height, int32_t channels, Bytes pixels) {
    return Image{width, height, channels, std::move(pixels)};
}

TEST(FrameSink, OutputFrameHeader) {
    // A positive height: bottom row first.
    const BitmapInfoHeader h = OutputFrameHeader(1, 2);
    EXPECT_EQ(std::tie(h.biSize, h.biWidth, h.biHeight, h.biPlanes, h.biBitCount, h.biCompression),
              std::make_tuple(40u, 1, 2, uint16_t(1), uint16_t(24), kBiRgb));
    EXPECT_EQ(std::tie(h.biXPelsPerMeter, h.biYPelsPerMeter, h.biClrUsed, h.biClrImportant),
              std::make_tuple(0, 0, 0u, 0u));
    // Rows padded to 4 bytes; 0 for sizes no 32-bit field can describe and for no pixels.
    const struct {
        int32_t w, h;
        uint32_t bytes;
    } sizes[] = {{1, 2, 8},         {4, 5, 60},        {5, 1, 16}, {1920, 1080, 1920 * 3 * 1080},
                 {40000, 40000, 0}, {INT32_MAX, 1, 0}, {0, 5, 0},  {5, -1, 0}};
    for (const auto& s : sizes)
        EXPECT_EQ(OutputFrameHeader(s.w, s.h).biSizeImage, s.bytes) << s.w << "x" << s.h;
}

TEST(FrameSink, FrameDataIsBottomUpWithZeroFill) {
    Bytes data;
    // A reused buffer holding an older, larger frame: the fill bytes are written as 0 again.
    data.assign(100, 0xFF);
    ASSERT_TRUE(PackFrameData(MakeImage(2, 1, 1, {7, 9}), data));
    EXPECT_EQ(data, (Bytes{7, 7, 7, 9, 9, 9, 0, 0}));

    // Every width modulo 4, grey (three equal bytes) and colour: biSizeImage bytes, the first
    // image row last, fill 0.
    for (int32_t w = 1; w <= 9; ++w)
        for (int32_t h = 1; h <= 3; ++h)
            for (int32_t c : {1, 3}) {
                SCOPED_TRACE(testing::Message() << w << "x" << h << "x" << c);
                Bytes pixels(size_t(w * h * c));
                for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i + 1);
                ASSERT_TRUE(PackFrameData(MakeImage(w, h, c, pixels), data));
                ASSERT_EQ(data.size(), OutputFrameHeader(w, h).biSizeImage);
                const size_t stride = data.size() / size_t(h);
                for (int32_t r = 0; r < h; ++r)
                    for (size_t k = 0; k < stride; ++k) {
                        const size_t x = k / 3, ch = c == 3 ? k % 3 : 0;
                        const uint8_t want =
                            k < 3 * size_t(w) ? pixels[(size_t(r) * w + x) * c + ch] : 0;
                        ASSERT_EQ(data[size_t(h - 1 - r) * stride + k], want)
                            << "row " << r << " byte " << k;
                    }
            }

    data = {42};
    EXPECT_FALSE(PackFrameData(MakeImage(3, 3, 3, Bytes(26)), data));
    EXPECT_FALSE(PackFrameData(MakeImage(3, 3, 2, Bytes(18)), data));
    EXPECT_FALSE(PackFrameData(MakeImage(-1, 3, 1, {}), data));
    EXPECT_EQ(data, Bytes{42});
}

TEST(FrameSink, FormatsThatDescribeNoStoredPictureAreRefused) {
    TempDir dir;
    Settings settings;
    settings.OutputFile = dir.file("out.avi");
    for (BitmapInfoHeader h : {OutputFrameHeader(0, 2), OutputFrameHeader(2, 0),
                               OutputFrameHeader(2, -2), OutputFrameHeader(40000, 40000)}) {
        Failure failure;
        EXPECT_FALSE(CreateOutputVideo(h, settings, failure));
        EXPECT_EQ(failure.message, "Can't set AVI stream format");
    }
    Failure failure;
    EXPECT_TRUE(CloseVideo(failure));
    EXPECT_TRUE(dir.names().empty());
}

// ---- Whole runs over real input files -------------------------------------------------------

constexpr int kW = 5, kH = 3;  // rows of 15 bytes stored in 16

struct RunResult {
    int written = 0;
    bool writeRefused = false;
    std::string writeMessage;
    bool closed = false;
    std::string closeMessage;
};

// The batch run's video side: read, write, and close after the loop. Positions are checked
// on the way: none before the output exists, then 0, 1, 2, ... without gaps.
RunResult RunVideo(const Settings& settings, int alreadyWritten = 0) {
    RunResult result;
    result.written = alreadyWritten;
    Failure failure;
    while (ReadNextFrame(settings, failure)) {
        EXPECT_EQ(WritePosition(), result.written == 0 ? -1 : result.written);
        if (!WriteFrame(ImageBuffer(), settings, failure)) {
            result.writeRefused = true;
            result.writeMessage = failure.message;
            break;
        }
        ++result.written;
        EXPECT_EQ(WritePosition(), result.written);
    }
    Failure closing;
    result.closed = CloseVideo(closing);
    result.closeMessage = closing.message;
    EXPECT_EQ(ReadPosition(), -1);
    EXPECT_EQ(WritePosition(), -1);
    return result;
}

Settings RunSettings(const TempDir& dir) {
    Settings s;
    s.InputFile = dir.file("in.avi");
    s.OutputFile = dir.file("out.avi");
    s.Colour = 1;
    return s;
}

TEST(FrameSinkRun, ColourPassThroughKeepsPixelsRateAndHeader) {
    TempDir dir;
    const Settings settings = RunSettings(dir);
    ASSERT_TRUE(WriteTestVideo(settings.InputFile, kW, kH, 4));

    // Before the run's first ReadNextFrame there is no input: nothing is written.
    Failure failure;
    ASSERT_LT(ReadPosition(), 0);
    EXPECT_FALSE(WriteFrame(ExpectedFrame(kW, kH, 0, true), settings, failure));
    EXPECT_EQ(failure.message, "");
    EXPECT_EQ(WritePosition(), -1);
    EXPECT_EQ(dir.names(), Names{"in.avi"});

    ASSERT_TRUE(ReadNextFrame(settings, failure)) << failure.message;
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, failure)) << failure.message;
    EXPECT_EQ(OutputStreamInfo().fccHandler, 0u);
    EXPECT_EQ(OutputStreamInfo().dwRate, InputStreamInfo().dwRate);
    EXPECT_EQ(WritePosition(), 1);
    const RunResult r = RunVideo(settings, 1);
    ASSERT_TRUE(r.closed) << r.closeMessage;
    EXPECT_FALSE(r.writeRefused) << r.writeMessage;
    EXPECT_EQ(r.written, 4);
    // After CloseVideo the sink refuses again, and makes nothing.
    EXPECT_FALSE(WriteFrame(ImageBuffer(), settings, failure));
    EXPECT_EQ(failure.message, "");
    EXPECT_EQ(dir.names(), (Names{"in.avi", "out.avi"}));

    // The input's stream header and name, the compressor code cleared; the 40-byte format.
    AviLayout in, out;
    ASSERT_TRUE(ReadAviFile(settings.InputFile, in));
    ASSERT_TRUE(ReadAviFile(settings.OutputFile, out));
    Bytes strh = in.dataOf(in.strh);
    std::fill(strh.begin() + 4, strh.begin() + 8, 0);
    EXPECT_EQ(out.dataOf(out.strh), strh);
    EXPECT_EQ(std::tie(out.stream.dwLength, out.stream.dwSuggestedBufferSize, out.stream.dwRate),
              std::make_tuple(4u, 48u, 30000u));
    EXPECT_EQ(out.dataOf(out.strn), in.dataOf(in.strn));
    Bytes format;
    AppendBitmapInfoHeader(format, OutputFrameHeader(kW, kH));
    EXPECT_EQ(out.dataOf(out.strf), format);
    EXPECT_EQ(out.avihField(test::kAvihTotalFrames), 4u);

    // Every chunk is biSizeImage bytes, bottom row first, fill bytes 0.
    ASSERT_EQ(out.frames.size(), 4u);
    for (size_t f = 0; f < 4; ++f) {
        const Bytes pixels = ExpectedFrame(kW, kH, int(f), true).pixels;
        Bytes want;
        for (int row = kH - 1; row >= 0; --row) {
            want.insert(want.end(), pixels.begin() + row * 3 * kW,
                        pixels.begin() + (row + 1) * 3 * kW);
            want.push_back(0);
        }
        EXPECT_EQ(out.dataOf(out.frames[f]), want) << "frame " << f;
        EXPECT_EQ(out.index[f].flags, kAviifKeyframe);
    }
}

TEST(FrameSinkRun, EachRunWritesAFreshFileAndReplacesTheOldOneOnlyAtTheEnd) {
    TempDir dir;
    const Settings settings = RunSettings(dir);
    ASSERT_TRUE(test::WriteFileText(settings.OutputFile, "old contents"));
    ASSERT_TRUE(WriteTestVideo(settings.InputFile, kW, kH, 4));

    Failure failure;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(ReadNextFrame(settings, failure));
        ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, failure));
    }
    EXPECT_EQ(test::ReadFileText(settings.OutputFile), "old contents");
    ASSERT_TRUE(CloseVideo(failure)) << failure.message;
    AviLayout first;
    ASSERT_TRUE(ReadAviFile(settings.OutputFile, first));
    EXPECT_EQ(first.frames.size(), 2u);

    ASSERT_TRUE(WriteTestVideo(settings.InputFile, kW, kH, 3, 10));
    const RunResult r = RunVideo(settings);  // checks that positions start again at 0
    ASSERT_TRUE(r.closed) << r.closeMessage;
    EXPECT_EQ(r.written, 3);
    EXPECT_EQ(test::ReadAllFrames(settings.OutputFile).at(0).pixels,
              ExpectedFrame(kW, kH, 10, true).pixels);
    EXPECT_EQ(test::CountFrames(settings.OutputFile), 3u);
    EXPECT_EQ(dir.names(), (Names{"in.avi", "out.avi"}));
}

TEST(FrameSinkRun, MissingOutputDirectoryEndsTheRunAtTheFirstFrame) {
    TempDir dir;
    Settings settings = RunSettings(dir);
    settings.OutputFile = dir.file("missing/out.avi");
    ASSERT_TRUE(WriteTestVideo(settings.InputFile, kW, kH, 2));
    const RunResult r = RunVideo(settings);
    EXPECT_TRUE(r.writeRefused);
    EXPECT_EQ(r.writeMessage, "Can't open AVI output file");
    EXPECT_EQ(r.written, 0);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(dir.names(), Names{"in.avi"});

    // Creation is tried once per run: a caller that goes on gets no second attempt.
    Failure failure;
    ASSERT_TRUE(ReadNextFrame(settings, failure));
    ASSERT_FALSE(WriteFrame(ImageBuffer(), settings, failure));
    fs::create_directory(dir.file("missing"));
    failure.message.clear();
    EXPECT_FALSE(WriteFrame(ImageBuffer(), settings, failure));
    EXPECT_EQ(failure.message, "");
    EXPECT_TRUE(CloseVideo(failure));
    EXPECT_FALSE(fs::exists(settings.OutputFile));
}

TEST(FrameSinkRun, FrameOfAnotherSizeIsNotStoredInTheStream) {
    TempDir dir;
    const Settings settings = RunSettings(dir);
    ASSERT_TRUE(WriteTestVideo(settings.InputFile, kW, kH, 2));
    Failure failure;
    ASSERT_TRUE(ReadNextFrame(settings, failure));
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, failure));
    EXPECT_FALSE(WriteFrame(MakeImage(4, 3, 3, Bytes(36, 1)), settings, failure));
    EXPECT_EQ(failure.message, "Can't write AVI output file");
    EXPECT_EQ(WritePosition(), 1);
    // The run is over for the sink: later frames are not written either.
    failure.message.clear();
    EXPECT_FALSE(WriteFrame(ImageBuffer(), settings, failure));
    EXPECT_EQ(failure.message, "");
    ASSERT_TRUE(CloseVideo(failure)) << failure.message;
    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(settings.OutputFile, avi));
    ASSERT_EQ(avi.frames.size(), 1u);
    EXPECT_EQ(avi.frames[0].size, 48u);
}

TEST(FrameSinkRun, LongRunContinuesInSegmentsThatReadBackWhole) {
    TempDir dir;
    const Settings settings = RunSettings(dir);
    const int kFrames = 9;
    ASSERT_TRUE(WriteTestVideo(settings.InputFile, kW, kH, kFrames));
    // Room for about two frames a segment.
    SetOutputSegmentLimitForTesting(2 * (8 + Stride24(kW) * kH) + 400);
    const RunResult r = RunVideo(settings);
    SetOutputSegmentLimitForTesting(0);
    EXPECT_FALSE(r.writeRefused) << r.writeMessage;
    EXPECT_EQ(r.written, kFrames);
    ASSERT_TRUE(r.closed) << r.closeMessage;
    AviLayout avi;
    ASSERT_TRUE(ReadAviFile(settings.OutputFile, avi));
    EXPECT_GE(avi.segments, 3u);
    const std::vector<Image> frames = test::ReadAllFrames(settings.OutputFile);
    ASSERT_EQ(frames.size(), size_t(kFrames));
    for (int i = 0; i < kFrames; ++i)
        EXPECT_EQ(frames[size_t(i)].pixels, ExpectedFrame(kW, kH, i, settings.Colour != 0).pixels)
            << i;
}

TEST(FrameSinkRun, OutputThatCannotBeCompletedLeavesTheTargetAlone) {
    TempDir dir;
    const Settings settings = RunSettings(dir);
    ASSERT_TRUE(WriteTestVideo(settings.InputFile, kW, kH, 2));
    Failure failure;
    ASSERT_TRUE(ReadNextFrame(settings, failure));
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, failure));
    // Something that no file may replace appears under the target's name meanwhile.
    fs::create_directory(settings.OutputFile);
    ASSERT_TRUE(test::WriteFileText(dir.file("out.avi/keep"), "kept"));
    EXPECT_FALSE(CloseVideo(failure));
    EXPECT_EQ(failure.message, "Can't write AVI output file");
    EXPECT_EQ(test::ReadFileText(dir.file("out.avi/keep")), "kept");
    EXPECT_EQ(dir.names(), (Names{"in.avi", "out.avi"}));
    EXPECT_EQ(WritePosition(), -1);
    EXPECT_EQ(ReadPosition(), -1);
}

}  // namespace
}  // namespace kestrel
