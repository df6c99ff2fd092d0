// Against the writer and decoder that nobody here wrote: files that ffmpeg writes in each layout
// and codec the README names are read by the frame source and compared byte for byte with
// ffmpeg's own decoding of the same file, converted as the frame source converts (libswscale,
// nearest chroma, exact rounding); chunks of them dropped, damaged and swapped; kestrel-batch's
// outputs read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/samples.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::Bytes;
using test::ShellQuote;

// Every picture ffmpeg decodes from `path`, one for each chunk that holds one.
Bytes Decode(const std::string& path) {
    const std::string raw =
        test::RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                         " -map 0:v:0 -fps_mode passthrough -vf scale=flags=neighbor+accurate_rnd"
                         "+bitexact,format=bgr24 -f rawvideo - 2>/dev/null")
            .output;
    return Bytes(raw.begin(), raw.end());
}

// Our grey levels of blue-green-red bytes, each repeated `channels` times.
Bytes Grey(const Bytes& bgr, size_t channels) {
    Bytes grey;
    for (size_t i = 0; i + 2 < bgr.size(); i += 3)
        grey.insert(grey.end(), channels, GreyLevel(bgr[i], bgr[i + 1], bgr[i + 2]));
    return grey;
}

Bytes Joined(const std::vector<Image>& frames) {
    Bytes all;
    for (const Image& f : frames) all.insert(all.end(), f.pixels.begin(), f.pixels.end());
    return all;
}

std::string Batch(const std::string& options, const std::string& in, const std::string& out) {
    return ShellQuote(KESTREL_BATCH_PATH) + " -y " + options + " " + ShellQuote(in) + " " +
           ShellQuote(out) + " 2>&1";
}

// The chunks of a RIFF file in file order, lists entered, as they lie: ffmpeg's files hold chunks
// that the support library's strict walker refuses.
struct Chunk {
    std::string id;
    size_t at = 0;  // of the data
    uint32_t size = 0;
};

void Walk(const Bytes& b, size_t at, size_t end, std::vector<Chunk>& out) {
    for (uint32_t size; at + 8 <= end && (size = test::Le32(b, at + 4)) <= end - at - 8;
         at += 8 + size + (size & 1)) {
        const std::string id(reinterpret_cast<const char*>(&b[at]), 4);
        if ((id == "RIFF" || id == "LIST") && size >= 4)
            Walk(b, at + 12, at + 8 + size, out);
        else
            out.push_back({id, at + 8, size});
    }
}

std::vector<Chunk> Chunks(const Bytes& file) {
    std::vector<Chunk> out;
    Walk(file, 0, file.size(), out);
    return out;
}

// What the video stream of a file holds, so that a case shows it tests what it names: its
// compression ("RGB" for BI_RGB), depth and row order, and its palette changes.
std::string Stored(const Bytes& file) {
    std::string s;
    int changes = 0;
    bool video = false;
    for (const Chunk& c : Chunks(file)) {
        if (c.id == "strh") video = test::Le32(file, c.at) == kFccVids;
        if (c.id == "strf" && video && s.empty()) {
            const char* compression = reinterpret_cast<const char*>(&file[c.at + 16]);
            s = (test::Le32(file, c.at + 16) ? std::string(compression, 4) : "RGB") + " " +
                std::to_string(test::Le16(file, c.at + 14)) +
                (int32_t(test::Le32(file, c.at + 8)) < 0 ? " top-down" : "");
        }
        changes += c.id.ends_with("pc");
    }
    return changes ? s + " " + std::to_string(changes) + " palette changes" : s;
}

// The strf and the picture chunks of stream 0.
struct Stream {
    Bytes format;
    std::vector<Bytes> pictures;
};

Stream StreamOf(const Bytes& file) {
    Stream s;
    for (const Chunk& c : Chunks(file)) {
        const Bytes data(file.begin() + std::ptrdiff_t(c.at),
                         file.begin() + std::ptrdiff_t(c.at + c.size));
        if (c.id == "strf" && s.format.empty()) s.format = data;
        if (c.id == "00dc" || c.id == "00db") s.pictures.push_back(data);
    }
    return s;
}

class FfmpegTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    }
    test::TempDir dir;
};

const char* const kRaw = "size=33x17:rate=5";  // an odd width: rows end inside their padding
const char* const kCoded = "size=64x48:rate=10";
// Files of this source have a name too, and kestrel-batch's output of them is checked.
const char* const kNamed = "size=37x21:rate=30000/1001";

