// Pictures in: DIB decoding through the frame source (rows tight or padded) and the dark-frame
// loader, every layout and refusal; positions, dropped frames, palette changes; absurd sizes.
#include "io/decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <iterator>
#include <random>

#include "io/bitmap.h"
#include "io/dark_frame.h"
#include "io/frame_source.h"
#include "run/batch.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/scripted_windowing.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::Bmp;
using Bytes = std::vector<uint8_t>;
using test::VideoFormat;
using Bgr = std::array<uint8_t, 3>;

const uint32_t k00db = FourCC("00db"), k00pc = FourCC("00pc");

std::string Save(const Bytes& bytes) {
    static const test::TempDir dir;
    const std::string path = dir.file(std::to_string(dir.names().size()));
    EXPECT_TRUE(test::WriteFileBytes(path, bytes));
    return path;
}

std::string Write(const Bytes& strf, const std::vector<test::TestChunk>& chunks) {
    test::TestAvi avi;
    avi.streams = {test::VideoStream(strf)};
    avi.chunks = chunks;
    return Save(test::BuildAvi(avi).bytes);
}

// Every picture of the file, in colour; the input must end without a message.
std::vector<Bytes> Pixels(const std::string& path) {
    const test::SourceRead read = test::ReadSource(path);
    EXPECT_EQ(read.failure.message, "");
    std::vector<Bytes> out;
    for (const Image& i : read.frames) out.push_back(i.pixels);
    return out;
}

// Loads a bitmap file as the dark frame: the reason it is refused, empty when it loads.
std::string Load(const std::string& path, bool colour = true) {
    Settings s;
    s.DarkFrame = path;
    s.Colour = colour;
    Failure failure{"stale", "stale", "stale"};
    if (LoadDarkFrame(s, failure)) return failure.message + failure.reason;
    return failure.reason.empty() ? "no reason" : failure.reason;
}

struct LayoutCase {
    const char* name;
    Bmp bmp;
    std::function<Bgr(uint32_t)> expect;  // raw value -> blue, green, red
};

