// SER files, raw Bayer mosaics and dark videos, read as FFmpeg reads them where it reads them
// right, and as the writers that disagree with it meant them where it does not.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/byte_cursor.h"
#include "io/dark_frame.h"
#include "io/frame_source.h"
#include "io/raw_samples.h"
#include "io/ser_format.h"
#include "io/ser_writer.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

struct SerFile {
    int32_t colour = kSerMono;
    int32_t depth = 8;  // the header's
    int32_t bits = 0;   // the samples'; 0: the header's
    int32_t flag = 0;  // the header's LittleEndian
    bool big = false;  // the order the samples are really in
    int32_t frames = 3;
    int32_t count = -1;  // the header's frame count; -1: the frames
    int64_t interval = 0;  // of the trailer's timestamps; 0: no trailer
    size_t cut = 0;        // bytes missing at the end
};
constexpr int32_t kWidth = 16, kHeight = 8;

// Sample i of frame k at `depth` bits: a smooth picture under noise in the low bits, as a
// camera gives, with a top value that uses the depth's every bit.
uint32_t Sample(int32_t depth, int k, size_t i) {
    const uint32_t level = uint32_t(30 + 9 * (i % kWidth) + 5 * (i / kWidth) + 7 * k) & 0xFF;
    const uint32_t noise = uint32_t(i * 2654435761u >> 7) & ((1u << (depth - 8)) - 1);
    return i == 0 ? (1u << depth) - 1 : level << (depth - 8) | noise;
}

std::string Save(const SerFile& f) {
    static const test::TempDir dir;
    SerHeader h;
    h.colorId = f.colour, h.depth = f.depth, h.littleEndian = f.flag;
    h.width = kWidth, h.height = kHeight, h.frameCount = f.count < 0 ? f.frames : f.count;
    std::snprintf(h.observer, sizeof h.observer, "observer");
    Bytes bytes;
    AppendSerHeader(bytes, h);
    const size_t samples = size_t(kWidth * kHeight * SerPlanes(f.colour));
    for (int k = 0; k < f.frames; ++k)
        for (size_t i = 0; i < samples; ++i) {
            const uint32_t v = Sample(std::max(f.bits ? f.bits : f.depth, 8), k, i);
            if (f.depth > 8 && f.big) bytes.push_back(uint8_t(v >> 8));
            bytes.push_back(uint8_t(v));
            if (f.depth > 8 && !f.big) bytes.push_back(uint8_t(v >> 8));
        }
    for (int k = 0; f.interval && k < f.frames; ++k) PutU64(bytes, uint64_t(k * f.interval));
    bytes.resize(bytes.size() - f.cut);
    const std::string path = dir.file(std::to_string(dir.names().size()) + ".ser");
    EXPECT_TRUE(test::WriteFileBytes(path, bytes));
    return path;
}

Bytes Joined(const test::SourceRead& read) {
    EXPECT_EQ(read.failure.message, "");
    Bytes all;
    for (const Image& f : read.frames) all.insert(all.end(), f.pixels.begin(), f.pixels.end());
    return all;
}

Bytes FfmpegDecode(const std::string& path, const std::string& input = "",
                   const char* pixFmt = "bgr24") {
    const test::TempDir dir;
    const std::string out = dir.file("out.raw");
    test::RunCommand("ffmpeg -v error " + input + " -i " + test::ShellQuote(path) +
                     " -f rawvideo -pix_fmt " + pixFmt + " " + out);
    return test::ReadFileBytes(out);
}

TEST(Ser, ReadAsFfmpegReadsIt) {
    const SerFile cases[] = {{.colour = kSerMono},      {.colour = kSerBayerRggb},
                             {.colour = kSerBayerGrbg}, {.colour = kSerBayerGbrg},
                             {.colour = kSerBayerBggr}, {.colour = kSerRgb},
                             {.colour = kSerBgr},       {.depth = 16, .flag = 1}};
    for (const SerFile& c : cases) {
        const std::string path = Save(c);
        Bytes want = FfmpegDecode(path);
        if (c.depth == 16) {
            // FFmpeg rounds 16 bits to 8; the samples it reads are what is compared.
            const Bytes wide = FfmpegDecode(path, "", "gray16le");
            for (size_t i = 0; i + 1 < wide.size(); i += 2)
                std::fill_n(&want[i / 2 * 3], 3, wide[i + 1]);
        }
        EXPECT_EQ(want.size(), size_t(3 * kWidth * kHeight * c.frames)) << c.colour;
        EXPECT_TRUE(Joined(test::ReadSource(path)) == want) << c.colour << " " << c.depth;
    }
    // kestrel-synth's mosaic of an odd size, whose edge libswscale reads past the last row.
    const test::TempDir dir;
    const std::string odd = dir.file("odd.ser");
    ASSERT_EQ(test::RunCommand(test::ShellQuote(KESTREL_SYNTH_PATH) +
                               " --width 37 --height 23 --frames 2 --format bayer --pattern GBRG "
                               "--no-dark --output " + test::ShellQuote(odd)).status,
              0);
    EXPECT_TRUE(Joined(test::ReadSource(odd)) == FfmpegDecode(odd));
}

