// kestrel-synth, run as the user runs it: its files are read back by a decoder written here from
// the format rules and, where installed, by ffmpeg and ffprobe.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "io/avi_format.h"
#include "io/byte_io.h"
#include "io/image.h"
#include "support/riff_walk.h"

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::AviLayout;
using test::Fcc;
using test::LoadU16;
using test::LoadU32;
using test::ReadAviLayout;
using test::ReadWholeFile;

constexpr uint8_t kHotThreshold = 200;  // the batch processor's default

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "kestrel-synth-XXXXXX").string();
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return (fs::path(path_) / name).string(); }

private:
    std::string path_;
};

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs kestrel-synth inside `dir` (so that default names land there).
RunResult RunSynth(const TempDir& dir, const std::vector<std::string>& args) {
    std::string cmd = "cd " + Quote(dir.path()) + " && " + Quote(KESTREL_SYNTH_PATH);
    for (const std::string& a : args) cmd += " " + Quote(a);
    cmd += " >" + Quote(dir.file(".stdout")) + " 2>" + Quote(dir.file(".stderr"));
    RunResult r;
    int status = std::system(cmd.c_str());
    if (status != -1 && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    r.out = ReadText(dir.file(".stdout"));
    r.err = ReadText(dir.file(".stderr"));
    return r;
}

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// Every picture below is decoded to blue-green-red, top row first, no padding.
Image Bgr(int32_t w, int32_t h) {
    Image img;
    img.width = w;
    img.height = h;
    img.channels = 3;
    img.pixels.assign(size_t(w) * size_t(h) * 3, 0);
    return img;
}

// The dark frame, read by the rules of the bitmap format; the header fields are checked too.
void DecodeDarkBitmap(const std::vector<uint8_t>& bytes, Image& out) {
    ByteCursor in(bytes.data(), bytes.size());
    ASSERT_EQ(in.u8(), 'B');
    ASSERT_EQ(in.u8(), 'M');
    const uint32_t bfSize = in.u32();
    EXPECT_EQ(in.u32(), 0u) << "reserved fields";
    const uint32_t offBits = in.u32();
    BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    ASSERT_FALSE(in.failed());
    EXPECT_EQ(bfSize, bytes.size());
    EXPECT_EQ(offBits, 54u);
    EXPECT_EQ(h.biSize, 40u);
    EXPECT_EQ(h.biPlanes, 1);
    ASSERT_EQ(h.biBitCount, 24);
    EXPECT_EQ(h.biCompression, kBiRgb);
    EXPECT_EQ(h.biClrUsed, 0u);
    ASSERT_GT(h.biWidth, 0);
    ASSERT_GT(h.biHeight, 0) << "rows must be stored bottom row first";
    const size_t stride = Stride24(uint32_t(h.biWidth));
    EXPECT_EQ(h.biSizeImage, stride * size_t(h.biHeight));
    ASSERT_EQ(bytes.size(), 54 + stride * size_t(h.biHeight));
    out = Bgr(h.biWidth, h.biHeight);
    const size_t row = size_t(h.biWidth) * 3;
    for (int32_t r = 0; r < h.biHeight; ++r) {
        const uint8_t* file = bytes.data() + 54 + size_t(r) * stride;
        std::copy(file, file + row, out.pixels.begin() + std::ptrdiff_t((h.biHeight - 1 - r) * row));
        for (size_t pad = row; pad < stride; ++pad) EXPECT_EQ(file[pad], 0) << "padding of row " << r;
    }
}

struct DecodedVideo {
    AviLayout layout;
    BitmapInfoHeader format;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> palette;  // RGBQUADs that follow the header in strf
};

void OpenVideo(const std::string& path, DecodedVideo& v) {
    v.bytes = ReadWholeFile(path);
    std::string error;
    ASSERT_TRUE(ReadAviLayout(v.bytes, v.layout, error)) << error;
    ByteCursor in(v.bytes.data() + v.layout.strf.data, v.layout.strf.size);
    v.format = ReadBitmapInfoHeader(in);
    ASSERT_FALSE(in.failed());
    v.palette.assign(in.here(), in.here() + in.remaining());
}

// Frame `i` by the DIB rules: BI_RGB rows bottom-up and padded to 4 bytes, palette indices
// through the colour table, Y800 rows top-down and unpadded.
void DecodeFrame(const DecodedVideo& v, size_t i, Image& out) {
    const BitmapInfoHeader& f = v.format;
    const bool y800 = f.biCompression == FourCC("Y800");
    ASSERT_TRUE(f.biCompression == kBiRgb || y800);
    ASSERT_TRUE(f.biBitCount == 24 || f.biBitCount == 8);
    ASSERT_GT(f.biHeight, 0);
    const size_t w = size_t(f.biWidth), h = size_t(f.biHeight);
    const size_t stride = y800 ? w : size_t(DibStride(w, f.biBitCount));
    const test::ChunkRef& c = v.layout.frames.at(i);
    ASSERT_EQ(c.size, stride * h);
    out = Bgr(f.biWidth, f.biHeight);
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* row = v.bytes.data() + c.data + (y800 ? y : h - 1 - y) * stride;
        uint8_t* dst = out.pixels.data() + y * w * 3;
        for (size_t x = 0; x < w; ++x) {
            if (f.biBitCount == 24) {
                std::copy(row + 3 * x, row + 3 * x + 3, dst + 3 * x);
            } else if (y800) {
                dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = row[x];
            } else {
                size_t at = size_t(row[x]) * 4;
                ASSERT_LT(at + 3, v.palette.size());
                std::copy(v.palette.begin() + std::ptrdiff_t(at), v.palette.begin() + std::ptrdiff_t(at + 3),
                          dst + 3 * x);
            }
        }
    }
}

