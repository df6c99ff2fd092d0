#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/avi_format.h"
#include "io/avi_writer.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "support/riff_walk.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::AviLayout;
using test::HaveTool;
using test::LoadU32;
using test::Probe;
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


// ---- Whole runs over real input files -------------------------------------------------------

using Frames = std::vector<std::vector<uint8_t>>;  // top-down blue-green-red, no fill

AviStreamInfo InputInfo() {
    AviStreamInfo s;
    s.fccType = kFccVids;
    s.fccHandler = FourCC("DIB ");
    s.wPriority = 2;
    s.wLanguage = 7;
    s.dwScale = 1001;
    s.dwRate = 30000;
    s.dwQuality = 9000;
    s.rcFrameRight = 5;
    s.rcFrameBottom = 3;
    std::snprintf(s.szName, sizeof(s.szName), "%s", "sky");
    return s;
}

// An uncompressed 24-bit input, laid out here independently of the sink.
void WriteInput(const std::string& path, int32_t w, int32_t h, const Frames& frames) {
    BitmapInfoHeader bih;
    bih.biWidth = w;
    bih.biHeight = h;
    bih.biBitCount = 24;
    const size_t stride = (3 * size_t(w) + 3) / 4 * 4;
    bih.biSizeImage = uint32_t(stride * size_t(h));
    std::vector<uint8_t> format;
    AppendBitmapInfoHeader(format, bih);
    AviWriter writer;
    ASSERT_EQ(writer.create(path, InputInfo(), format, FourCC("00db")), AviWriteStatus::Ok);
    for (const std::vector<uint8_t>& f : frames) {
        std::vector<uint8_t> chunk(stride * size_t(h), 0);
        for (int32_t r = 0; r < h; ++r)
            std::memcpy(&chunk[size_t(h - 1 - r) * stride], &f[size_t(r) * 3 * size_t(w)], 3 * size_t(w));
        ASSERT_EQ(writer.writeChunk(chunk.data(), chunk.size()), AviWriteStatus::Ok);
    }
    ASSERT_EQ(writer.finish(), AviWriteStatus::Ok);
}

Frames MakeFrames(size_t count, int32_t w, int32_t h, uint8_t seed) {
    Frames frames(count, std::vector<uint8_t>(size_t(3 * w * h)));
    for (size_t f = 0; f < count; ++f)
        for (size_t i = 0; i < frames[f].size(); ++i) frames[f][i] = uint8_t(seed + f * 31 + i * 7);
    return frames;
}

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
    std::string message;
    while (ReadNextFrame(settings, message)) {
        EXPECT_EQ(WritePosition(), result.written == 0 ? -1 : result.written);
        if (!WriteFrame(ImageBuffer(), settings, message)) {
            result.writeRefused = true;
            result.writeMessage = message;
            break;
        }
        ++result.written;
        EXPECT_EQ(WritePosition(), result.written);
    }
    result.closed = CloseVideo(result.closeMessage);
    EXPECT_EQ(ReadPosition(), -1);
    EXPECT_EQ(WritePosition(), -1);
    return result;
}

Settings RunSettings(const ScratchDir& dir, uint8_t colour) {
    Settings s;
    s.InputFile = dir.file("in.avi");
    s.OutputFile = dir.file("out.avi");
    s.Colour = colour;
    return s;
}