// Every writer's idea of the flag, with the samples in either order, at depths that leave high
// bits unused and at one that does not; and the user's word over the header's.
TEST(Ser, EveryByteOrderAndDepth) {
    struct Case {
        SerFile file;
        InputOptions options;
    };
    std::vector<Case> cases;
    for (int32_t depth : {10, 12, 16})
        for (int32_t flag : {0, 1})
            for (bool big : {false, true})
                cases.push_back({{.depth = depth, .flag = flag, .big = big}, {}});
    cases.push_back({{.depth = 16, .big = true}, {.byteOrder = ByteOrder::Big}});
    // A header that says 16 for 12-bit samples, and the user who knows better.
    cases.push_back({{.depth = 16, .bits = 12}, {.bitDepth = 12}});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file.depth << " flag " << c.file.flag << " big "
                                        << c.file.big << " bits " << c.file.bits);
        SetInputOptions(c.options);
        const std::vector<Image> frames = test::ReadSource(Save(c.file), false).frames;
        SetInputOptions({});
        ASSERT_EQ(frames.size(), 3u);
        for (int k = 0; k < 3; ++k)
            for (size_t i = 0; i < frames[k].pixels.size(); ++i) {
                const int32_t bits = c.file.bits ? c.file.bits : c.file.depth;
                const uint32_t want = Sample(bits, k, i) >> (bits - 8);
                ASSERT_EQ(frames[k].pixels[i], std::min(want, 255u)) << k << " " << i;
            }
    }
}

// A flat frame (a bias, an overexposed flat) is as smooth in either order: the high bits its
// depth leaves unused tell.
TEST(Ser, ByteOrderOfAFlatFrame) {
    const Bytes little = {0x23, 0x01, 0x23, 0x01, 0x23, 0x01}, big = {0x01, 0x23, 0x01, 0x23};
    EXPECT_EQ(DetectByteOrder(little.data(), 3, 3, 1), ByteOrder::Little);
    EXPECT_EQ(DetectByteOrder(big.data(), 2, 2, 1), ByteOrder::Big);
}