struct Variant {
    const char* name;
    std::vector<std::string> args;
    const char* pixFmt;  // as ffprobe names it
};

std::vector<Variant> Variants() {
    return {{"grey bgr24", {}, "bgr24"},
            {"colour bgr24", {"--colour"}, "bgr24"},
            {"pal8", {"--format", "pal8"}, "pal8"},
            {"y800", {"--format", "y800"}, "gray"}};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Synth, SameSeedGivesSameBytesAndAnotherSeedDoesNot) {
    TempDir dir;
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        auto run = [&](const char* seed, const std::string& name) {
            std::vector<std::string> args = {"--width", "61", "--height", "37", "--frames", "4",
                                             "--seed", seed, "--output", name + ".avi",
                                             "--dark", name + ".bmp"};
            if (colour) args.push_back("--colour");
            ASSERT_EQ(RunSynth(dir, args).exitCode, 0);
        };
        run("7", "a");
        run("7", "b");
        run("8", "c");
        EXPECT_EQ(ReadWholeFile(dir.file("a.avi")), ReadWholeFile(dir.file("b.avi")));
        EXPECT_EQ(ReadWholeFile(dir.file("a.bmp")), ReadWholeFile(dir.file("b.bmp")));
        EXPECT_NE(ReadWholeFile(dir.file("a.avi")), ReadWholeFile(dir.file("c.avi")));
        EXPECT_NE(ReadWholeFile(dir.file("a.bmp")), ReadWholeFile(dir.file("c.bmp")));
    }
}