TEST(FrameSinkRun, ColourPassThroughKeepsPixelsRateAndHeader) {
    ScratchDir dir;
    const Settings settings = RunSettings(dir, 1);
    const Frames frames = MakeFrames(4, 5, 3, 1);
    WriteInput(settings.InputFile, 5, 3, frames);

    std::string message;
    // Before the run's first ReadNextFrame there is no input: nothing is written.
    EXPECT_FALSE(WriteFrame(MakeImage(5, 3, 3, frames[0]), settings, message));
    EXPECT_EQ(message, "");
    EXPECT_FALSE(fs::exists(settings.OutputFile));

    ASSERT_TRUE(ReadNextFrame(settings, message)) << message;
    AviStreamInfo expected = InputStreamInfo();
    expected.fccHandler = 0;
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, message)) << message;
    EXPECT_EQ(std::memcmp(&OutputStreamInfo(), &expected, sizeof expected), 0);
    EXPECT_EQ(WritePosition(), 1);
    RunResult r = RunVideo(settings, 1);
    ASSERT_TRUE(r.closed) << r.closeMessage;
    EXPECT_FALSE(r.writeRefused) << r.writeMessage;
    EXPECT_EQ(r.written, 4);

    // After CloseVideo the sink refuses again, and makes nothing.
    const std::vector<std::string> before = dir.names();
    EXPECT_FALSE(WriteFrame(ImageBuffer(), settings, message));
    EXPECT_EQ(dir.names(), before);

    std::vector<uint8_t> b = ReadWholeFile(settings.OutputFile);
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
    AviStreamInfo strh;
    ASSERT_TRUE(ParseStreamHeader(b.data() + avi.strh.data, avi.strh.size, strh));
    EXPECT_EQ(strh.fccType, kFccVids);
    EXPECT_EQ(strh.fccHandler, 0u);
    EXPECT_EQ(strh.dwScale, 1001u);
    EXPECT_EQ(strh.dwRate, 30000u);
    EXPECT_EQ(strh.wPriority, 2);
    EXPECT_EQ(strh.wLanguage, 7);
    EXPECT_EQ(strh.dwQuality, 9000u);
    EXPECT_EQ(strh.rcFrameRight, 5);
    EXPECT_EQ(strh.rcFrameBottom, 3);
    EXPECT_EQ(strh.dwLength, 4u);
    EXPECT_EQ(strh.dwSuggestedBufferSize, 48u);
    EXPECT_EQ(strh.dwSampleSize, 0u);
    ASSERT_TRUE(avi.strn.present);
    EXPECT_STREQ(reinterpret_cast<const char*>(b.data() + avi.strn.data), "sky");
    EXPECT_EQ(LoadU32(b, avi.avih.data + 16), 4u);

    // Every chunk is biSizeImage bytes, bottom row first, fill bytes 0.
    ASSERT_EQ(avi.frames.size(), 4u);
    for (size_t f = 0; f < 4; ++f) {
        ASSERT_EQ(avi.frames[f].size, 48u);
        EXPECT_EQ(avi.index[f].flags, kAviifKeyframe);
        for (size_t row = 0; row < 3; ++row) {
            const uint8_t* data = b.data() + avi.frames[f].data + row * 16;
            EXPECT_EQ(std::memcmp(data, &frames[f][(2 - row) * 15], 15), 0) << f << "/" << row;
            EXPECT_EQ(data[15], 0);
        }
    }

    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) return;
    EXPECT_EQ(Probe(settings.OutputFile, "codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames"),
              "rawvideo\n5\n3\nbgr24\n30000/1001\n4");
    const std::string raw = dir.file("out.raw");
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i '" + settings.OutputFile +
                           "' -f rawvideo -pix_fmt bgr24 '" + raw + "'").c_str()), 0);
    std::vector<uint8_t> all;
    for (const auto& f : frames) all.insert(all.end(), f.begin(), f.end());
    EXPECT_EQ(ReadWholeFile(raw), all);
}

TEST(FrameSinkRun, GreyFramesAreWrittenAsThreeEqualBytes) {
    ScratchDir dir;
    const Settings settings = RunSettings(dir, 0);
    // Top row: white, red, green, blue, mid grey; bottom row black.
    std::vector<uint8_t> picture = {255, 255, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 128, 128, 128};
    picture.resize(30, 0);
    WriteInput(settings.InputFile, 5, 2, {picture});
    RunResult r = RunVideo(settings);
    ASSERT_TRUE(r.closed) << r.closeMessage;
    ASSERT_EQ(r.written, 1);

    std::vector<uint8_t> b = ReadWholeFile(settings.OutputFile);
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
    ASSERT_EQ(avi.frames.size(), 1u);
    ASSERT_EQ(avi.frames[0].size, 32u);
    const uint8_t* data = b.data() + avi.frames[0].data;
    std::vector<uint8_t> bottom(data, data + 16), top(data + 16, data + 32);
    EXPECT_EQ(bottom, std::vector<uint8_t>(16, 0));
    const uint8_t levels[5] = {255, 75, 153, 25, 128};
    for (size_t j = 0; j < 5; ++j)
        for (size_t k = 0; k < 3; ++k) EXPECT_EQ(top[3 * j + k], levels[j]) << j;
    EXPECT_EQ(top[15], 0);
}

