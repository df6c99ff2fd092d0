// Compressed and YUV streams that FFmpeg writes, read through the frame source and compared with
// ffmpeg's own decoding of the same files; dropped, damaged and resized chunks in them; and an
// unknown compression, which must be refused at the start.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "io/avi_reader.h"
#include "io/ffmpeg_decode.h"
#include "io/frame_source.h"
#include "support/ffmpeg_fixture.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"

namespace kestrel {
namespace {

using test::ShellQuote;
using Bytes = std::vector<uint8_t>;

constexpr int kFrames = 8;
const char* const kSource = "size=64x48:rate=10";

// ffmpeg's decoding to blue-green-red with the scaler settings the frame source uses: nearest
// chroma, exact rounding. Differences from it are ours, not the scaler's.
Bytes FfmpegDecodeOurWay(const std::string& path) {
    const std::string raw =
        test::RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                         " -map 0:v:0 -vf scale=flags=neighbor+accurate_rnd+bitexact,format=bgr24"
                         " -f rawvideo - 2>/dev/null")
            .output;
    return Bytes(raw.begin(), raw.end());
}

bool HaveEncoder(const std::string& name) {
    return test::RunCommand("ffmpeg -hide_banner -encoders 2>/dev/null | grep -qw " + name)
               .status == 0;
}

// Writes testsrc2 pictures: its sharp coloured edges show any chroma or row-order mistake.
test::CommandResult MakeVideo(const std::string& path, const std::string& encode,
                              int frames = kFrames, const char* source = kSource) {
    return test::RunCommand(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=" + std::string(source) + " -frames:v " +
        std::to_string(frames) + " " + encode + " " + ShellQuote(path) + " 2>&1");
}

struct ReadResult {
    std::vector<Bytes> frames;  // blue-green-red, top row first
    Failure failure;
    int32_t width = 0, height = 0;
};

ReadResult ReadAll(const std::string& path) {
    Settings settings;
    settings.InputFile = path;
    settings.Colour = 1;
    ReadResult r;
    while (ReadNextFrame(settings, r.failure)) {
        EXPECT_TRUE(ImageBuffer().consistent());
        r.frames.push_back(ImageBuffer().pixels);
        r.width = ImageBuffer().width;
        r.height = ImageBuffer().height;
    }
    CloseInputVideo();
    return r;
}

Bytes Joined(const std::vector<Bytes>& frames) {
    Bytes all;
    for (const Bytes& f : frames) all.insert(all.end(), f.begin(), f.end());
    return all;
}

std::vector<Bytes> Split(const Bytes& all, size_t frameBytes) {
    std::vector<Bytes> out;
    for (size_t at = 0; at + frameBytes <= all.size(); at += frameBytes)
        out.emplace_back(all.begin() + std::ptrdiff_t(at),
                         all.begin() + std::ptrdiff_t(at + frameBytes));
    return out;
}

struct Difference {
    int max = 0;
    double mean = 0;
};

Difference Compare(const Bytes& a, const Bytes& b) {
    Difference d;
    if (a.size() != b.size() || a.empty()) return {256, 256};
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int e = std::abs(int(a[i]) - int(b[i]));
        d.max = std::max(d.max, e);
        sum += e;
    }
    d.mean = sum / double(a.size());
    return d;
}

struct Case {
    const char* name;
    const char* encode;  // ffmpeg output options
    const char* fourcc;  // what ffmpeg must have written as the stream's compression
    // Lossless RGB: ffmpeg's plain decoding to bgr24 is reproduced byte for byte. Otherwise it
    // is within kMaxDifference / kMeanDifference, the rounding of its faster YUV conversion.
    bool exact = false;
    // Options of a file with the same pictures whose plain decoding is the one to compare with,
    // where ffmpeg's own conversion of this one interpolates chroma (NV12) or where the file's
    // planes must be shown to be taken in the right order (YV12).
    const char* sameAs = nullptr;
    const char* encoder = nullptr;  // needed beyond FFmpeg's own
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

constexpr int kMaxDifference = 3;
constexpr double kMeanDifference = 0.75;
const char* const kI420 = "-c:v rawvideo -pix_fmt yuv420p -vtag I420";

using FfmpegCodecTest = test::FfmpegFixture;

class FfmpegCodecRead : public FfmpegCodecTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FfmpegCodecRead, PicturesAndFrameCountMatchFfmpegsDecoding) {
    const Case& c = GetParam();
    if (c.encoder && !HaveEncoder(c.encoder)) GTEST_SKIP() << "ffmpeg has no " << c.encoder;
    const std::string path = dir.file(std::string(c.name) + ".avi");
    const auto made = MakeVideo(path, c.encode);
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_EQ(test::Probe(path, "codec_tag_string,nb_read_frames"),
              "codec_tag_string=" + std::string(c.fourcc) +
                  "\nnb_read_frames=" + std::to_string(kFrames));

