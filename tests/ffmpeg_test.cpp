// Against the writer and decoder that nobody here wrote: files that ffmpeg writes in each layout
// and codec the README names are read by the frame source and compared byte for byte with
// ffmpeg's own decoding of the same file, converted as the frame source converts (libswscale,
// nearest chroma, exact rounding); chunks of them dropped, damaged and swapped; kestrel-batch's
// output read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "io/avi_reader.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/samples.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::Bytes;

// Every picture ffmpeg decodes from `path`, one for each chunk that holds one, converted as the
// frame source converts them (the options ride on the pixel format).
Bytes Decode(const std::string& path) {
    return test::FfmpegDecode(
        path, "bgr24 -fps_mode passthrough -sws_flags neighbor+accurate_rnd+bitexact");
}

Bytes Joined(const std::vector<Image>& frames) {
    Bytes all;
    for (const Image& f : frames) all.insert(all.end(), f.pixels.begin(), f.pixels.end());
    return all;
}

// The video stream of a file as our reader finds it, and what it holds, so that a case shows it
// tests what it names: the compression ("RGB" for BI_RGB), depth, row order, palette changes.
struct Stream {
    Bytes format;
    std::vector<Bytes> pictures;
    std::string holds;
};

Stream StreamOf(const std::string& path) {
    AviReader reader;
    if (reader.open(path) != AviReadStatus::Ok) return {};
    Stream s{reader.format(), std::vector<Bytes>(reader.frameCount()), ""};
    for (size_t i = 0; i < s.pictures.size(); ++i) reader.readChunk(reader.frame(i), s.pictures[i]);
    const size_t changes = reader.paletteChanges().size();
    const uint32_t compression = test::Le32(s.format, 16);
    s.holds = (compression ? std::string(&s.format[16], &s.format[20]) : "RGB") + " " +
              std::to_string(test::Le16(s.format, 14)) +
              (int32_t(test::Le32(s.format, 8)) < 0 ? " top-down" : "") +
              (changes ? " " + std::to_string(changes) + " palette changes" : "");
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

std::string Raw(const std::string& pixFmt, const std::string& tag = "") {
    return "-c:v rawvideo -pix_fmt " + pixFmt + (tag.empty() ? "" : " -vtag " + tag);
}

struct Case {
    const char* name;
    const char* source;  // of ffmpeg's test pattern
    std::string encode;  // ffmpeg's output options
    const char* holds;   // what ffmpeg's file holds
    // Written over the file's FourCC in turn, each read as the same pictures: ffmpeg 5.1 neither
    // writes nor reads grey of 16 bits or Bayer under their FourCCs.
    std::vector<std::string> tags = {""};
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FfmpegRead : public FfmpegTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FfmpegRead, FramesAreFfmpegsOwnDecoding) {
    const Case& c = GetParam();
    const std::string path = dir.file("in.avi");
    const auto made = test::MakeFfmpegVideo(path, c.source, c.encode + " -frames:v 8");
    ASSERT_EQ(made.status, 0) << made.output;
    EXPECT_EQ(StreamOf(path).holds, c.holds);
    Bytes want = Decode(path);
    if (c.tags[0] == "Y16 ") {
        // ffmpeg reads its file as 5-5-5: we show the high byte of the pattern's 16-bit grey.
        const std::string grey = test::RunCommand("ffmpeg -v error -f lavfi -i testsrc=" +
                                                  std::string(c.source) + " -frames:v 8 " +
                                                  Raw("gray16le") + " -f rawvideo -")
                                     .output;
        want.clear();
        for (size_t i = 1; i < grey.size(); i += 2) want.insert(want.end(), 3, uint8_t(grey[i]));
    }
    ASSERT_FALSE(want.empty());
    for (const std::string& tag : c.tags) {
        Bytes file = test::ReadFileBytes(path);
        // The handler in strh and the compression in strf of the file's only stream.
        for (const auto& [id, at] : {std::pair("strh", 12), std::pair("strf", 24)})
            std::ranges::copy(tag, std::search(file.begin(), file.end(), id, id + 4) + at);
        const std::string read = dir.file(std::to_string(&tag - c.tags.data()) + ".avi");
        ASSERT_TRUE(test::WriteFileBytes(read, file));
        const test::SourceRead got = test::ReadSource(read);
        EXPECT_TRUE(got.failure.message.empty()) << tag << got.failure.message;
        EXPECT_TRUE(Joined(got.frames) == want) << tag;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegRead,
    ::testing::Values(
        // ffmpeg stores raw RGB top row first unless told otherwise.
        Case{"bgr24", kRaw, Raw("bgr24"), "RGB 24 top-down"},
        Case{"bgr24_bottom_up", kRaw, "-vf vflip -flipped_raw_rgb 1 " + Raw("bgr24"), "RGB 24"},
        Case{"bgra", kRaw, Raw("bgra"), "RGB 32 top-down"},
        // ffmpeg 5.1 stores rgb565le as BI_RGB 16, which is 5-5-5, and reads it back so.
        Case{"rgb555", kRaw, Raw("rgb555le"), "RGB 16 top-down"},
        // A palette of its own for every picture after the first, which takes the one in strf.
        Case{"pal8_palette_changes", kRaw,
             "-vf \"split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1\" " +
                 Raw("pal8"),
             "RGB 8 top-down 7 palette changes"},
        // ffmpeg warns that it cannot write this, then writes BI_RGB 1-bit and reads it back.
        Case{"monob", kRaw, Raw("monob"), "RGB 1 top-down"},
        // Bayer pictures (BY8, and ffmpeg's own tag for BGGR) are shown as their grey samples.
        Case{"grey", kRaw, Raw("gray", "Y800"), "Y800 8",
             {"", "GREY", "Y8  ", "BY8 ", "\272BG\010"}},
        Case{"y16", kRaw, Raw("gray16le"), "RGB 16 top-down", {"Y16 "}},
        Case{"yuy2", kCoded, Raw("yuyv422", "YUY2"), "YUY2 16", {"", "YUYV"}},
        Case{"uyvy", kCoded, Raw("uyvy422", "UYVY"), "UYVY 16"},
        Case{"yvyu", kCoded, Raw("yvyu422", "YVYU"), "YVYU 16"},
        Case{"i420", kCoded, Raw("yuv420p", "I420"), "I420 12", {"", "IYUV"}},
        // V before U: the planes are swapped into the file, so that it shows the pattern.
        Case{"yv12", kCoded, "-vf format=yuv420p,shuffleplanes=0:2:1 " + Raw("yuv420p", "YV12"),
             "YV12 12"},
        Case{"nv12", kCoded, Raw("nv12", "NV12"), "NV12 12"},
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
// half as many bytes of garbage, '*' a picture of another size. A chunk that gives no picture
// repeats the one before (black before the first, when there is one); a picture of another size
// ends the input. kestrel-batch writes the same pictures, at the input's rate and with its name,
// and none of ffmpeg's complaints about the damaged ones.
TEST_F(FfmpegTest, ChunksThatGiveNoPictureRepeatTheOneBefore) {
    const std::pair<std::string, const char*> cases[] = {
        {"-c:v mjpeg", "-012-34567-"},
        {"-c:v libx264 -pix_fmt yuv420p -bf 2 -g 4", "-012-34567-"},
        {Raw("yuyv422", "YUY2"), "-012-34567-"},
        {"-c:v mjpeg", "012d4567"},
        {Raw("yuyv422", "YUY2"), "012d4567"},
        {"-c:v mjpeg", "-d-"},
        {"-c:v mjpeg", "012*4567"},
    };
    const size_t picture = 64 * 48 * 3;
    const std::string in = dir.file("in.avi"), path = dir.file("edited.avi"),
                      out = dir.file("out.avi");
    for (const auto& [encode, chunks] : cases) {
        SCOPED_TRACE(encode + ": " + chunks);
        ASSERT_EQ(test::MakeFfmpegVideo(in, kCoded, encode + " -frames:v 8").status, 0);
        const Stream s = StreamOf(in);
        const Bytes pictures = Decode(in);
        ASSERT_EQ(s.pictures.size(), 8u);
        ASSERT_EQ(pictures.size(), 8 * picture);
        ASSERT_EQ(test::MakeFfmpegVideo(in, "size=32x24", encode + " -frames:v 1").status, 0);
        const Bytes other = StreamOf(in).pictures.at(0);
        test::TestAvi avi;
        avi.streams = {test::VideoStream(s.format, "Jupiter")};
        std::tie(avi.streams[0].info.dwScale, avi.streams[0].info.dwRate) = std::pair(1001, 30000);
        Bytes want, last(picture, 0);
        bool ended = false, any = false;
        for (const char* k = chunks; *k; ++k) {
            const size_t n = size_t(std::isdigit(*k) ? *k - '0' : *k - 'a');
            Bytes chunk = *k == '*' ? other : *k == '-' ? Bytes{} : s.pictures.at(n);
            if (std::islower(*k)) chunk.assign(chunk.size() / 2, 0x5A);
            if (std::isdigit(*k))
                last.assign(pictures.begin() + std::ptrdiff_t(n * picture),
                            pictures.begin() + std::ptrdiff_t((n + 1) * picture));
            any = any || std::isdigit(*k);
            ended = ended || *k == '*';
            avi.chunks.push_back({FourCC("00dc"), chunk});
            if (!ended) want.insert(want.end(), last.begin(), last.end());
        }
        if (!any) want.clear();
        ASSERT_TRUE(test::WriteFileBytes(path, test::BuildAvi(avi).bytes));
        const test::SourceRead got = test::ReadSource(path);
        EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
        EXPECT_TRUE(Joined(got.frames) == want);
        if (want.empty()) continue;
        const auto run =
            test::RunCommand(test::ShellQuote(KESTREL_BATCH_PATH) + " -y --colour " +
                             test::ShellQuote(path) + " " + test::ShellQuote(out) + " 2>&1");
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output.find(" @ 0x"), std::string::npos) << run.output;
        EXPECT_EQ(test::Probe(out, "codec_name,pix_fmt,r_frame_rate:stream_tags=title"),
                  "codec_name=rawvideo\npix_fmt=bgr24\nr_frame_rate=30000/1001\nTAG:title=Jupiter");
        EXPECT_TRUE(test::FfmpegDecode(out) == want);
    }
}

// fuzz_avi ran out of memory on a run-length stream of "end of picture" codes alone, announced as
// 16000 x 16000: a coded picture of more than 256 MiB as 24-bit pixels is refused at the start,
// one just under it read.
TEST(FfmpegDecoding, CodedPicturesOverTheLimitAreRefusedAtTheStart) {
    const uint32_t kBiRle8 = 1;
    test::TempDir dir;
    for (const auto& [height, frames] : {std::pair(9942, size_t(1)), std::pair(9943, size_t(0))}) {
        test::TestAvi avi;
        avi.streams = {test::VideoStream(test::VideoFormat(9000, height, 24, kBiRle8))};
        avi.chunks = {{FourCC("00dc"), {0x00, 0x01}}};
        ASSERT_TRUE(test::WriteFileBytes(dir.file("in.avi"), test::BuildAvi(avi).bytes));
        const test::SourceRead got = test::ReadSource(dir.file("in.avi"), false, 1);
        EXPECT_EQ(got.failure.message, frames ? "" : "Can't open AVI input file") << height;
        EXPECT_EQ(got.frames.size(), frames) << height;
    }
}

}  // namespace
}  // namespace kestrel