TEST(FrameSinkRun, EachRunWritesAFreshFileAndReplacesTheOldOneOnlyAtTheEnd) {
    ScratchDir dir;
    const Settings settings = RunSettings(dir, 1);
    std::ofstream(settings.OutputFile) << "old contents";
    WriteInput(settings.InputFile, 5, 3, MakeFrames(4, 5, 3, 1));

    std::string message;
    ASSERT_TRUE(ReadNextFrame(settings, message));
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, message));
    ASSERT_TRUE(ReadNextFrame(settings, message));
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, message));
    EXPECT_EQ(ReadWholeFile(settings.OutputFile).size(), 12u);  // still the old file
    ASSERT_TRUE(CloseVideo(message)) << message;
    AviLayout first;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(ReadWholeFile(settings.OutputFile), first, error)) << error;
    EXPECT_EQ(first.frames.size(), 2u);

    const Frames second = MakeFrames(3, 5, 3, 99);
    WriteInput(settings.InputFile, 5, 3, second);
    RunResult r = RunVideo(settings);  // checks that positions start again at 0
    ASSERT_TRUE(r.closed) << r.closeMessage;
    EXPECT_EQ(r.written, 3);
    std::vector<uint8_t> b = ReadWholeFile(settings.OutputFile);
    AviLayout avi;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
    ASSERT_EQ(avi.frames.size(), 3u);
    EXPECT_EQ(std::memcmp(b.data() + avi.frames[0].data + 32, second[0].data(), 15), 0);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
}

TEST(FrameSinkRun, MissingOutputDirectoryEndsTheRunAtTheFirstFrame) {
    ScratchDir dir;
    Settings settings = RunSettings(dir, 1);
    settings.OutputFile = dir.file("missing/out.avi");
    WriteInput(settings.InputFile, 5, 3, MakeFrames(2, 5, 3, 1));
    RunResult r = RunVideo(settings);
    EXPECT_TRUE(r.writeRefused);
    EXPECT_EQ(r.writeMessage, "Can't open AVI output file");
    EXPECT_EQ(r.written, 0);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"in.avi"});

    // Creation is tried once per run: a caller that goes on gets no second attempt.
    std::string message;
    ASSERT_TRUE(ReadNextFrame(settings, message));
    ASSERT_FALSE(WriteFrame(ImageBuffer(), settings, message));
    fs::create_directory(dir.file("missing"));
    message.clear();
    EXPECT_FALSE(WriteFrame(ImageBuffer(), settings, message));
    EXPECT_EQ(message, "");
    EXPECT_TRUE(CloseVideo(message));
    EXPECT_FALSE(fs::exists(settings.OutputFile));
}

TEST(FrameSinkRun, FrameOfAnotherSizeIsNotStoredInTheStream) {
    ScratchDir dir;
    const Settings settings = RunSettings(dir, 1);
    WriteInput(settings.InputFile, 5, 3, MakeFrames(2, 5, 3, 1));
    std::string message;
    ASSERT_TRUE(ReadNextFrame(settings, message));
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, message));
    EXPECT_FALSE(WriteFrame(MakeImage(4, 3, 3, std::vector<uint8_t>(36, 1)), settings, message));
    EXPECT_EQ(message, "Can't write AVI output file");
    EXPECT_EQ(WritePosition(), 1);
    // The run is over for the sink: later frames are not written either.
    message.clear();
    EXPECT_FALSE(WriteFrame(ImageBuffer(), settings, message));
    EXPECT_EQ(message, "");
    ASSERT_TRUE(CloseVideo(message)) << message;
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(ReadWholeFile(settings.OutputFile), avi, error)) << error;
    ASSERT_EQ(avi.frames.size(), 1u);
    EXPECT_EQ(avi.frames[0].size, 48u);
}