    const ReadResult got = ReadAll(path);
    EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
    ASSERT_EQ(got.frames.size(), size_t(kFrames));
    EXPECT_EQ(got.width, 64);
    EXPECT_EQ(got.height, 48);
    const Bytes ours = Joined(got.frames);

    const Bytes plain = test::FfmpegDecode(path);
    ASSERT_EQ(plain.size(), ours.size());
    if (c.exact) {
        EXPECT_TRUE(ours == plain);
        return;
    }
    EXPECT_TRUE(ours == FfmpegDecodeOurWay(path));
    Bytes reference = plain;
    if (c.sameAs) {
        const std::string other = dir.file("same.avi");
        ASSERT_EQ(MakeVideo(other, c.sameAs).status, 0);
        reference = test::FfmpegDecode(other);
    }
    const Difference d = Compare(ours, reference);
    EXPECT_LE(d.max, kMaxDifference);
    EXPECT_LE(d.mean, kMeanDifference);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, FfmpegCodecRead,
    ::testing::Values(
        Case{"yuy2", "-c:v rawvideo -pix_fmt yuyv422 -vtag YUY2", "YUY2"},
        Case{"yuyv", "-c:v rawvideo -pix_fmt yuyv422 -vtag YUYV", "YUYV"},
        Case{"uyvy", "-c:v rawvideo -pix_fmt uyvy422 -vtag UYVY", "UYVY"},
        Case{"yvyu", "-c:v rawvideo -pix_fmt yvyu422 -vtag YVYU", "YVYU"},
        Case{"i420", kI420, "I420"},
        Case{"iyuv", "-c:v rawvideo -pix_fmt yuv420p -vtag IYUV", "IYUV"},
        // YV12 stores V before U: the planes are swapped into the file so that it holds the
        // same pictures as the I420 one.
        Case{"yv12",
             "-vf format=yuv420p,shuffleplanes=0:2:1 -c:v rawvideo -pix_fmt yuv420p -vtag YV12",
             "YV12", false, kI420},
        Case{"nv12", "-c:v rawvideo -pix_fmt nv12 -vtag NV12", "NV12", false, kI420},
        Case{"mjpg", "-c:v mjpeg -q:v 3", "MJPG"},
        Case{"hfyu_rgb", "-c:v huffyuv -pix_fmt rgb24", "HFYU", true},
        Case{"hfyu_yuv", "-c:v huffyuv -pix_fmt yuv422p", "HFYU"},
        Case{"ffv1_rgb", "-c:v ffv1 -pix_fmt bgr0", "FFV1", true},
        Case{"ffv1_yuv", "-c:v ffv1 -pix_fmt yuv420p", "FFV1"},
        Case{"ulrg", "-c:v utvideo -pix_fmt gbrp", "ULRG", true},
        Case{"uly0", "-c:v utvideo -pix_fmt yuv420p", "ULY0"},
        Case{"uly2", "-c:v utvideo -pix_fmt yuv422p", "ULY2"},
        // B-frames: pictures come out of the codec late and in another order than the chunks.
        Case{"h264", "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 4 -preset fast", "H264", false,
             nullptr, "libx264"}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The chunks of the first video stream of an AVI file, and its strf.
struct Stream {
    Bytes format;
    std::vector<Bytes> chunks;
};

Stream ReadStream(const std::string& path) {
    AviReader reader;
    Stream s;
    EXPECT_EQ(reader.open(path), AviReadStatus::Ok);
    if (!reader.isOpen()) return s;
    s.format = reader.format();
    for (size_t i = 0; i < reader.frameCount(); ++i) {
        Bytes chunk;
        EXPECT_TRUE(reader.readChunk(reader.frame(i), chunk));
        s.chunks.push_back(chunk);
    }
    return s;
}

void WriteStream(const std::string& path, const Bytes& format, const std::vector<Bytes>& chunks) {
    test::TestAvi avi;
    avi.streams.push_back(test::VideoStream(format));
    for (const Bytes& c : chunks) avi.chunks.push_back({FourCC("00dc"), c});
    ASSERT_TRUE(test::WriteFileBytes(path, test::BuildAvi(avi).bytes));
}

TEST_F(FfmpegCodecTest, DroppedAndDamagedChunksRepeatThePictureBeforeThem) {
    // A codec without delay and one that holds pictures back and reorders them.
    struct Codec {
        const char* name;
        const char* encode;
        const char* encoder;
    };
    for (const Codec& codec :
         {Codec{"mjpg", "-c:v mjpeg", nullptr},
          Codec{"h264", "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 4", "libx264"},
          Codec{"yuy2", "-c:v rawvideo -pix_fmt yuyv422 -vtag YUY2", nullptr}}) {
        SCOPED_TRACE(codec.name);
        if (codec.encoder && !HaveEncoder(codec.encoder)) continue;
        const std::string original = dir.file(std::string(codec.name) + ".avi");
        ASSERT_EQ(MakeVideo(original, codec.encode).status, 0);
        const Stream s = ReadStream(original);
        ASSERT_EQ(s.chunks.size(), size_t(kFrames));
        const std::vector<Bytes> pictures = Split(FfmpegDecodeOurWay(original), 64 * 48 * 3);
        ASSERT_EQ(pictures.size(), size_t(kFrames));

        // Dropped first, middle and last frames: black before any picture, else the one
        // before, so that every later picture keeps its position.
        std::vector<Bytes> chunks = {{}};
        std::vector<Bytes> want = {Bytes(pictures[0].size(), 0)};
        for (int i = 0; i < kFrames; ++i) {
            chunks.push_back(s.chunks[size_t(i)]);
            want.push_back(pictures[size_t(i)]);
            if (i == 2 || i == kFrames - 1) {
                chunks.push_back({});
                want.push_back(pictures[size_t(i)]);
            }
        }
        const std::string dropped = dir.file("dropped.avi");
        WriteStream(dropped, s.format, chunks);
        ReadResult got = ReadAll(dropped);
        EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
        EXPECT_TRUE(got.frames == want);
        EXPECT_EQ(got.frames.size(), want.size());

        // Damaged chunks in the middle of an intra-only stream: the picture before repeats.
        if (std::string(codec.name) == "h264") continue;
        chunks = s.chunks;
        want = pictures;
        chunks[3] = Bytes(chunks[3].size() / 2, 0x5A);
        want[3] = want[2];
        // A short raw picture is refused; a short JPEG gives what of it is there, as in ffmpeg.
        if (std::string(codec.name) == "yuy2") {
            chunks[5].resize(chunks[5].size() - 1);
            want[5] = want[4];
        }
        const std::string damaged = dir.file("damaged.avi");
        WriteStream(damaged, s.format, chunks);
        got = ReadAll(damaged);
        EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
        ASSERT_EQ(got.frames.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) EXPECT_TRUE(got.frames[i] == want[i]) << i;
    }
}

TEST_F(FfmpegCodecTest, DroppedAndDamagedChunksAloneMakeNoPictures) {
    const std::string original = dir.file("mjpg.avi");
    ASSERT_EQ(MakeVideo(original, "-c:v mjpeg").status, 0);
    const Stream s = ReadStream(original);
    const std::string path = dir.file("nothing.avi");
    WriteStream(path, s.format, {{}, Bytes(500, 0x5A), {}});
    const ReadResult got = ReadAll(path);
    EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
    EXPECT_TRUE(got.frames.empty());
}

TEST_F(FfmpegCodecTest, APictureOfAnotherSizeEndsTheInputBeforeIt) {
    const std::string big = dir.file("big.avi"), small = dir.file("small.avi");
    ASSERT_EQ(MakeVideo(big, "-c:v mjpeg").status, 0);
    ASSERT_EQ(MakeVideo(small, "-c:v mjpeg", 2, "size=32x24:rate=10").status, 0);
    const Stream b = ReadStream(big), s = ReadStream(small);
    ASSERT_EQ(b.chunks.size(), size_t(kFrames));
    ASSERT_FALSE(s.chunks.empty());
    const std::vector<Bytes> pictures = Split(FfmpegDecodeOurWay(big), 64 * 48 * 3);
    ASSERT_EQ(pictures.size(), size_t(kFrames));
    std::vector<Bytes> chunks = b.chunks;
    chunks[3] = s.chunks[0];
    const std::string path = dir.file("mixed.avi");
    WriteStream(path, b.format, chunks);
    const ReadResult got = ReadAll(path);
    EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
    EXPECT_TRUE(got.frames == std::vector<Bytes>(pictures.begin(), pictures.begin() + 3));
}

// fuzz_avi ran out of memory on this: a run-length stream of "end of picture" codes alone made
// pictures of 16000 x 16000 out of a file of 300 bytes, and gigabytes to hold them.
TEST_F(FfmpegCodecTest, CompressedPicturesOverTheirLimitAreRefusedAtTheStart) {
    const uint32_t kBiRle8 = 1;
    const Bytes endOfPicture = {0x00, 0x01};
    const std::string path = dir.file("rle.avi");
    auto write = [&](int32_t width, int32_t height) {
        WriteStream(path, test::VideoFormat(width, height, 24, kBiRle8),
                    {endOfPicture, endOfPicture, endOfPicture});
    };
    write(16, 12);
    ReadResult got = ReadAll(path);
    EXPECT_TRUE(got.failure.message.empty()) << got.failure.message;
    EXPECT_TRUE(got.frames == std::vector<Bytes>(3, Bytes(16 * 12 * 3, 0)));

    // 3 x 9000 x 9942 bytes is just under the limit, one row more is over it.
    ASSERT_LE(uint64_t(3) * 9000 * 9942, kMaxCodedPictureBytes);
    ASSERT_GT(uint64_t(3) * 9000 * 9943, kMaxCodedPictureBytes);
    Settings settings;
    settings.InputFile = path;
    Failure failure;
    write(9000, 9942);
    EXPECT_TRUE(OpenInputVideo(settings, failure)) << failure.message;
    CloseInputVideo();
    for (auto [width, height] : {std::pair{9000, 9943}, std::pair{16000, 16000}}) {
        write(width, height);
        got = ReadAll(path);
        EXPECT_EQ(got.failure.message, "Can't open AVI input file") << width << " x " << height;
        EXPECT_TRUE(got.frames.empty());
    }
}

TEST_F(FfmpegCodecTest, UnknownCompressionIsRefusedAtTheStart) {
    const std::string path = dir.file("zzzz.avi");
    ASSERT_EQ(MakeVideo(path, "-c:v rawvideo -pix_fmt yuyv422 -vtag YUY2").status, 0);
    Bytes bytes = test::ReadFileBytes(path);
    // Both the stream header's handler and the strf's compression.
    const std::string yuy2 = "YUY2";
    int patched = 0;
    for (auto at = std::search(bytes.begin(), bytes.end(), yuy2.begin(), yuy2.end());
         at != bytes.end(); at = std::search(at, bytes.end(), yuy2.begin(), yuy2.end())) {
        std::fill(at, at + 4, uint8_t('Z'));
        ++patched;
    }
    ASSERT_EQ(patched, 2);
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));

