// kestrel-synth, run as the user runs it: its videos are walked by the strict RIFF checker and
// read back through the frame source and, where installed, by ffmpeg and ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "io/avi_format.h"
#include "base/byte_cursor.h"
#include "io/decode.h"
#include "io/frame_source.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_walk.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::ShellQuote;
using test::TempDir;
using Args = std::vector<std::string>;

constexpr uint8_t kHotThreshold = 200;  // the batch processor's default

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs kestrel-synth inside `dir`, so that default names land there.
RunResult RunSynth(const TempDir& dir, const Args& args) {
    std::string cmd = "cd " + ShellQuote(dir.path()) + " && " + ShellQuote(KESTREL_SYNTH_PATH);
    for (const std::string& a : args) cmd += " " + ShellQuote(a);
    const test::CommandResult r = test::RunCommand(cmd + " 2>" + ShellQuote(dir.file(".stderr")));
    return {r.status, r.output, test::ReadFileText(dir.file(".stderr"))};
}

Args Join(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The dark frame with its headers checked field by field, and its pixels (blue-green-red, top
// row first) as the frame source's own DIB conversion sees them: after its 14-byte file
// header, a bitmap file is a packed DIB.
void ReadDarkFrame(const std::string& path, Image& out) {
    const std::vector<uint8_t> bytes = ReadFileBytes(path);
    ByteCursor in(bytes.data(), bytes.size());
    const uint16_t type = in.u16();
    const uint32_t fileSize = in.u32(), reserved = in.u32(), offBits = in.u32();
    const BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    ASSERT_FALSE(in.failed());
    EXPECT_EQ(std::tie(type, fileSize, reserved, offBits),
              std::make_tuple(uint16_t('B' | 'M' << 8), uint32_t(bytes.size()), 0u, 54u));
    ASSERT_GT(h.biWidth, 0);
    ASSERT_GT(h.biHeight, 0) << "rows must be stored bottom row first";
    const size_t stride = Stride24(uint32_t(h.biWidth)), row = 3 * size_t(h.biWidth);
    EXPECT_EQ(
        std::tie(h.biSize, h.biPlanes, h.biBitCount, h.biCompression, h.biSizeImage, h.biClrUsed),
        std::make_tuple(40u, uint16_t(1), uint16_t(24), kBiRgb,
                        uint32_t(stride * size_t(h.biHeight)), 0u));
    ASSERT_EQ(bytes.size(), 54 + stride * size_t(h.biHeight));
    for (size_t at = 54; at < bytes.size(); at += stride)
        for (size_t pad = row; pad < stride; ++pad) EXPECT_EQ(bytes[at + pad], 0) << "row padding";

    std::vector<uint8_t> frame;
    out = Image{0, 0, 3, {}};
    ASSERT_TRUE(ConvertDibTo24(bytes.data() + 14, bytes.size() - 14, out.width, out.height, frame));
    for (size_t y = 0; y < size_t(out.height); ++y)
        out.pixels.insert(out.pixels.end(), frame.begin() + std::ptrdiff_t(y * stride),
                          frame.begin() + std::ptrdiff_t(y * stride + row));
}

size_t HotSamples(const Image& dark) {
    return size_t(std::count_if(dark.pixels.begin(), dark.pixels.end(),
                                [](uint8_t s) { return s >= kHotThreshold; }));
}

TEST(Synth, SameSeedGivesSameBytesAndAnotherSeedDoesNot) {
    TempDir dir;
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        auto run = [&](const char* seed, const std::string& name) {
            Args args = {"--width", "61", "--height", "37",          "--frames", "4",
                         "--seed",  seed, "--output", name + ".avi", "--dark",   name + ".bmp"};
            if (colour) args.push_back("--colour");
            ASSERT_EQ(RunSynth(dir, args).exitCode, 0);
        };
        run("7", "a");
        run("7", "b");
        run("8", "c");
        EXPECT_EQ(ReadFileBytes(dir.file("a.avi")), ReadFileBytes(dir.file("b.avi")));
        EXPECT_EQ(ReadFileBytes(dir.file("a.bmp")), ReadFileBytes(dir.file("b.bmp")));
        EXPECT_NE(ReadFileBytes(dir.file("a.avi")), ReadFileBytes(dir.file("c.avi")));
        EXPECT_NE(ReadFileBytes(dir.file("a.bmp")), ReadFileBytes(dir.file("c.bmp")));
    }
}

TEST(Synth, DarkFrameIsBottomUpTwentyFourBitBitmapWithPaddedRows) {
    TempDir dir;
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        // 5 pixels wide: 15 bytes of pixels and one byte of padding per row.
        Args args = {"--width",      "5", "--height", "3",     "--frames", "1",
                     "--hot-pixels", "2", "--dark",   "d5.bmp"};
        if (colour) args.push_back("--colour");
        ASSERT_EQ(RunSynth(dir, args).exitCode, 0);
        Image dark;
        ReadDarkFrame(dir.file("d5.bmp"), dark);
        ASSERT_EQ(dark.width, 5);
        ASSERT_EQ(dark.height, 3);
        // The rows' order, as an independent decoder sees it.
        if (test::HaveTool("ffmpeg")) {
            EXPECT_EQ(test::FfmpegDecode(dir.file("d5.bmp")), dark.pixels);
        }

        // A wider one: hot pixels are the only samples that reach the hot threshold, every one
        // with three equal bytes; the rest is a dark level of a few counts.
        args = {"--width", "63",           "--height", "41",     "--frames",
                "1",       "--hot-pixels", "30",       "--dark", "d63.bmp"};
        if (colour) args.push_back("--colour");
        ASSERT_EQ(RunSynth(dir, args).exitCode, 0);
        ReadDarkFrame(dir.file("d63.bmp"), dark);
        int hot = 0, tinted = 0;
        for (size_t p = 0; p < dark.pixels.size(); p += 3) {
            const uint8_t* s = &dark.pixels[p];
            if (s[0] >= kHotThreshold || s[1] >= kHotThreshold || s[2] >= kHotThreshold) {
                ++hot;
                EXPECT_TRUE(s[0] == s[1] && s[1] == s[2]) << "hot pixel " << p / 3;
            } else {
                EXPECT_LT(s[0], 16);
                if (s[0] != s[1] || s[1] != s[2]) ++tinted;
            }
        }
        EXPECT_EQ(hot, 30);
        if (colour)
            EXPECT_GT(tinted, 0) << "colour dark frames have a pattern per channel";
        else
            EXPECT_EQ(tinted, 0) << "grey dark frames have equal channels";
    }
}