TEST(DibDecoding, EveryLayoutFromAStreamTightOrPaddedAndFromABitmapFile) {
    std::mt19937 rng(99);
    std::vector<uint32_t> t(256);
    for (auto& c : t) c = rng() & 0xFFFFFF;
    const std::vector<uint32_t> t4(t.begin(), t.begin() + 4), t16(t.begin(), t.begin() + 16);
    auto bgr = [](uint32_t v) { return Bgr{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)}; };
    auto grey = [](uint32_t v) { return Bgr{uint8_t(v), uint8_t(v), uint8_t(v)}; };
    auto indexed = [&](size_t n) {
        return [&, n](uint32_t v) { return v < n ? bgr(t[v]) : Bgr{}; };
    };
    // Bit replication takes the top value of every width to 255.
    auto five = [](uint32_t v) { return uint8_t((v & 31) << 3 | (v & 31) >> 2); };
    auto six = [](uint32_t v) { return uint8_t((v & 63) << 2 | (v & 63) >> 4); };
    std::vector<LayoutCase> cases = {
        {"V4 top-down, bfOffBits past an uncounted table", Bmp(5, -3).Info(108).Table(t4), bgr},
        {"8 bits, bfOffBits inside the table", Bmp(6, 4, 8).Table(t).Off(60), indexed(256)},
        {"4 bits top row first, 4 entries, 2 counted", Bmp(9, -3, 4).Used(2).Table(t4), indexed(2)},
        {"2 bits", Bmp(7, 2, 2).Table(t4), indexed(4)},
        {"5-6-5, masks after the header, rows after them",
         Bmp(3, 3, 16).Compress(kBiBitfields).Masks({0xF800, 0x07E0, 0x001F}).Off(1),
         [&](uint32_t v) { return Bgr{five(v), six(v >> 5), five(v >> 11)}; }},
        {"32 bits, 10-bit fields inside a V4 header, red low",
         Bmp(3, 2, 32).Compress(kBiBitfields).Info(108).Masks({0x3FF, 0xFFC00, 0x3FF00000}),
         [](uint32_t v) { return Bgr{uint8_t(v >> 22), uint8_t(v >> 12), uint8_t(v >> 2)}; }},
        {"24 bits carrying a table, bfOffBits past the end",
         Bmp(5, 2).Used(4).Table(t4).Off(1u << 30), bgr},
        {"V5 header, 4 bits, table after", Bmp(4, 3, 4).Info(124).Used(16).Table(t16), indexed(16)},
        {"Y16", Bmp(5, 1, 16).Compress(kFccY16), [&](uint32_t v) { return grey(v >> 8); }},
    };
    for (uint32_t tag : {kFccY800, kFccY8, kFccGrey, FourCC("BY8 ")})
        cases.push_back({"grey FourCC", Bmp(5, 1, 8).Compress(tag), grey});
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " " << std::hex << c.bmp.compression);
        Bmp b = c.bmp;
        const size_t w = size_t(b.width), h = size_t(std::abs(b.height));
        const uint32_t values = b.bits == 32 ? 0xFFFFFFFF : 1u << b.bits;
        for (size_t i = 0; i < w * h; ++i) b.pixels.push_back(uint32_t(rng() % values));
        b.pixels[0] = values - 1;  // the top value; past the table when there is one
        const bool fourCC = !IsRgbCompression(b.compression);
        Bytes want;
        for (uint32_t v : b.pixels) std::ranges::copy(c.expect(v), std::back_inserter(want));
        // The file is a 14-byte header, the DIB's head (the stream's strf), and padded rows.
        const Bytes file = test::BuildBmp(b);
        const size_t padded = size_t(DibStride(w, b.bits)), tight = (w * b.bits + 7) / 8;
        const auto rows = file.end() - std::ptrdiff_t(padded * h);
        Bytes strf(file.begin() + 14, rows), tightRows;
        for (size_t y = 0; y < h; ++y)
            tightRows.insert(tightRows.end(), rows + std::ptrdiff_t(y * padded),
                             rows + std::ptrdiff_t(y * padded + tight));
        EXPECT_EQ(Pixels(Write(strf, {{k00db, Bytes(rows, file.end())}, {k00db, tightRows}})),
                  std::vector<Bytes>(2, want))
            << "padded, then tight";
        EXPECT_EQ(Load(Save(file)), fourCC ? "compressed bitmaps are not read" : "");
        EXPECT_TRUE(fourCC || DarkImage().pixels == want);
    }
}

// Each header in a stream and in a bitmap file with room for its rows: refused for the same
// reason in both, unless the file itself is why.
TEST(DibDecoding, RefusalsGiveTheReasonOfTheCheckThatRefused) {
    auto masks = [](uint16_t bits, std::initializer_list<uint32_t> m) {
        Bytes out = VideoFormat(8, 8, bits, kBiBitfields);
        for (uint32_t v : m) PutU32(out, v);
        return out;
    };
    const char* const large = "the picture is larger than 1 GiB";
    const char* const none = "the picture has no width or height";
    const char* const mask = "a colour mask is not one run of bits";
    const char* const compressed = "compressed bitmaps are not read";
    const struct {
        Bytes strf;
        const char* stream;          // "": read
        const char* file = nullptr;  // null: the stream's
    } cases[] = {
        {VideoFormat(8, 8, 12), "pixels of this depth are not read"},
        {masks(24, {0xFF0000, 0xFF00, 0xFF}), "bitfields need 16 or 32 bits a pixel"},
        {masks(16, {0xF800, 0x0505, 0x1F}), mask},
        {masks(16, {0x1F0000, 0x7E0, 0x1F}), mask},
        {masks(32, {0xFF0000, 0xFF00}), "the colour masks are missing", mask},
        {VideoFormat(0, 8, 24), none},
        {VideoFormat(-8, 8, 24), none},
        {VideoFormat(8, 0, 24), none},
        {VideoFormat(8, INT32_MIN, 24), large},
        {VideoFormat(1 << 16, 1 << 16, 1), large},  // counted as 24-bit pixels whatever the depth
        {VideoFormat(16384, -21846, 24), large},    // just over; just under:
        {VideoFormat(16384, -21845, 24), "", "the file ends inside the rows"},
        // Compressed streams go to FFmpeg, which has a limit of its own; bitmap files are refused.
        {VideoFormat(8, 8, 24, FourCC("ZZZZ")), "FFmpeg has no decoder for 'ZZZZ'", compressed},
        {VideoFormat(9000, 9943, 24, 1), "the picture is larger than 256 MiB", compressed},
        {VideoFormat(8, 8, 8, kBiRgb, 0xFFFFFFFF), "", "the file ends inside the colour table"},
        {Bytes(39, 0), "the video stream's header or format is missing",
         "the information header is shorter than 40 bytes"},
        {Bytes(4, 0xFF), "the video stream's header or format is missing",
         "the file ends inside the information header"},
    };
    for (const auto& c : cases) {
        Bytes file = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        file.insert(file.end(), c.strf.begin(), c.strf.end());
        file.resize(file.size() + 4096);
        const std::string avi = Write(c.strf, {}), bmp = Save(file);
        const int got = test::ExitCodeUnderMemoryLimit(256u << 20, [&] {
            return (test::ReadSource(avi).failure.reason == c.stream ? 0 : 1) +
                   (Load(bmp) == (c.file ? c.file : c.stream) ? 0 : 2);
        });
        EXPECT_EQ(got, 0) << c.stream << ": 1 in a stream, 2 in a bitmap file, 3 both; -1 aborted";
    }
    const Bytes good =
        test::BuildBmp(Bmp(5, 1).Pixels({0xFF0000, 0xFF00, 0xFF, 0xFFFFFF, 0x123456}));
    EXPECT_EQ(Load(Save(Bytes(good.begin() + 1, good.end()))), "not a bitmap file");
    EXPECT_EQ(Load("/nonexistent/dark.bmp"), "No such file or directory");
    // Grey weighs red, green and blue 76, 154 and 26 of 256.
    ASSERT_EQ(Load(Save(good), false), "");
    EXPECT_EQ(DarkImage().pixels, (Bytes{75, 153, 25, 255, 45}));
}

