// Against the reader and writer that nobody here wrote: files that FFmpeg makes are read by the
// frame source and compared pixel for pixel with what FFmpeg decodes from them, and processed
// by kestrel-batch into outputs that ffprobe and ffmpeg read back.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "io/frame_source.h"
#include "support/ffmpeg_fixture.h"
#include "support/files.h"
#include "support/process.h"

namespace kestrel {
namespace {

using test::FfmpegDecode;
using test::ShellQuote;
using Bytes = std::vector<uint8_t>;

// Our grey levels of blue-green-red bytes.
Bytes Grey(const Bytes& bgr) {
    Bytes grey;
    for (size_t i = 0; i + 2 < bgr.size(); i += 3)
        grey.push_back(GreyLevel(bgr[i], bgr[i + 1], bgr[i + 2]));
    return grey;
}

// The chunks of a RIFF file in file order, lists entered, as they lie: FFmpeg's files hold
// chunks (JUNK, vprp, indx, LIST odml and INFO) that our own strict walker refuses.
struct Chunk {
    std::string id;
    size_t data = 0;  // offset of the data
    uint32_t size = 0;
};

uint32_t Le32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

void WalkChunks(const Bytes& b, size_t at, size_t end, std::vector<Chunk>& out) {
    while (at + 8 <= end) {
        const std::string id(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + 4));
        const uint32_t size = Le32(b, at + 4);
        if (size > end - at - 8) return;
        if ((id == "RIFF" || id == "LIST") && size >= 4)
            WalkChunks(b, at + 12, at + 8 + size, out);
        else
            out.push_back({id, at + 8, size});
        at += 8 + size + (size & 1);
    }
}

std::vector<Chunk> Chunks(const Bytes& file) {
    std::vector<Chunk> out;
    WalkChunks(file, 0, file.size(), out);
    return out;
}

// The first chunk named `id`; one of size 0 at offset 0 when there is none.
Chunk Find(const std::vector<Chunk>& chunks, const std::string& id) {
    for (const Chunk& c : chunks)
        if (c.id == id) return c;
    return {};
}

size_t Count(const std::vector<Chunk>& chunks, const std::string& id) {
    size_t n = 0;
    for (const Chunk& c : chunks) n += c.id == id;
    return n;
}

// The strf of the first stream: compression and signed height, as FFmpeg stored them.
struct StoredFormat {
    uint32_t compression = 0;
    int32_t height = 0;
    uint16_t bits = 0;
};

StoredFormat StoredFormatOf(const Bytes& file) {
    const Chunk strf = Find(Chunks(file), "strf");
    if (strf.size < 40) return {};
    return {Le32(file, strf.data + 16), int32_t(Le32(file, strf.data + 8)),
            uint16_t(file[strf.data + 14] | file[strf.data + 15] << 8)};
}

// Every frame as the frame source delivers it, packed one after the other.
Bytes ReadThroughFrameSource(const std::string& path, bool colour, size_t& frames,
                             Failure& failure) {
    Settings settings;
    settings.InputFile = path;
    settings.Colour = colour ? 1 : 0;
    Bytes all;
    frames = 0;
    while (ReadNextFrame(settings, failure)) {
        const Image& img = ImageBuffer();
        EXPECT_TRUE(img.consistent());
        all.insert(all.end(), img.pixels.begin(), img.pixels.end());
        ++frames;
    }
    CloseInputVideo();
    return all;
}

struct Case {
    const char* name;
    const char* source;  // testsrc options
    const char* encode;  // ffmpeg output options
    bool colour;         // compare blue-green-red, else grey bytes
    // Grey is compared with FFmpeg's grey bytes only for grey files: for colour ones FFmpeg
    // weighs the channels its own way, so the reference is our grey level of its colours.
    bool greyFile = false;
    // What the file must hold for the case to test what it names (0: not checked): the
    // compression FourCC and depth as stored, the sign of the stored height, palette changes.
    uint32_t compression = 0;
    uint16_t bits = 0;
    int heightSign = 0;
    size_t paletteChanges = 0;
};

// Failures name the case, not its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

using FfmpegTest = test::FfmpegFixture;

class FfmpegRead : public FfmpegTest, public ::testing::WithParamInterface<Case> {};

TEST_P(FfmpegRead, PicturesMatchFfmpegsOwnDecoding) {
    const Case& c = GetParam();
    const std::string path = dir.file(std::string(c.name) + ".avi");
    const auto made = test::MakeFfmpegVideo(path, c.source, std::string(c.encode) + " -frames:v 4");
    ASSERT_EQ(made.status, 0) << made.output;
    const Bytes file = test::ReadFileBytes(path);
    const StoredFormat stored = StoredFormatOf(file);
    if (c.compression || c.bits) {
        EXPECT_EQ(stored.compression, c.compression);
        EXPECT_EQ(stored.bits, c.bits);
    }
    if (c.heightSign) {
        EXPECT_EQ(stored.height > 0 ? 1 : -1, c.heightSign) << stored.height;
    }
    if (c.paletteChanges) {
        EXPECT_EQ(Count(Chunks(file), "00pc"), c.paletteChanges);
    }
    Bytes reference = FfmpegDecode(path, c.greyFile ? "gray" : "bgr24");
    ASSERT_FALSE(reference.empty());
    if (!c.colour && !c.greyFile) reference = Grey(reference);

    Settings settings;
    settings.InputFile = path;
    settings.Colour = c.colour ? 1 : 0;
    Failure failure;
    size_t at = 0, frames = 0;
    while (ReadNextFrame(settings, failure)) {
        const Image& img = ImageBuffer();
        ASSERT_TRUE(img.consistent());
        const size_t n = img.pixels.size();
        ASSERT_LE(at + n, reference.size()) << "more frames than ffmpeg decodes";
        EXPECT_EQ(img.pixels, Bytes(reference.begin() + std::ptrdiff_t(at),
                                    reference.begin() + std::ptrdiff_t(at + n)))
            << "frame " << frames;
        at += n;
        ++frames;
    }
    EXPECT_TRUE(failure.message.empty()) << failure.message;
    EXPECT_EQ(frames, 4u);
    EXPECT_EQ(at, reference.size());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegRead,
    ::testing::Values(
        // FFmpeg stores raw RGB top row first (a negative height) unless told otherwise.
        Case{"bgr24", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt bgr24", true, false, kBiRgb, 24,
             -1},
        Case{"bgr24_bottom_up", "size=33x17:rate=5",
             "-vf vflip -flipped_raw_rgb 1 -c:v rawvideo -pix_fmt bgr24", true, false, kBiRgb, 24,
             1},
        Case{"bgr24_grey", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt bgr24", false},
        Case{"pal8", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt pal8", true, false, kBiRgb, 8},
        // A palette of its own for every frame of the moving pattern: three changes.
        Case{"pal8_palette_changes", "size=33x17:rate=5",
             "-vf \"split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1\" "
             "-c:v rawvideo -pix_fmt pal8",
             true, false, kBiRgb, 8, 0, 3},
        Case{"pal8_palette_changes_grey", "size=33x17:rate=5",
             "-vf \"split[a][b];[a]palettegen=stats_mode=single[p];[b][p]paletteuse=new=1\" "
             "-c:v rawvideo -pix_fmt pal8",
             false, false, kBiRgb, 8, 0, 3},
        // One bit a pixel: 33 pixels end a row inside its fifth byte. FFmpeg warns that it
        // cannot write these to AVI, yet writes BI_RGB 1-bit with a two-entry table and reads
        // them back.
        Case{"monow", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt monow", true, false, kBiRgb, 1,
             -1},
        Case{"monob", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt monob", true, false, kBiRgb, 1,
             -1},
        // FFmpeg writes grey FourCCs top row first with a positive height.
        Case{"gray_y800", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt gray -vtag Y800", false,
             true, FourCC("Y800"), 8, 1},
        Case{"gray_grey", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt gray -vtag GREY", false,
             true, FourCC("GREY"), 8, 1},
        Case{"gray_y8", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt gray -vtag 'Y8  '", false,
             true, FourCC("Y8  "), 8, 1},
        Case{"gray_y8_colour", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt gray -vtag 'Y8  '",
             true},
        Case{"gray_y800_padded", "size=36x9:rate=5", "-c:v rawvideo -pix_fmt gray -vtag Y800",
             false, true},
        // FFmpeg 5.1 stores rgb565le as plain BI_RGB 16, which means 5-5-5, and reads it back
        // so: it makes no 5-6-5 file to compare with.
        Case{"rgb555", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt rgb555le", true},
        Case{"bgra", "size=33x17:rate=5", "-c:v rawvideo -pix_fmt bgra", true},
        Case{"one_pixel_wide", "size=1x5:rate=5", "-c:v rawvideo -pix_fmt bgr24", true},
        Case{"after_audio", "size=33x17:rate=5:duration=1",
             "-f lavfi -i sine=d=2 -map 1:a -map 0:v -c:v rawvideo -pix_fmt bgr24 -c:a pcm_u8",
             true}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// FFmpeg 5.1 writes neither 16-bit grey nor raw Bayer to AVI under their own FourCCs (it
// stores tag 0 instead), and reads neither 'Y16 ' nor 'BY8 ' from AVI. So FFmpeg writes the
// samples, the test renames the format, and the reference is FFmpeg's decoding of the same
// pattern: for 16 bits the high byte of each little-endian sample.
struct Retag {
    const char* name;
    const char* encode;  // ffmpeg output options
    uint32_t fourcc;     // written over strh's handler and strf's compression
    const char* referenceFormat;
};

void PrintTo(const Retag& c, std::ostream* os) { *os << c.name; }

class FfmpegRetagged : public FfmpegTest, public ::testing::WithParamInterface<Retag> {};

TEST_P(FfmpegRetagged, SamplesReadAsGreyTopRowFirst) {
    const Retag& c = GetParam();
    const std::string source = "size=33x17:rate=5";
    const std::string path = dir.file(std::string(c.name) + ".avi");
    const auto made = test::MakeFfmpegVideo(path, source, std::string(c.encode) + " -frames:v 4");
    ASSERT_EQ(made.status, 0) << made.output;
    Bytes file = test::ReadFileBytes(path);
    const std::vector<Chunk> chunks = Chunks(file);
    const Chunk strh = Find(chunks, "strh"), strf = Find(chunks, "strf");
    ASSERT_GE(strh.size, 8u);
    ASSERT_GE(strf.size, 40u);
    for (size_t at : {strh.data + 4, strf.data + 16})
        for (int i = 0; i < 4; ++i) file[at + size_t(i)] = uint8_t(c.fourcc >> (8 * i));
    ASSERT_TRUE(test::WriteFileBytes(path, file));

    const std::string fmt = c.referenceFormat;
    const auto decoded = test::RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=" + source +
                                          " -frames:v 4 -f rawvideo -pix_fmt " + fmt + " -");
    ASSERT_EQ(decoded.status, 0);
    Bytes reference;
    if (fmt == "gray16le") {
        for (size_t i = 1; i < decoded.output.size(); i += 2)
            reference.push_back(uint8_t(decoded.output[i]));
    } else {
        reference.assign(decoded.output.begin(), decoded.output.end());
    }
    ASSERT_EQ(reference.size(), size_t(33 * 17 * 4));
    size_t frames = 0;
    Failure failure;
    EXPECT_TRUE(ReadThroughFrameSource(path, false, frames, failure) == reference);
    EXPECT_EQ(frames, 4u);
    EXPECT_TRUE(failure.message.empty()) << failure.message;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FfmpegRetagged,
    ::testing::Values(
        // Stored with a negative height: the rows are still top row first.
        Retag{"y16", "-c:v rawvideo -pix_fmt gray16le", FourCC("Y16 "), "gray16le"},
        Retag{"by8", "-c:v rawvideo -pix_fmt gray -vtag Y800", FourCC("BY8 "), "gray"},
        Retag{"bayer_bggr8", "-c:v rawvideo -pix_fmt gray -vtag Y800",
              FourCC(char(0xBA), 'B', 'G', char(8)), "gray"}),
    [](const ::testing::TestParamInfo<Retag>& info) { return std::string(info.param.name); });

// A frame left out with its timestamp kept becomes a zero-length chunk in FFmpeg's AVI; we
// repeat the picture before it. FFmpeg decodes no picture for it (the pictures it does decode
// are ours), and its default constant-rate output fills the gap with a duplicate of its own.
TEST_F(FfmpegTest, DroppedFrameRepeatsThePictureBefore) {
    const std::string path = dir.file("dropped.avi");
    const auto made = test::MakeFfmpegVideo(
        path, "size=33x17:rate=5",
        "-vf \"select='not(eq(n\\,2))'\" -fps_mode passthrough -frames:v 5 -c:v rawvideo "
        "-pix_fmt bgr24");
    ASSERT_EQ(made.status, 0) << made.output;
    std::vector<uint32_t> sizes;
    for (const Chunk& c : Chunks(test::ReadFileBytes(path)))
        if (c.id == "00dc" || c.id == "00db") sizes.push_back(c.size);
    ASSERT_EQ(sizes.size(), 6u);
    EXPECT_EQ(sizes[2], 0u);

    const size_t picture = 33 * 17 * 3;
    size_t frames = 0;
    Failure failure;
    const Bytes ours = ReadThroughFrameSource(path, true, frames, failure);
    ASSERT_EQ(frames, 6u);
    EXPECT_TRUE(failure.message.empty()) << failure.message;
    auto ourPicture = [&](size_t i) {
        return Bytes(ours.begin() + std::ptrdiff_t(i * picture),
                     ours.begin() + std::ptrdiff_t((i + 1) * picture));
    };
    EXPECT_TRUE(ourPicture(2) == ourPicture(1));

    Bytes withoutRepeat = ours;
    withoutRepeat.erase(withoutRepeat.begin() + std::ptrdiff_t(2 * picture),
                        withoutRepeat.begin() + std::ptrdiff_t(3 * picture));
    const auto passthrough =
        test::RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(path) +
                         " -fps_mode passthrough -f rawvideo -pix_fmt bgr24 -");
    EXPECT_TRUE(Bytes(passthrough.output.begin(), passthrough.output.end()) == withoutRepeat);

    // At a constant rate FFmpeg keeps the positions in step as we do.
    const Bytes constant = FfmpegDecode(path);
    ASSERT_EQ(constant.size(), ours.size());
    for (size_t i : {0, 1, 3, 4, 5})
        EXPECT_TRUE(Bytes(constant.begin() + std::ptrdiff_t(i * picture),
                          constant.begin() + std::ptrdiff_t((i + 1) * picture)) == ourPicture(i))
            << i;
}

// The stream's name goes from FFmpeg's strn to the reader and on to the output's strn.
TEST_F(FfmpegTest, StreamNameReachesTheReaderAndTheOutput) {
    const std::string in = dir.file("named.avi"), out = dir.file("out.avi");
    const auto made = test::MakeFfmpegVideo(
        in, "size=33x17:rate=5",
        "-frames:v 2 -metadata:s:v:0 title=Jupiter -c:v rawvideo -pix_fmt bgr24");
    ASSERT_EQ(made.status, 0) << made.output;
    Settings settings;
    settings.InputFile = in;
    Failure failure;
    ASSERT_NE(ReadNextFrame(settings, failure), 0) << failure.message;
    EXPECT_STREQ(InputStreamInfo().szName, "Jupiter");
    CloseInputVideo();

    const auto run = test::RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " + ShellQuote(in) +
                                      " " + ShellQuote(out) + " 2>&1");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(test::RunCommand("ffprobe -v error -select_streams v:0 -show_entries "
                               "stream_tags=title -of default=nw=1 " +
                               ShellQuote(out))
                  .output,
              "TAG:title=Jupiter\n");
}

class FfmpegEndToEnd : public FfmpegTest, public ::testing::WithParamInterface<const char*> {};

// An odd width exercises the row padding, a rate of 30000/1001 the copy of the stream header;
// the input's pixel format is the parameter.
TEST_P(FfmpegEndToEnd, OutputIsRawBgr24WithTheInputsRateAndFramesPixelForPixel) {
    const std::string pixFmt = GetParam();
    const std::string in = dir.file("in.avi");
    const auto made = test::MakeFfmpegVideo(
        in, "size=37x21:rate=30000/1001",
        "-frames:v 5 -c:v rawvideo -pix_fmt " + pixFmt + (pixFmt == "gray" ? " -vtag Y800" : ""));
    ASSERT_EQ(made.status, 0) << made.output;
    const Bytes source = FfmpegDecode(in);
    ASSERT_EQ(source.size(), size_t(37 * 21 * 3 * 5));

    for (bool colour : {false, true}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        const std::string out = dir.file(colour ? "colour.avi" : "grey.avi");
        const auto run = test::RunCommand(ShellQuote(KESTREL_BATCH_PATH) + " -q -y " +
                                          (colour ? "--colour " : "") + ShellQuote(in) + " " +
                                          ShellQuote(out) + " 2>&1");
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(test::Probe(out,
                              "codec_type,codec_name,pix_fmt,width,height,r_frame_rate,"
                              "nb_read_frames"),
                  "codec_name=rawvideo\ncodec_type=video\nwidth=37\nheight=21\npix_fmt=bgr24\n"
                  "r_frame_rate=30000/1001\nnb_read_frames=5");
        Bytes expected = source;
        if (!colour)
            for (size_t i = 0; i < expected.size(); i += 3)
                expected[i] = expected[i + 1] = expected[i + 2] =
                    GreyLevel(expected[i], expected[i + 1], expected[i + 2]);
        EXPECT_TRUE(FfmpegDecode(out) == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(PixelFormats, FfmpegEndToEnd, ::testing::Values("bgr24", "pal8", "gray"));

}  // namespace
}  // namespace kestrel