TEST(Synth, EveryFormatHasItsHeadersTheDarkFramesHotPixelsAndFfmpegsPictures) {
    struct Variant {
        const char* name;
        Args args;
        const char* pixFmt;  // as ffprobe names it
    };
    const Variant variants[] = {{"grey bgr24", {}, "bgr24"},
                                {"colour bgr24", {"--colour"}, "bgr24"},
                                {"pal8", {"--format", "pal8"}, "pal8"},
                                {"y800", {"--format", "y800"}, "gray"}};
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        TempDir dir;
        const Args args = {"--width", "37", "--height",     "23", "--frames", "6",
                           "--fps",   "30", "--hot-pixels", "40", "--seed",   "5"};
        const RunResult r = RunSynth(dir, Join(args, v.args));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("sky.avi"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("6 frames"), std::string::npos) << r.out;

        test::AviLayout avi;
        ASSERT_TRUE(test::ReadAviFile(dir.file("sky.avi"), avi));
        const std::vector<Image> frames = test::ReadAllFrames(dir.file("sky.avi"));
        ASSERT_EQ(frames.size(), 6u);
        const bool y800 = std::string(v.pixFmt) == "gray", pal8 = std::string(v.pixFmt) == "pal8";
        const uint64_t stride = y800 ? 37 : pal8 ? 40 : Stride24(37);
        ASSERT_EQ(avi.frames.size(), 6u);
        for (const test::ChunkRef& c : avi.frames)
            EXPECT_EQ(std::tie(c.id, c.size),
                      std::make_tuple(FourCC("00db"), uint32_t(stride * 23)));
        EXPECT_EQ(
            std::make_tuple(avi.avihField(test::kAvihTotalFrames), avi.avihField(test::kAvihWidth),
                            avi.avihField(test::kAvihHeight)),
            std::make_tuple(6u, 37u, 23u));
        const AviStreamInfo& strh = avi.stream;
        EXPECT_EQ(std::tie(strh.fccType, strh.fccHandler, strh.dwScale, strh.dwRate, strh.dwLength,
                           strh.dwQuality, strh.rcFrameRight, strh.rcFrameBottom),
                  std::make_tuple(kFccVids, y800 ? FourCC("Y800") : 0u, 1u, 30u, 6u, 0xFFFFFFFFu,
                                  37, 23));
        ByteCursor strf(avi.bytes.data() + avi.strf.data, avi.strf.size);
        const BitmapInfoHeader format = ReadBitmapInfoHeader(strf);
        EXPECT_EQ(
            std::tie(format.biWidth, format.biHeight, format.biBitCount, format.biCompression),
            std::make_tuple(37, 23, uint16_t(y800 || pal8 ? 8 : 24),
                            y800 ? FourCC("Y800") : kBiRgb));
        if (pal8) {
            EXPECT_EQ(format.biClrUsed, 256u);
            ASSERT_EQ(strf.remaining(), 1024u);
            for (size_t i = 0; i < 256; ++i) {
                const uint8_t* e = strf.here() + 4 * i;
                EXPECT_TRUE(e[0] == i && e[1] == i && e[2] == i) << "grey ramp entry " << i;
            }
        }

        Image dark;
        ReadDarkFrame(dir.file("dark.bmp"), dark);
        ASSERT_EQ(HotSamples(dark), 40u * 3);
        for (size_t i = 0; i < frames.size(); ++i) {
            const std::vector<uint8_t>& frame = frames[i].pixels;
            ASSERT_EQ(frame.size(), dark.pixels.size());
            for (size_t s = 0; s < dark.pixels.size(); ++s) {
                if (dark.pixels[s] >= kHotThreshold) {
                    ASSERT_EQ(frame[s], dark.pixels[s]) << "frame " << i << " sample " << s;
                }
            }
            if (i > 0) {
                EXPECT_NE(frame, frames[0].pixels) << "frame " << i << " repeats frame 0";
            }
        }

        if (!test::HaveFfmpeg()) continue;
        EXPECT_EQ(test::Probe(dir.file("sky.avi"),
                              "codec_name,width,height,pix_fmt,r_frame_rate,"
                              "nb_read_frames"),
                  "codec_name=rawvideo\nwidth=37\nheight=23\npix_fmt=" + std::string(v.pixFmt) +
                      "\nr_frame_rate=30/1\nnb_read_frames=6");
        std::vector<uint8_t> ours;
        for (const Image& f : frames) ours.insert(ours.end(), f.pixels.begin(), f.pixels.end());
        EXPECT_TRUE(test::FfmpegDecode(dir.file("sky.avi")) == ours);
    }
}