// Positions run from 0 to the first missing picture, which keeps the last one. An input that
// cannot be opened says so and why, and keeps the last picture's block.
TEST(FrameSource, PositionsDroppedFramesShortChunksAndPaletteChanges) {
    Bytes late = {250, 10, 0, 0}, longer = {1, 1, 0, 0, 1, 2, 3, 0};
    late.resize(4 + 4 * 10, 0x33);  // runs past the 256th entry
    longer.resize(2000, 0);         // more than a palette change can say
    // Pictures of exactly their bytes: a dropped first frame is black only when one is there.
    const std::vector<test::TestChunk> chunks = {
        {k00db, {}},
        {k00db, {0, 1}},
        {k00pc, {1, 1, 0, 0, 4, 5, 6, 0}},  // entries are red first
        {k00db, {}},                        // repeats the picture as decoded, before the change
        {k00db, {0, 1}},
        {k00pc, {0, 0, 0, 0, 9, 9, 9, 0, 7}},  // a count of 0 is 256; one entry is there
        {k00pc, late},
        {k00pc, {1, 1}},  // shorter than its own header: nothing
        {k00db, {0, 1}},
        {k00pc, longer},
        {k00db, {1, 0}},
        {k00db, {1}},  // short of a picture: the input ends
        {k00db, {0, 0}}};
    const Bytes redGreen = {0, 0, 255, 0, 255, 0}, redGreenTable = {0, 0, 255, 0, 0, 255, 0, 0};
    const std::vector<Bytes> want = {Bytes(6, 0),          redGreen,           redGreen,
                                     {0, 0, 255, 6, 5, 4}, {9, 9, 9, 6, 5, 4}, {3, 2, 1, 9, 9, 9}};
    Settings s;
    s.InputFile = Write(VideoFormat(2, 1, 8, kBiRgb, 2, redGreenTable), chunks);
    s.Colour = 1;
    Failure failure{"stale", "stale", "stale"};
    for (size_t i = 0; i <= want.size(); ++i) {
        EXPECT_EQ(ReadNextFrame(s, failure), int32_t(i < want.size())) << i;
        EXPECT_EQ(failure.message + failure.reason, "");
        EXPECT_EQ(ReadPosition(), int32_t(i));
        EXPECT_EQ(ImageBuffer().pixels, want[std::min(i, want.size() - 1)]) << i;
    }
    CloseInputVideo();
    const uint8_t* block = ImageBuffer().pixels.data();
    s.InputFile += ".missing";
    EXPECT_EQ(ReadNextFrame(s, failure), 0);
    EXPECT_EQ(failure.message + ": " + failure.reason,
              "Can't open AVI input file: No such file or directory");
    EXPECT_EQ(ImageBuffer().width + ImageBuffer().height, 0);
    EXPECT_EQ(ImageBuffer().pixels.data(), block);
    EXPECT_EQ(ImageBuffer().pixels, want.back());
    // Pictures of fewer bits take changes too; grey ones (of a FourCC that tells the depth) have
    // no palette to change.
    const test::TestChunk toBlue = {k00pc, {1, 1, 0, 0, 0, 0, 255, 0}};
    EXPECT_EQ(Pixels(Write(VideoFormat(3, 1, 1, kBiRgb, 2, redGreenTable),
                           {toBlue, {k00db, {0b10100000, 0, 0, 0}}})),
              (std::vector<Bytes>{{255, 0, 0, 0, 0, 255, 255, 0, 0}}));
    EXPECT_EQ(Pixels(Write(VideoFormat(1, 1, 0, FourCC("BY8 ")), {toBlue, {k00db, {1, 0, 0, 0}}})),
              (std::vector<Bytes>{{1, 1, 1}}));
}