TEST(FrameSinkRun, SizeLimitEndsTheRunWithAValidFile) {
    ScratchDir dir;
    const Settings settings = RunSettings(dir, 1);
    // The size of a complete two-frame output is the limit: the third frame must not fit.
    WriteInput(settings.InputFile, 5, 3, MakeFrames(2, 5, 3, 1));
    ASSERT_TRUE(RunVideo(settings).closed);
    const uint64_t twoFrames = ReadWholeFile(settings.OutputFile).size();

    WriteInput(settings.InputFile, 5, 3, MakeFrames(5, 5, 3, 1));
    SetOutputSizeLimitForTesting(twoFrames);
    RunResult r = RunVideo(settings);
    SetOutputSizeLimitForTesting(0);
    EXPECT_TRUE(r.writeRefused);
    EXPECT_EQ(r.writeMessage, "AVI output file has reached its size limit");
    EXPECT_EQ(r.written, 2);
    ASSERT_TRUE(r.closed) << r.closeMessage;
    std::vector<uint8_t> b = ReadWholeFile(settings.OutputFile);
    EXPECT_EQ(b.size(), twoFrames);
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
    EXPECT_EQ(avi.frames.size(), 2u);
    if (HaveTool("ffprobe")) {
        EXPECT_EQ(Probe(settings.OutputFile, "nb_read_frames"), "2");
    }
}

TEST(FrameSinkRun, RefusedFrameEndsTheRunAndKeepsTheFramesBefore) {
    ScratchDir dir;
    const Settings settings = RunSettings(dir, 1);
    WriteInput(settings.InputFile, 5, 3, MakeFrames(2, 5, 3, 1));
    ASSERT_TRUE(RunVideo(settings).closed);
    const uint64_t twoFrames = ReadWholeFile(settings.OutputFile).size();
    std::ofstream(settings.OutputFile, std::ios::trunc) << "old contents";
    WriteInput(settings.InputFile, 5, 3, MakeFrames(6, 5, 3, 1));

    // A file size cap stands in for a full disk; the child takes it, the test process does not.
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        // Room for the index of two frames, not for a third frame (56 bytes with its header).
        rlimit cap{rlim_t(twoFrames + 10), rlim_t(twoFrames + 10)};
        if (setrlimit(RLIMIT_FSIZE, &cap) != 0) _exit(101);
        std::string message;
        int written = 0;
        while (ReadNextFrame(settings, message) && WriteFrame(ImageBuffer(), settings, message))
            ++written;
        if (message != "Can't write AVI output file") _exit(102);
        if (WritePosition() != written) _exit(103);
        std::string closeMessage;
        if (!CloseVideo(closeMessage)) _exit(104);
        _exit(written);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 2);

    std::vector<uint8_t> b = ReadWholeFile(settings.OutputFile);
    AviLayout avi;
    std::string error;
    ASSERT_TRUE(ReadAviLayout(b, avi, error)) << error;
    EXPECT_EQ(avi.frames.size(), 2u);
    EXPECT_TRUE(avi.idx1.present);
    EXPECT_EQ(LoadU32(b, avi.avih.data + 16), 2u);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
    if (HaveTool("ffprobe")) {
        EXPECT_EQ(Probe(settings.OutputFile, "nb_read_frames"), "2");
    }
}

TEST(FrameSinkRun, OutputThatCannotBeCompletedLeavesTheTargetAlone) {
    ScratchDir dir;
    const Settings settings = RunSettings(dir, 1);
    WriteInput(settings.InputFile, 5, 3, MakeFrames(2, 5, 3, 1));
    std::string message;
    ASSERT_TRUE(ReadNextFrame(settings, message));
    ASSERT_TRUE(WriteFrame(ImageBuffer(), settings, message));
    // Something that no file may replace appears under the target's name meanwhile.
    fs::create_directory(settings.OutputFile);
    std::ofstream(dir.file("out.avi/keep")) << "kept";
    EXPECT_FALSE(CloseVideo(message));
    EXPECT_EQ(message, "Can't write AVI output file");
    EXPECT_EQ(ReadWholeFile(dir.file("out.avi/keep")).size(), 4u);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"in.avi", "out.avi"}));
    EXPECT_EQ(WritePosition(), -1);
    EXPECT_EQ(ReadPosition(), -1);
}

}  // namespace
}  // namespace kestrel