// Brightness-weighted centre of the samples above `floor` in a window.
bool Centroid(const Image& img, int32_t cx, int32_t cy, int32_t r, int floor, double& x,
              double& y) {
    double sum = 0, sx = 0, sy = 0;
    for (int32_t yy = std::max(0, cy - r); yy <= std::min(img.height - 1, cy + r); ++yy)
        for (int32_t xx = std::max(0, cx - r); xx <= std::min(img.width - 1, cx + r); ++xx) {
            const int v = img.pixels[(size_t(yy) * size_t(img.width) + size_t(xx)) * 3] - floor;
            if (v <= 0) continue;
            sum += v;
            sx += v * xx;
            sy += v * yy;
        }
    if (sum <= 0) return false;
    x = sx / sum;
    y = sy / sum;
    return true;
}

TEST(Synth, SceneHasGlowGradientsAndDriftingStars) {
    TempDir dir;
    ASSERT_EQ(
        RunSynth(dir, {"--width", "160", "--height", "120", "--frames", "30", "--hot-pixels", "0"})
            .exitCode,
        0);
    const std::vector<Image> frames = test::ReadAllFrames(dir.file("sky.avi"));
    ASSERT_EQ(frames.size(), 30u);
    Image dark;
    ReadDarkFrame(dir.file("dark.bmp"), dark);
    Image f0 = frames[0], last = frames[29];
    for (Image* f : {&f0, &last})
        for (size_t s = 0; s < f->pixels.size(); ++s)
            f->pixels[s] = uint8_t(std::max(0, f->pixels[s] - dark.pixels[s]));

    // Medians of bands shrug off the stars.
    auto median = [&](int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
        std::vector<uint8_t> v;
        for (int32_t y = y0; y < y1; ++y)
            for (int32_t x = x0; x < x1; ++x)
                v.push_back(f0.pixels[(size_t(y) * 160 + size_t(x)) * 3]);
        std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(v.size() / 2), v.end());
        return int(v[v.size() / 2]);
    };
    EXPECT_GT(median(0, 160, 100, 120), median(0, 160, 0, 20) + 5) << "glow across rows";
    EXPECT_GT(median(140, 160, 0, 120), median(0, 20, 0, 120) + 3) << "glow across columns";

    // The brightest star away from the edges: by the last frame it must have crept by a pixel
    // or a few (at most 30/256 pixel per frame in x, 20/256 in y, never under 8/256 in all).
    const int floor = median(0, 160, 0, 120) + 12;
    size_t best = 0;
    for (size_t p = 0; p < f0.pixels.size(); p += 3) {
        const int32_t x = int32_t(p / 3 % 160), y = int32_t(p / 3 / 160);
        if (x >= 10 && x < 150 && y >= 10 && y < 110 && f0.pixels[p] > f0.pixels[best]) best = p;
    }
    ASSERT_GT(f0.pixels[best], floor + 20) << "no star stands out of the sky";
    const int32_t bx = int32_t(best / 3 % 160), by = int32_t(best / 3 / 160);
    double x0, y0, x1, y1;
    ASSERT_TRUE(Centroid(f0, bx, by, 7, floor, x0, y0));
    ASSERT_TRUE(Centroid(last, bx, by, 7, floor, x1, y1));
    const double moved = std::abs(x1 - x0) + std::abs(y1 - y0);
    EXPECT_GT(moved, 0.5) << "the star did not drift";
    EXPECT_LT(moved, 6.0) << "the drift is not slow";
}