// Headers that announce absurd sizes where the file's own chunks tell the truth are read, and
// run, as what the file holds, under a memory limit that a reader which believed one would hit.
TEST(AbsurdSizes, AreReadAsWhatTheFileHolds) {
    // Seeds of the fuzz corpus: FFmpeg's of 3 frames with idx1 alone, Kestrel's of 4 frames with
    // a dmlh and OpenDML indexes.
    const Bytes plain = test::ReadFileBytes(KESTREL_FUZZ_CORPUS "/fuzz_avi/ffmpeg-bgr24.avi");
    const Bytes own = test::ReadFileBytes(KESTREL_FUZZ_CORPUS "/fuzz_avi/kestrel-output.avi");
    const Bytes onlyDropped = test::ReadFileBytes(
        Write(VideoFormat(16384, 21845, 24), std::vector<test::TestChunk>(20, {k00db, {}})));
    // Where the body of the first chunk named `id` starts.
    auto body = [](const Bytes& b, const char* id) {
        return size_t(std::search(b.begin(), b.end(), id, id + 4) - b.begin()) + 8;
    };
    const uint32_t all = 0xFFFFFFFFu;
    const size_t avih = body(plain, "avih"), strh = body(plain, "strh");
    const struct {
        const char* what;
        const Bytes& file;
        std::vector<std::pair<size_t, uint32_t>> patches;
        int frames;
    } cases[] = {
        // A few hundred bytes must not make pictures of any size out of nothing.
        {"2^28 pixels in dropped frames only", onlyDropped, {}, 0},
        {"2^32-1 frames in avih and strh", plain, {{avih + 16, all}, {strh + 32, all}}, 3},
        {"buffers of 4 GiB", plain, {{avih + 28, all}, {strh + 36, all}}, 3},
        {"idx1 of 2^28 entries", plain, {{body(plain, "idx1") - 4, 0xFFFFFFF0u}}, 3},
        {"super index of 2^32-1 entries", own, {{body(own, "indx") + 4, all}}, 4},
        {"standard index of 2^32-1 entries", own, {{body(own, "ix00") + 4, all}}, 4},
        {"dmlh of 2^32-1 frames", own, {{body(own, "dmlh"), all}}, 4},
    };
    for (const auto& c : cases) {
        Bytes bytes = c.file;
        for (auto [at, value] : c.patches) PatchU32(bytes, at, value);
        const std::string path = Save(bytes);
        // The whole run: the frames it writes, or 254 when it shows a message.
        const int got = test::ExitCodeUnderMemoryLimit(256u << 20, [&] {
            Settings& s = AppSettings();  // only ever set in a child
            s.InputFile = path;
            s.OutputFile = path + ".out.avi";
            test::ScriptedWindowing w;
            RunBatch(w);
            for (const std::string& line : w.log)
                if (line.starts_with("box Error")) return 254;
            return LastRun().framesWritten;
        });
        EXPECT_EQ(got, c.frames) << c.what << ": 254: a message; -1: the child aborted";
    }
}

}  // namespace
}  // namespace kestrel