    ImageBuffer().width = ImageBuffer().height = 9;
    const ReadResult got = ReadAll(path);
    EXPECT_EQ(got.failure.message, "Can't open AVI input file");
    EXPECT_TRUE(got.frames.empty());
    EXPECT_EQ(ImageBuffer().width, 0);
    EXPECT_EQ(ImageBuffer().height, 0);

    // The same for kestrel-batch, which writes no output.
    const std::string out = dir.file("out.avi");
    const auto run = test::RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -y " + ShellQuote(path) +
                                      " " + ShellQuote(out) + " 2>&1");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("Can't open AVI input file"), std::string::npos) << run.output;
}

TEST_F(FfmpegCodecTest, BatchRunOnMjpegWritesEveryPictureAndNoneOfFfmpegsMessages) {
    const std::string in = dir.file("in.avi"), out = dir.file("out.avi");
    ASSERT_EQ(MakeVideo(in, "-c:v mjpeg").status, 0);
    const std::vector<Bytes> pictures = Split(FfmpegDecodeOurWay(in), 64 * 48 * 3);
    ASSERT_EQ(pictures.size(), size_t(kFrames));
    // A damaged chunk makes FFmpeg's decoder complain; the complaint must not be shown.
    Stream s = ReadStream(in);
    s.chunks[4] = Bytes(s.chunks[4].size(), 0x5A);
    const std::string damaged = dir.file("damaged.avi");
    WriteStream(damaged, s.format, s.chunks);
    std::vector<Bytes> withRepeat = pictures;
    withRepeat[4] = withRepeat[3];

    for (const auto& [input, want] : {std::pair{in, pictures}, std::pair{damaged, withRepeat}}) {
        SCOPED_TRACE(input);
        const auto run = test::RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -y --colour " +
                                          ShellQuote(input) + " " + ShellQuote(out) + " 2>&1");
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output.find(" @ 0x"), std::string::npos) << run.output;
        EXPECT_EQ(
            test::Probe(out, "codec_name,width,height,nb_read_frames"),
            "codec_name=rawvideo\nwidth=64\nheight=48\nnb_read_frames=" + std::to_string(kFrames));
        EXPECT_TRUE(test::FfmpegDecode(out) == Joined(want));
    }
}

}  // namespace
}  // namespace kestrel