TEST(Synth, DarkFrameIsBottomUpTwentyFourBitBitmapWithPaddedRows) {
    TempDir dir;
    // 5 pixels wide: 15 bytes of pixels and one byte of padding per row.
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        std::vector<std::string> args = {"--width", "5", "--height", "3", "--frames", "1",
                                         "--hot-pixels", "2", "--dark", "d5.bmp"};
        if (colour) args.push_back("--colour");
        ASSERT_EQ(RunSynth(dir, args).exitCode, 0);
        std::vector<uint8_t> bytes = ReadWholeFile(dir.file("d5.bmp"));
        ASSERT_EQ(bytes.size(), 54u + 3 * 16);
        Image dark;
        DecodeDarkBitmap(bytes, dark);
        ASSERT_EQ(dark.width, 5);
        ASSERT_EQ(dark.height, 3);

        // The rows' order, as an independent decoder sees it.
        if (HaveTool("ffmpeg")) {
            std::string raw = Capture("ffmpeg -v error -i " + Quote(dir.file("d5.bmp")) +
                                      " -f rawvideo -pix_fmt bgr24 -");
            EXPECT_EQ(std::vector<uint8_t>(raw.begin(), raw.end()), dark.pixels);
        }
    }

    // A wider one: hot pixels are the only samples that reach the hot threshold, every one
    // with three equal bytes; the rest is a dark level of a few counts.
    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        std::vector<std::string> args = {"--width", "63", "--height", "41", "--frames", "1",
                                         "--hot-pixels", "30", "--dark", "d63.bmp"};
        if (colour) args.push_back("--colour");
        ASSERT_EQ(RunSynth(dir, args).exitCode, 0);
        Image dark;
        DecodeDarkBitmap(ReadWholeFile(dir.file("d63.bmp")), dark);
        int hot = 0, tinted = 0;
        for (size_t p = 0; p < dark.pixels.size(); p += 3) {
            const uint8_t* s = &dark.pixels[p];
            bool anyHot = s[0] >= kHotThreshold || s[1] >= kHotThreshold || s[2] >= kHotThreshold;
            if (anyHot) {
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

TEST(Synth, VideoHeadersAndHotPixelsMatchTheDarkFrameInEveryFormat) {
    for (const Variant& v : Variants()) {
        SCOPED_TRACE(v.name);
        TempDir dir;
        std::vector<std::string> args = {"--width", "37", "--height", "23", "--frames", "6",
                                         "--fps", "30", "--hot-pixels", "40", "--seed", "5"};
        RunResult r = RunSynth(dir, Join(args, v.args));
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find("sky.avi"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("6 frames"), std::string::npos) << r.out;

        DecodedVideo video;
        OpenVideo(dir.file("sky.avi"), video);
        const AviLayout& l = video.layout;
        ASSERT_EQ(l.frames.size(), 6u);
        for (const test::ChunkRef& c : l.frames) EXPECT_EQ(c.id, Fcc("00db"));
        EXPECT_EQ(LoadU32(video.bytes, l.avih.data + 16), 6u) << "dwTotalFrames";
        EXPECT_EQ(LoadU32(video.bytes, l.avih.data + 32), 37u);
        EXPECT_EQ(LoadU32(video.bytes, l.avih.data + 36), 23u);
        const uint64_t strh = l.strh.data;
        const bool y800 = std::string(v.pixFmt) == "gray";
        EXPECT_EQ(LoadU32(video.bytes, strh), Fcc("vids"));
        EXPECT_EQ(LoadU32(video.bytes, strh + 4), y800 ? Fcc("Y800") : 0u);
        EXPECT_EQ(LoadU32(video.bytes, strh + 20), 1u) << "dwScale";
        EXPECT_EQ(LoadU32(video.bytes, strh + 24), 30u) << "dwRate";
        EXPECT_EQ(LoadU32(video.bytes, strh + 32), 6u) << "dwLength";
        EXPECT_EQ(LoadU32(video.bytes, strh + 40), 0xFFFFFFFFu) << "dwQuality";
        EXPECT_EQ(LoadU16(video.bytes, strh + 52), 37) << "rcFrame right";
        EXPECT_EQ(LoadU16(video.bytes, strh + 54), 23) << "rcFrame bottom";
        EXPECT_EQ(video.format.biWidth, 37);
        EXPECT_EQ(video.format.biHeight, 23);
        if (std::string(v.pixFmt) == "pal8") {
            EXPECT_EQ(video.format.biClrUsed, 256u);
            ASSERT_EQ(video.palette.size(), 1024u);
            for (size_t i = 0; i < 256; ++i)
                EXPECT_TRUE(video.palette[4 * i] == i && video.palette[4 * i + 1] == i &&
                            video.palette[4 * i + 2] == i)
                    << "grey ramp entry " << i;
        }

        Image dark;
        DecodeDarkBitmap(ReadWholeFile(dir.file("dark.bmp")), dark);
        ASSERT_EQ(dark.pixels.size(), size_t(37 * 23 * 3));
        Image frame, first;
        for (size_t i = 0; i < l.frames.size(); ++i) {
            DecodeFrame(video, i, frame);
            ASSERT_EQ(frame.pixels.size(), dark.pixels.size());
            int hot = 0;
            for (size_t s = 0; s < dark.pixels.size(); ++s) {
                if (dark.pixels[s] < kHotThreshold) continue;
                ++hot;
                ASSERT_EQ(frame.pixels[s], dark.pixels[s]) << "frame " << i << " sample " << s;
            }
            EXPECT_EQ(hot, 40 * 3);
            if (i == 0)
                first = frame;
            else
                EXPECT_NE(frame.pixels, first.pixels) << "frame " << i << " repeats frame 0";
        }
    }
}

TEST(Synth, IndependentDecodersAgreeOnEveryFormat) {
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe")) GTEST_SKIP() << "ffmpeg or ffprobe is not installed";
    for (const Variant& v : Variants()) {
        SCOPED_TRACE(v.name);
        TempDir dir;
        std::vector<std::string> args = {"--width", "45", "--height", "19", "--frames", "9",
                                         "--fps", "12", "--no-dark"};
        ASSERT_EQ(RunSynth(dir, Join(args, v.args)).exitCode, 0);
        const std::string avi = Quote(dir.file("sky.avi"));
        std::string probe = Capture(
            "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
            "stream=codec_name,pix_fmt,width,height,nb_read_frames,r_frame_rate -of default=nw=1 " +
            avi);
        EXPECT_NE(probe.find("codec_name=rawvideo\n"), std::string::npos) << probe;
        EXPECT_NE(probe.find("pix_fmt=" + std::string(v.pixFmt) + "\n"), std::string::npos) << probe;
        EXPECT_NE(probe.find("width=45\n"), std::string::npos) << probe;
        EXPECT_NE(probe.find("height=19\n"), std::string::npos) << probe;
        EXPECT_NE(probe.find("r_frame_rate=12/1\n"), std::string::npos) << probe;
        EXPECT_NE(probe.find("nb_read_frames=9\n"), std::string::npos) << probe;

        std::string raw = Capture("ffmpeg -v error -i " + avi + " -f rawvideo -pix_fmt bgr24 -");
        const size_t frameBytes = 45 * 19 * 3;
        ASSERT_EQ(raw.size(), 9 * frameBytes);
        DecodedVideo video;
        OpenVideo(dir.file("sky.avi"), video);
        Image frame;
        for (size_t i = 0; i < 9; ++i) {
            DecodeFrame(video, i, frame);
            std::vector<uint8_t> theirs(raw.begin() + std::ptrdiff_t(i * frameBytes),
                                        raw.begin() + std::ptrdiff_t((i + 1) * frameBytes));
            EXPECT_EQ(frame.pixels, theirs) << "frame " << i;
        }
    }
}

// Brightness-weighted centre of the samples above `floor` in a window.
bool Centroid(const Image& img, int32_t cx, int32_t cy, int32_t r, int floor, double& x, double& y) {
    double sum = 0, sx = 0, sy = 0;
    for (int32_t yy = std::max(0, cy - r); yy <= std::min(img.height - 1, cy + r); ++yy)
        for (int32_t xx = std::max(0, cx - r); xx <= std::min(img.width - 1, cx + r); ++xx) {
            int v = img.pixels[(size_t(yy) * size_t(img.width) + size_t(xx)) * 3] - floor;
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
    ASSERT_EQ(RunSynth(dir, {"--width", "160", "--height", "120", "--frames", "30",
                             "--hot-pixels", "0"}).exitCode, 0);
    DecodedVideo video;
    OpenVideo(dir.file("sky.avi"), video);
    Image dark;
    DecodeDarkBitmap(ReadWholeFile(dir.file("dark.bmp")), dark);
    Image f0, last;
    DecodeFrame(video, 0, f0);
    DecodeFrame(video, 29, last);
    for (Image* f : {&f0, &last})
        for (size_t s = 0; s < f->pixels.size(); ++s)
            f->pixels[s] = uint8_t(std::max(0, f->pixels[s] - dark.pixels[s]));

    // Medians of bands shrug off the stars.
    auto median = [&](int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
        std::vector<uint8_t> v;
        for (int32_t y = y0; y < y1; ++y)
            for (int32_t x = x0; x < x1; ++x) v.push_back(f0.pixels[(size_t(y) * 160 + size_t(x)) * 3]);
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
        int32_t x = int32_t(p / 3 % 160), y = int32_t(p / 3 / 160);
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
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"stray"},
        {"--width"},
        {"--width", "0"},
        {"--width", "12x"},
        {"--height", "-5"},
        {"--frames", "1e3"},
        {"--fps", "0"},
        {"--seed", ""},
        {"--format", "rgb"},
        {"--colour", "--format", "pal8"},
        {"--color", "--format", "y800"},
        {"--width", "10", "--height", "10", "--hot-pixels", "101"},
        {"--help=yes"},
        {"--output", "same.x", "--dark", "same.x"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        SCOPED_TRACE(joined);
        RunResult r = RunSynth(dir, args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("kestrel-synth: "), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_FALSE(fs::exists(dir.file("sky.avi")));
        EXPECT_FALSE(fs::exists(dir.file("dark.bmp")));
    }

    RunResult help = RunSynth(dir, {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--hot-pixels"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.file("sky.avi")));

    // Defaults: 320 x 240, 50 frames at 25 per second, one hot pixel per 2000, dark.bmp.
    RunResult r = RunSynth(dir, {});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    DecodedVideo video;
    OpenVideo(dir.file("sky.avi"), video);
    EXPECT_EQ(video.layout.frames.size(), 50u);
    EXPECT_EQ(video.format.biWidth, 320);
    EXPECT_EQ(video.format.biHeight, 240);
    EXPECT_EQ(video.format.biBitCount, 24);
    EXPECT_EQ(LoadU32(video.bytes, video.layout.strh.data + 24), 25u);
    Image dark;
    DecodeDarkBitmap(ReadWholeFile(dir.file("dark.bmp")), dark);
    size_t hot = 0;
    for (uint8_t s : dark.pixels) hot += s >= kHotThreshold;
    EXPECT_EQ(hot, 320u * 240 / 2000 * 3);

    // At least one hot pixel, whatever the size; --no-dark writes no bitmap.
    ASSERT_EQ(RunSynth(dir, {"--width", "9", "--height", "9", "--dark", "tiny.bmp"}).exitCode, 0);
    DecodeDarkBitmap(ReadWholeFile(dir.file("tiny.bmp")), dark);
    hot = 0;
    for (uint8_t s : dark.pixels) hot += s >= kHotThreshold;
    EXPECT_EQ(hot, 3u);
    ASSERT_EQ(RunSynth(dir, {"--no-dark", "--frames", "1", "--dark", "none.bmp"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(dir.file("none.bmp")));

    // An output that cannot be created is a failure, not a usage error.
    RunResult fail = RunSynth(dir, {"--output", dir.file("no/such/dir/x.avi"), "--no-dark"});
    EXPECT_EQ(fail.exitCode, 1);
    EXPECT_FALSE(fail.err.empty());
}

}  // namespace
}  // namespace kestrel