struct Case {
    const char* name;
    const char* source;  // of ffmpeg's test pattern
    std::string encode;  // ffmpeg's output options
    const char* stored;  // what the file holds
    // ffmpeg 5.1 neither writes nor reads grey of 16 bits or Bayer under their FourCCs: this one
    // is written over the file's, and the reference is the pattern's grey samples (of 16 bits,
    // their high byte).
    const char* retag = nullptr;
    size_t repeated = 0;  // a frame dropped here repeats the one before; ffmpeg decodes none
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FfmpegRead : public FfmpegTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FfmpegRead, FramesInGreyAndColourAreFfmpegsOwnDecoding) {
    const Case& c = GetParam();
    const std::string path = dir.file("in.avi"), source = c.source;
    const bool named = source == kNamed;
    const auto made = test::MakeFfmpegVideo(
        path, source, (named ? "-metadata:s:v:0 title=Jupiter " : "") + c.encode + " -frames:v 8");
    ASSERT_EQ(made.status, 0) << made.output;
    Bytes file = test::ReadFileBytes(path), want;
    if (c.retag) {
        for (const Chunk& h : Chunks(file))
            if (h.id == "strh" || h.id == "strf")
                std::copy_n(c.retag, 4, &file[h.at + (h.id == "strh" ? 4 : 16)]);
        ASSERT_TRUE(test::WriteFileBytes(path, file));
        const bool wide = std::string(c.retag) == "Y16 ";
        const std::string raw =
            test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=" + source +
                             " -frames:v 8 -f rawvideo -pix_fmt gray" + (wide ? "16le -" : " -"))
                .output;
        for (size_t i = wide; i < raw.size(); i += wide ? 2 : 1)
            want.insert(want.end(), 3, uint8_t(raw[i]));
    } else {
        want = Decode(path);
    }
    EXPECT_EQ(Stored(file), c.stored);
    ASSERT_FALSE(want.empty());
    int32_t width = 0, height = 0;
    ASSERT_EQ(std::sscanf(c.source, "size=%dx%d", &width, &height), 2);
    for (bool colour : {true, false}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        test::SourceRead got = test::ReadSource(path, colour);
        EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
        if (c.repeated) {
            ASSERT_GT(got.frames.size(), c.repeated);
            EXPECT_TRUE(got.frames[c.repeated].pixels == got.frames[c.repeated - 1].pixels);
            got.frames.erase(got.frames.begin() + std::ptrdiff_t(c.repeated));
        }
        for (const Image& f : got.frames)
            ASSERT_EQ(std::tie(f.width, f.height), std::tie(width, height));
        EXPECT_TRUE(Joined(got.frames) == (colour ? want : Grey(want, 1)));
        if (!named) continue;
        // The output: raw bgr24 with the input's size, rate, name and pictures, grey or not.
        const std::string out = dir.file("out.avi");
        const auto run = test::RunCommand(Batch(colour ? "-q --colour" : "-q", path, out));
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(test::Probe(out, "codec_name,width,height,pix_fmt,r_frame_rate,nb_read_frames"
                                   ":stream_tags=title"),
                  "codec_name=rawvideo\nwidth=37\nheight=21\npix_fmt=bgr24\n"
                  "r_frame_rate=30000/1001\nnb_read_frames=8\nTAG:title=Jupiter");
        EXPECT_TRUE(test::FfmpegDecode(out) == (colour ? want : Grey(want, 3)));
    }
}