// Only whole frames are read; the trailer only when it is whole, and then it sets the rate.
TEST(Ser, WholeFramesAndTheirRate) {
    const struct {
        SerFile file;
        size_t frames;
        uint32_t rate, scale;
    } cases[] = {
        {{.interval = 200'000}, 3, 50, 1},
        {{.interval = 333'667}, 3, 10'000'000, 333'667},
        {{.interval = 5'000'000'001}, 3, 1000, 500'000},  // past 32 bits: in milliseconds
        {{.count = 0, .interval = 200'000}, 3, 25, 1},
        {{.count = 9}, 3, 25, 1},
        {{.interval = 200'000, .cut = 1}, 3, 25, 1},
        {{.cut = 1}, 2, 25, 1},
        {{.frames = 0}, 0, 25, 1},
    };
    for (const auto& c : cases) {
        Settings s;
        s.InputFile = Save(c.file);
        Failure failure;
        ASSERT_TRUE(OpenInputVideo(s, failure));
        EXPECT_EQ(InputStreamInfo().dwRate, c.rate) << c.file.interval;
        EXPECT_EQ(InputStreamInfo().dwScale, c.scale) << c.file.interval;
        CloseInputVideo();
        EXPECT_EQ(test::ReadSource(s.InputFile).frames.size(), c.frames) << c.file.cut;
    }
}

// The pattern named by the FourCC, or by the user for a grey stream: FFmpeg's demosaicing.
TEST(Bayer, AviMosaicsAsFfmpegDemosaicsThem) {
    const test::TempDir dir;
    Bytes rows(kWidth * kHeight);
    std::mt19937 rng(7);
    for (uint8_t& v : rows) v = uint8_t(rng());
    ASSERT_TRUE(test::WriteFileBytes(dir.file("rows"), rows));
    const struct {
        const char* fourcc;
        std::optional<Bayer> option;
        const char* pixFmt;
    } cases[] = {{"RGGB", {}, "bayer_rggb8"},        {"BA81", {}, "bayer_bggr8"},
                 {"\xBAGR\x08", {}, "bayer_grbg8"},  {"Y800", Bayer::Gbrg, "bayer_gbrg8"},
                 {"RGGB", Bayer::None, "gray"},      {"BY8 ", {}, "gray"}};
    for (const auto& c : cases) {
        test::TestAvi avi;
        avi.streams = {test::VideoStream(
            test::VideoFormat(kWidth, kHeight, 8, FourCC(c.fourcc[0], c.fourcc[1], c.fourcc[2],
                                                         c.fourcc[3])))};
        avi.chunks = {{FourCC("00db"), rows}};
        const std::string path = dir.file("in.avi");
        ASSERT_TRUE(test::WriteFileBytes(path, test::BuildAvi(avi).bytes));
        SetInputOptions({.bayer = c.option});
        EXPECT_TRUE(Joined(test::ReadSource(path)) ==
                    FfmpegDecode(dir.file("rows"), "-f rawvideo -pix_fmt " + std::string(c.pixFmt) +
                                                       " -s 16x8"))
            << c.pixFmt;
        SetInputOptions({});
    }
}

// The same run written as SER and as AVI: FFmpeg reads the same pictures from both, and the SER
// file keeps the input's header texts and timestamps.
TEST(Ser, OutputIsTheAviOutputForFfmpeg) {
    const test::TempDir dir;
    const std::string in = Save({.colour = kSerBayerGrbg, .interval = 400'000});
    const std::string batch = test::ShellQuote(KESTREL_BATCH_PATH) + " -q -y --stretch ";
    for (const char* colour : {"--colour ", ""}) {
        for (const char* out : {"o.avi", "O.SER"})
            ASSERT_EQ(test::RunCommand(batch + colour + in + " " + dir.file(out)).status, 0);
        EXPECT_TRUE(FfmpegDecode(dir.file("O.SER")) == FfmpegDecode(dir.file("o.avi")));
        const Bytes ser = test::ReadFileBytes(dir.file("O.SER")), input = test::ReadFileBytes(in);
        const size_t frame = kWidth * kHeight * (*colour ? 3 : 1);
        ASSERT_EQ(ser.size(), kSerHeaderSize + 3 * frame + 3 * 8);
        EXPECT_TRUE(std::equal(ser.end() - 24, ser.end(), input.end() - 24));
        EXPECT_EQ(std::string(ser.begin() + 42, ser.begin() + 50), "observer");
    }
}

// A write the disk refuses leaves the frames before it whole, and the file complete.
TEST(Ser, AFailedWriteLeavesWholeFrames) {
    const test::TempDir dir;
    const std::string path = dir.file("cut.ser");
    const Bytes frame(kWidth * kHeight, 7);
    // Nor does a trailer of times that no longer fits take the frames with it.
    EXPECT_EQ(test::ExitCodeUnderFileSizeLimit(kSerHeaderSize + 2 * frame.size() + 10, [&] {
                  SerWriter w;
                  const SerHeader h{.width = kWidth, .height = kHeight};
                  const bool ok = w.create(path, h) && w.writeFrame(frame.data(), frame.size()) &&
                                  w.writeFrame(frame.data(), frame.size()) &&
                                  !w.writeFrame(frame.data(), frame.size()) && w.finish({1, 2});
                  return ok ? 0 : 1;
              }),
              0);
    EXPECT_EQ(test::ReadFileBytes(path).size(), kSerHeaderSize + 2 * frame.size());
    EXPECT_EQ(test::CountFrames(path), 2u);
}

// A master dark: the frames of a dark video averaged sample by sample, rounding half up.
TEST(Dark, AveragedFromAVideo) {
    Settings s;
    s.Colour = 0;
    Failure failure;
    s.DarkFrame = Save({.frames = 2});
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    for (size_t i = 0; i < DarkImage().pixels.size(); ++i)
        ASSERT_EQ(DarkImage().pixels[i], (Sample(8, 0, i) + Sample(8, 1, i) + 1) / 2) << i;
    s.DarkFrame = Save({.frames = 0});
    EXPECT_FALSE(LoadDarkFrame(s, failure));
    EXPECT_EQ(failure.details(), s.DarkFrame + ": the video holds no picture that can be read");
}

}  // namespace
}  // namespace kestrel