TEST(Synth, CommandLine) {
    TempDir dir;
    const std::vector<Args> bad = {
        {"--bogus"}, {"stray"}, {"--width"}, {"--width", "0"}, {"--width", "12x"},
        {"--height", "-5"}, {"--frames", "1e3"}, {"--fps", "0"}, {"--seed", ""},
        {"--format", "rgb"}, {"--colour", "--format", "pal8"}, {"--color", "--format", "y800"},
        {"--width", "10", "--height", "10", "--hot-pixels", "101"}, {"--help=yes"},
        {"--output", "same.x", "--dark", "same.x"},
    };
    for (const Args& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        const RunResult r = RunSynth(dir, args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("kestrel-synth: "), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(dir.names(), Args{".stderr"});
    }

    const RunResult help = RunSynth(dir, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--hot-pixels"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("sky.avi")));

    // Defaults: 320 x 240, 50 frames at 25 per second, one hot pixel per 2000, dark.bmp.
    const RunResult r = RunSynth(dir, {});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    test::AviLayout avi;
    ASSERT_TRUE(test::ReadAviFile(dir.file("sky.avi"), avi));
    EXPECT_EQ(std::make_tuple(avi.frames.size(), avi.avihField(test::kAvihWidth),
                              avi.avihField(test::kAvihHeight), avi.u16(avi.strf.data + 14),
                              avi.stream.dwRate),
              std::make_tuple(size_t(50), 320u, 240u, uint16_t(24), 25u));
    Image dark;
    ReadDarkFrame(dir.file("dark.bmp"), dark);
    EXPECT_EQ(HotSamples(dark), 320u * 240 / 2000 * 3);

    // At least one hot pixel, whatever the size; --no-dark writes no bitmap.
    ASSERT_EQ(RunSynth(dir, {"--width", "9", "--height", "9", "--dark", "tiny.bmp"}).exitCode, 0);
    ReadDarkFrame(dir.file("tiny.bmp"), dark);
    EXPECT_EQ(HotSamples(dark), 3u);
    ASSERT_EQ(RunSynth(dir, {"--no-dark", "--frames", "1", "--dark", "none.bmp"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(dir.file("none.bmp")));

    // An output that cannot be created is a failure, not a usage error.
    const RunResult fail = RunSynth(dir, {"--output", dir.file("no/such/dir/x.avi"), "--no-dark"});
    EXPECT_EQ(fail.exitCode, 1);
    EXPECT_FALSE(fail.err.empty());
}

}  // namespace
}  // namespace kestrel