const char* const kGrey = "-c:v rawvideo -pix_fmt gray -vtag ";

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegRead,
    ::testing::Values(
        // ffmpeg stores raw RGB top row first unless told otherwise.
        Case{"bgr24", kNamed, "-c:v rawvideo -pix_fmt bgr24", "RGB 24 top-down"},
        Case{"bgr24_bottom_up", kRaw, "-vf vflip -flipped_raw_rgb 1 -c:v rawvideo -pix_fmt bgr24",
             "RGB 24"},
        Case{"bgra", kRaw, "-c:v rawvideo -pix_fmt bgra", "RGB 32 top-down"},
        // ffmpeg 5.1 stores rgb565le as BI_RGB 16, which is 5-5-5, and reads it back so.
        Case{"rgb555", kRaw, "-c:v rawvideo -pix_fmt rgb555le", "RGB 16 top-down"},
        Case{"pal8", kNamed, "-c:v rawvideo -pix_fmt pal8", "RGB 8 top-down"},
        // A palette of its own for every picture.
        Case{"pal8_palette_changes", kRaw,
             "-vf \"split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1\" "
             "-c:v rawvideo -pix_fmt pal8",
             "RGB 8 top-down 7 palette changes"},
        // ffmpeg warns that it cannot write these, then writes BI_RGB 1-bit and reads it back.
        Case{"monow", kRaw, "-c:v rawvideo -pix_fmt monow", "RGB 1 top-down"},
        Case{"monob", kRaw, "-c:v rawvideo -pix_fmt monob", "RGB 1 top-down"},
        Case{"y800", kNamed, std::string(kGrey) + "Y800", "Y800 8"},
        Case{"grey", kRaw, std::string(kGrey) + "GREY", "GREY 8"},
        Case{"y8", kRaw, std::string(kGrey) + "'Y8  '", "Y8   8"},
        Case{"y800_unpadded", "size=36x9:rate=5", std::string(kGrey) + "Y800", "Y800 8"},
        Case{"y16", kRaw, "-c:v rawvideo -pix_fmt gray16le", "Y16  16 top-down", "Y16 "},
        Case{"by8", kRaw, std::string(kGrey) + "Y800", "BY8  8", "BY8 "},
        Case{"bayer_bggr8", kRaw, std::string(kGrey) + "Y800", "\xBA" "BG\x08 8", "\xBA" "BG\x08"},
        Case{"one_pixel_wide", "size=1x5:rate=5", "-c:v rawvideo -pix_fmt bgr24",
             "RGB 24 top-down"},
        Case{"after_audio", kRaw,
             "-f lavfi -i sine=d=1 -map 1:a -map 0:v -c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8",
             "RGB 24 top-down"},
        Case{"dropped_frame", kRaw,
             "-vf \"select='not(eq(n\\,2))'\" -fps_mode passthrough -c:v rawvideo -pix_fmt bgr24",
             "RGB 24 top-down", nullptr, 2},
        Case{"yuy2", kCoded, "-c:v rawvideo -pix_fmt yuyv422 -vtag YUY2", "YUY2 16"},
        Case{"yuyv", kCoded, "-c:v rawvideo -pix_fmt yuyv422 -vtag YUYV", "YUYV 16"},
        Case{"uyvy", kCoded, "-c:v rawvideo -pix_fmt uyvy422 -vtag UYVY", "UYVY 16"},
        Case{"yvyu", kCoded, "-c:v rawvideo -pix_fmt yvyu422 -vtag YVYU", "YVYU 16"},
        Case{"i420", kCoded, "-c:v rawvideo -pix_fmt yuv420p -vtag I420", "I420 12"},
        Case{"iyuv", kCoded, "-c:v rawvideo -pix_fmt yuv420p -vtag IYUV", "IYUV 12"},
        // V before U: the planes are swapped into the file, so that it shows the pattern.
        Case{"yv12", kCoded,
             "-vf format=yuv420p,shuffleplanes=0:2:1 -c:v rawvideo -pix_fmt yuv420p -vtag YV12",
             "YV12 12"},
        Case{"nv12", kCoded, "-c:v rawvideo -pix_fmt nv12 -vtag NV12", "NV12 12"},
        Case{"mjpg", kCoded, "-c:v mjpeg -q:v 3", "MJPG 24"},
        Case{"hfyu_rgb", kCoded, "-c:v huffyuv -pix_fmt rgb24", "HFYU 24"},
        Case{"hfyu_yuv", kCoded, "-c:v huffyuv -pix_fmt yuv422p", "HFYU 16"},
        Case{"ffv1_rgb", kCoded, "-c:v ffv1 -pix_fmt bgr0", "FFV1 24"},
        Case{"ffv1_yuv", kCoded, "-c:v ffv1 -pix_fmt yuv420p", "FFV1 24"},
        Case{"ulrg", kCoded, "-c:v utvideo -pix_fmt gbrp", "ULRG 24"},
        Case{"uly0", kCoded, "-c:v utvideo -pix_fmt yuv420p", "ULY0 24"},
        Case{"uly2", kCoded, "-c:v utvideo -pix_fmt yuv422p", "ULY2 24"},
        // B-frames: pictures come out of the codec late and in another order than the chunks.
        Case{"h264", kCoded, "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 4 -preset fast", "H264 24"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Files put together from the chunks of one that ffmpeg wrote, a character a chunk: a digit is its
// picture of that number, '-' a dropped frame (no bytes), a..h its picture 0..7 overwritten by
// half as many bytes of garbage, A..H the same one byte short, '*' a picture of another size. A
// chunk that gives no picture repeats the one before (black before the first, when there is
// one); a picture of another size ends the input. kestrel-batch writes the same pictures, and
// none of ffmpeg's complaints about the damaged ones.
TEST_F(FfmpegTest, ChunksThatGiveNoPictureRepeatTheOneBefore) {
    const std::string kYuy2 = "-c:v rawvideo -pix_fmt yuyv422 -vtag YUY2";
    const std::pair<std::string, const char*> cases[] = {
        {"-c:v mjpeg", "-012-34567-"},
        {"-c:v libx264 -pix_fmt yuv420p -bf 2 -g 4", "-012-34567-"},
        {kYuy2, "-012-34567-"},
        {"-c:v mjpeg", "012d4567"},
        // A short JPEG gives what of it is there, as in ffmpeg; a short raw picture is refused.
        {kYuy2, "012d4F67"},
        {"-c:v mjpeg", "-d-"},
        {"-c:v mjpeg", "012*4567"},
    };
    const size_t picture = 64 * 48 * 3;
    const std::string in = dir.file("in.avi"), other = dir.file("other.avi"),
                      path = dir.file("edited.avi"), out = dir.file("out.avi");
    for (const auto& [encode, chunks] : cases) {
        SCOPED_TRACE(encode + ": " + chunks);
        ASSERT_EQ(test::MakeFfmpegVideo(in, kCoded, encode + " -frames:v 8").status, 0);
        const Stream s = StreamOf(test::ReadFileBytes(in));
        const Bytes pictures = Decode(in);
        ASSERT_EQ(s.pictures.size(), 8u);
        ASSERT_EQ(pictures.size(), 8 * picture);
        test::TestAvi avi;
        avi.streams = {test::VideoStream(s.format)};
        Bytes want, last(picture, 0);
        bool ended = false, any = false;
        for (const char* k = chunks; *k; ++k) {
            const size_t n = size_t(std::isdigit(*k) ? *k - '0' : std::tolower(*k) - 'a');
            Bytes chunk;
            if (*k == '*') {
                ASSERT_EQ(
                    test::MakeFfmpegVideo(other, "size=32x24", encode + " -frames:v 1").status, 0);
                chunk = StreamOf(test::ReadFileBytes(other)).pictures.at(0);
                ended = true;
            } else if (std::isalnum(*k)) {
                chunk = s.pictures.at(n);
                if (std::islower(*k)) chunk.assign(chunk.size() / 2, 0x5A);
                if (std::isupper(*k)) chunk.pop_back();
                if (std::isdigit(*k))
                    last.assign(pictures.begin() + std::ptrdiff_t(n * picture),
                                pictures.begin() + std::ptrdiff_t((n + 1) * picture));
                any = any || std::isdigit(*k);
            }
            avi.chunks.push_back({FourCC("00dc"), chunk});
            if (!ended) want.insert(want.end(), last.begin(), last.end());
        }
        if (!any) want.clear();
        ASSERT_TRUE(test::WriteFileBytes(path, test::BuildAvi(avi).bytes));
        const test::SourceRead got = test::ReadSource(path);
        EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
        EXPECT_TRUE(Joined(got.frames) == want);
        if (want.empty()) continue;
        const auto run = test::RunCommand(Batch("--colour", path, out));
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output.find(" @ 0x"), std::string::npos) << run.output;
        EXPECT_TRUE(test::FfmpegDecode(out) == want);
    }
}

// fuzz_avi ran out of memory on a run-length stream of "end of picture" codes alone, announced as
// 16000 x 16000: a compressed picture of more than 256 MiB as 24-bit pixels is refused at the
// start, as is a compression that ffmpeg cannot decode.
TEST(FfmpegDecoding, PicturesOverTheLimitAndUnknownCompressionsAreRefusedAtTheStart) {
    const uint32_t kBiRle8 = 1;
    const struct {
        uint32_t compression;
        int32_t width, height;
        size_t frames;
        const char* message;
    } cases[] = {
        {kBiRle8, 16, 12, 3, ""},
        {kBiRle8, 9000, 9942, 1, ""},  // 3 x 9000 x 9942 bytes: just under the limit
        {kBiRle8, 9000, 9943, 0, "Can't open AVI input file"},
        {FourCC("ZZZZ"), 16, 12, 0, "Can't open AVI input file"},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.compression << ": " << c.width << " x " << c.height);
        test::TestAvi avi;
        avi.streams = {test::VideoStream(test::VideoFormat(c.width, c.height, 24, c.compression))};
        avi.chunks.assign(3, {FourCC("00dc"), {0x00, 0x01}});
        ASSERT_TRUE(test::WriteFileBytes(dir.file("in.avi"), test::BuildAvi(avi).bytes));
        const auto got = test::ReadSource(dir.file("in.avi"), false, std::max<size_t>(c.frames, 1));
        EXPECT_EQ(got.failure.message, c.message);
        ASSERT_EQ(got.frames.size(), c.frames);
        for (const Image& f : got.frames)
            EXPECT_EQ(std::count(f.pixels.begin(), f.pixels.end(), 0),
                      std::ptrdiff_t(f.pixels.size()));
    }
}

}  // namespace
}  // namespace kestrel
