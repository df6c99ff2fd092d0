// Against the writer and decoder that nobody here wrote: files that ffmpeg writes in each layout
// and codec the README names are read by the frame source and compared byte for byte with
// ffmpeg's own decoding of the same file, converted as the frame source converts (libswscale,
// nearest chroma, exact rounding); chunks of them dropped, damaged and swapped; kestrel-batch's
// output read back by ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>
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

// The video stream's format and chunks as our reader finds them.
std::pair<Bytes, std::vector<Bytes>> StreamOf(const std::string& path) {
    AviReader reader;
    EXPECT_EQ(reader.open(path), AviReadStatus::Ok) << path;
    std::vector<Bytes> chunks(reader.frameCount());
    for (size_t i = 0; i < chunks.size(); ++i) reader.readChunk(reader.frame(i), chunks[i]);
    return {reader.format(), chunks};
}

const char* const kRaw = "size=33x17:rate=5";  // an odd width: rows end inside their padding
const char* const kCoded = "size=64x48:rate=10";

std::string Raw(const std::string& pixFmt, const std::string& tag = "") {
    return "-c:v rawvideo -pix_fmt " + pixFmt + (tag.empty() ? "" : " -vtag " + tag);
}

struct Case {
    const char* name;
    const char* source;  // of ffmpeg's test pattern
    std::string encode;  // ffmpeg's output options
    // Written over the file's FourCC in turn, each read as the same pictures: ffmpeg 5.1 does
    // not write Bayer under its FourCCs.
    std::vector<std::string> tags = {""};
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class FfmpegRead : public ::testing::TestWithParam<Case> {};

TEST_P(FfmpegRead, FramesAreFfmpegsOwnDecoding) {
    const Case& c = GetParam();
    const test::TempDir dir;
    const std::string path = dir.file("in.avi");
    const auto made = test::MakeFfmpegVideo(path, c.source, c.encode + " -frames:v 8");
    ASSERT_EQ(made.status, 0) << made.output;
    const Bytes want = Decode(path);
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
        Case{"bgr24", kRaw, Raw("bgr24")},
        Case{"bgr24_bottom_up", kRaw, "-vf vflip -flipped_raw_rgb 1 " + Raw("bgr24")},
        Case{"bgra", kRaw, Raw("bgra")},
        // ffmpeg 5.1 stores rgb565le as BI_RGB 16, which is 5-5-5, and reads it back so.
        Case{"rgb555", kRaw, Raw("rgb555le")},
        // A palette of its own for every picture after the first, which takes the one in strf.
        Case{"pal8_palette_changes", kRaw,
             "-vf \"split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1\" " +
                 Raw("pal8")},
        // ffmpeg warns that it cannot write this, then writes BI_RGB 1-bit and reads it back.
        Case{"monob", kRaw, Raw("monob")},
        // BY8 names no Bayer pattern: its pictures are shown as their grey samples.
        Case{"grey", kRaw, Raw("gray", "Y800"), {"", "GREY", "Y8  ", "BY8 "}},
        Case{"yuy2", kCoded, Raw("yuyv422", "YUY2"), {"", "YUYV"}},
        Case{"uyvy", kCoded, Raw("uyvy422", "UYVY")},
        Case{"yvyu", kCoded, Raw("yvyu422", "YVYU")},
        Case{"i420", kCoded, Raw("yuv420p", "I420"), {"", "IYUV"}},
        // V before U: the planes are swapped into the file, so that it shows the pattern.
        Case{"yv12", kCoded, "-vf format=yuv420p,shuffleplanes=0:2:1 " + Raw("yuv420p", "YV12")},
        Case{"nv12", kCoded, Raw("nv12", "NV12")},
        Case{"mjpg", kCoded, "-c:v mjpeg -q:v 3"},
        Case{"hfyu_rgb", kCoded, "-c:v huffyuv -pix_fmt rgb24"},
        Case{"hfyu_yuv", kCoded, "-c:v huffyuv -pix_fmt yuv422p"},
        Case{"ffv1_rgb", kCoded, "-c:v ffv1 -pix_fmt bgr0"},
        Case{"ffv1_yuv", kCoded, "-c:v ffv1 -pix_fmt yuv420p"},
        Case{"ulrg", kCoded, "-c:v utvideo -pix_fmt gbrp"},
        Case{"uly0", kCoded, "-c:v utvideo -pix_fmt yuv420p"},
        Case{"uly2", kCoded, "-c:v utvideo -pix_fmt yuv422p"},
        // B-frames: pictures come out of the codec late and in another order than the chunks.
        Case{"h264", kCoded, "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 4 -preset fast"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Files put together from the chunks of one that ffmpeg wrote, a character a chunk: a digit is its
// picture of that number, '-' a dropped frame (no bytes), 'd' its picture 3 overwritten by half as
// many bytes of garbage, '*' a picture of another size; and the pictures shown, 'k' for black. A
// chunk that gives no picture repeats the one before (black before the first, when there is
// one); a picture of another size ends the input. kestrel-batch writes the same pictures, at the
// input's rate and with its name, and none of ffmpeg's complaints about the damaged ones.
TEST(FfmpegTest, ChunksThatGiveNoPictureRepeatTheOneBefore) {
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {"-c:v mjpeg", "-012-34567-", "k0122345677"},
        {"-c:v libx264 -pix_fmt yuv420p -bf 2 -g 4", "-012-34567-", "k0122345677"},
        {"-c:v mjpeg", "012d4567", "01224567"},
        {"-c:v mjpeg", "-d-", ""},
        {"-c:v mjpeg", "012*4567", "012"},
    };
    const size_t picture = 64 * 48 * 3;
    const test::TempDir dir;
    const std::string in = dir.file("in.avi"), path = dir.file("edited.avi"),
                      out = dir.file("out.avi");
    for (const auto& [encode, script, shown] : cases) {
        SCOPED_TRACE(encode + ": " + script);
        ASSERT_EQ(test::MakeFfmpegVideo(in, "size=32x24", encode + " -frames:v 1").status, 0);
        const Bytes other = StreamOf(in).second.at(0);
        ASSERT_EQ(test::MakeFfmpegVideo(in, kCoded, encode + " -frames:v 8").status, 0);
        const auto [format, chunks] = StreamOf(in);
        Bytes pictures = Decode(in);
        ASSERT_EQ(pictures.size(), 8 * picture);
        pictures.resize(9 * picture, 0);  // and black
        test::TestAvi avi;
        avi.streams = {test::VideoStream(format, "Jupiter")};
        std::tie(avi.streams[0].info.dwScale, avi.streams[0].info.dwRate) = std::pair(1001, 30000);
        for (const char* k = script; *k; ++k) {
            const size_t n = std::string_view("01234567").find(*k);
            Bytes chunk = n < 8 ? chunks.at(n) : *k == '*' ? other : Bytes{};
            if (*k == 'd') chunk.assign(chunks[3].size() / 2, 0x5A);
            avi.chunks.push_back({FourCC("00dc"), chunk});
        }
        Bytes want;
        for (const char* k = shown; *k; ++k) {
            const size_t n = std::string_view("01234567k").find(*k);
            want.insert(want.end(), pictures.begin() + std::ptrdiff_t(n * picture),
                        pictures.begin() + std::ptrdiff_t((n + 1) * picture));
        }
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
// 16000 x 16000: a coded picture just under 256 MiB as 24-bit pixels is read, one over it is
// refused at the start (decode_test).
TEST(FfmpegDecoding, ACodedPictureJustUnderTheLimitIsRead) {
    const test::TempDir dir;
    test::TestAvi avi;
    avi.streams = {test::VideoStream(test::VideoFormat(9000, 9942, 24, 1))};  // 1: BI_RLE8
    avi.chunks = {{FourCC("00dc"), {0x00, 0x01}}};                            // end of picture
    ASSERT_TRUE(test::WriteFileBytes(dir.file("in.avi"), test::BuildAvi(avi).bytes));
    EXPECT_EQ(test::ReadSource(dir.file("in.avi"), false, 1).frames.size(), 1u);
}

}  // namespace
}  // namespace kestrel
