// DIB decoding through both of its users, a stream's strf and chunks (rows tight or padded) and a
// bitmap file (the dark-frame loader): every layout, the refusals and their reasons, and the
// bitmaps of independent writers compared with FFmpeg's decoding.
#include "io/decode.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>

#include "io/bitmap.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/samples.h"

namespace kestrel {
namespace {

using test::Bmp;
using test::Bytes;
using test::VideoFormat;
using Bgr = std::array<uint8_t, 3>;

// One chunk's picture as the frame source makes it, in colour; empty when there is none.
Bytes Decoded(const Bytes& strf, const Bytes& chunk) {
    PictureFormat f;
    std::string why;
    if (!DescribePicture(strf.data(), strf.size(), f, why)) return {};
    DibDecoder d;
    d.open(std::move(f));
    Image out;
    Bytes rows;
    int32_t w = 0, h = 0;
    if (d.decode(chunk.data(), chunk.size()) &&
        ConvertDibTo24(d.dib().data(), d.dib().size(), w, h, rows))
        Bgr24ToImage(rows, w, h, 3, out);
    return out.pixels;
}

// Loads a bitmap file (or `bytes` written to one) as the dark frame: the reason it is refused,
// empty when it loads. A failed load must leave the DarkImage as it was.
std::string Load(const Bytes& bytes, bool colour = true, std::string path = "") {
    static const test::TempDir dir;
    if (path.empty() && !test::WriteFileBytes(path = dir.file("dark.bmp"), bytes)) return "?";
    const Image before = DarkImage();
    Settings s;
    s.DarkFrame = path;
    s.Colour = colour;
    Failure failure{"stale", "stale"};
    if (LoadDarkFrame(s, failure)) return failure.message + failure.reason;
    EXPECT_EQ(failure.message, "Can't open dark frame");
    EXPECT_EQ(std::tie(DarkImage().width, DarkImage().height, DarkImage().pixels),
              std::tie(before.width, before.height, before.pixels));
    return failure.reason.empty() ? "no reason" : failure.reason;
}

struct LayoutCase {
    const char* name;
    Bmp bmp;
    uint32_t values;                      // raw pixel values drawn from 0 .. values - 1
    std::function<Bgr(uint32_t)> expect;  // raw value -> blue, green, red
};

TEST(DibDecoding, EveryLayoutFromAStreamTightOrPaddedAndFromABitmapFile) {
    std::mt19937 rng(99);
    std::vector<uint32_t> t(256);
    for (auto& c : t) c = rng() & 0xFFFFFF;
    const std::vector<uint32_t> t2(t.begin(), t.begin() + 2), t4(t.begin(), t.begin() + 4),
        t16(t.begin(), t.begin() + 16), k565 = {0xF800, 0x07E0, 0x001F},
        k888 = {0xFF0000, 0xFF00, 0xFF};
    auto bgr = [](uint32_t v) { return Bgr{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)}; };
    auto grey = [](uint32_t v) { return Bgr{uint8_t(v), uint8_t(v), uint8_t(v)}; };
    auto indexed = [&](size_t n) {
        return [&, n](uint32_t v) { return v < n ? bgr(t[v]) : Bgr{}; };
    };
    // Bit replication takes the top value of every width to 255.
    auto five = [](uint32_t v) { return uint8_t((v & 31) << 3 | (v & 31) >> 2); };
    auto six = [](uint32_t v) { return uint8_t((v & 63) << 2 | (v & 63) >> 4); };
    std::vector<LayoutCase> cases = {
        {"24 bits", Bmp(5, 3), 1u << 24, bgr},
        {"V4 header, top row first, bfOffBits past a gap", Bmp(5, -3).Info(108).Gap(10), 1u << 24,
         bgr},
        {"8 bits, bfOffBits inside the table", Bmp(6, 4, 8).Table(t).Off(60), 256, indexed(256)},
        {"8 bits past the table, rows after it", Bmp(5, 3, 8).Used(2).Table(t2).Off(0), 256,
         indexed(2)},
        {"4 bits, 4 entries, 2 counted", Bmp(5, 3, 4).Used(2).Table(t4), 16, indexed(2)},
        {"4 bits top row first", Bmp(9, -3, 4).Table(t16), 16, indexed(16)},
        {"2 bits", Bmp(7, 2, 2).Table(t4), 4, indexed(4)},
        {"1 bit", Bmp(19, 3, 1).Table(t2), 2, indexed(2)},
        {"5-5-5", Bmp(3, 3, 16), 1u << 16,
         [&](uint32_t v) { return Bgr{five(v), five(v >> 5), five(v >> 10)}; }},
        {"5-6-5, masks after the header, rows after them",
         Bmp(3, 3, 16).Compress(kBiBitfields).Masks(k565).Off(0), 1u << 16,
         [&](uint32_t v) { return Bgr{five(v), six(v >> 5), five(v >> 11)}; }},
        {"32 bits", Bmp(3, 3, 32), 0xFFFFFFFF, bgr},
        {"32 bits, 10-bit fields, red low",
         Bmp(3, 2, 32).Compress(kBiBitfields).Masks({0x3FF, 0xFFC00, 0x3FF00000}), 0xFFFFFFFF,
         [](uint32_t v) { return Bgr{uint8_t(v >> 22), uint8_t(v >> 12), uint8_t(v >> 2)}; }},
        {"24 bits carrying a table, bfOffBits past the end",
         Bmp(5, 2).Used(2).Table(t2).Off(1u << 30), 1u << 24, bgr},
        {"V5 header with masks, top row first",
         Bmp(4, -3, 32).Compress(kBiBitfields).Info(124).Masks(k888).Gap(6), 0xFFFFFFFF, bgr},
        {"V5 header, table after it", Bmp(4, 3, 8).Info(124).Used(16).Table(t16).Masks(k888), 16,
         indexed(16)},
        {"Y16: the high byte", Bmp(3, 2, 16).Compress(kFccY16), 1u << 16,
         [&](uint32_t v) { return grey(v >> 8); }},
    };
    for (uint32_t tag : {kFccY800, kFccY8, kFccGrey, kFccBayer8[0], kFccBayer8[1], kFccBayer8[4],
                         kFccBayer8[5], kFccBayer8[8]})
        cases.push_back({"grey FourCC", Bmp(5, 2, 8).Compress(tag), 256, grey});
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " " << std::hex << c.bmp.compression);
        Bmp b = c.bmp;
        const size_t w = size_t(b.width), h = size_t(std::abs(b.height));
        for (size_t i = 0; i < w * h; ++i) b.pixels.push_back(uint32_t(rng() % c.values));
        b.pixels[0] = c.values - 1;  // the top index, or one past the table
        const bool fourCC = !IsRgbCompression(b.compression);
        Bytes want;
        for (size_t i = 0; i < w * h; ++i) {
            // FourCC rows come top row first whatever the sign of the height.
            const size_t y = fourCC && b.height > 0 ? h - 1 - i / w : i / w;
            const Bgr p = c.expect(b.pixels[y * w + i % w]);
            want.insert(want.end(), p.begin(), p.end());
        }
        // The file is a 14-byte header, the DIB's head (the stream's strf), and padded rows.
        const Bytes file = test::BuildBmp(b);
        const size_t padded = size_t(DibStride(w, b.bits)), tight = (w * b.bits + 7) / 8;
        const auto rows = file.end() - std::ptrdiff_t(padded * h);
        Bytes strf(file.begin() + 14, rows), tightRows;
        for (size_t y = 0; y < h; ++y)
            tightRows.insert(tightRows.end(), rows + std::ptrdiff_t(y * padded),
                             rows + std::ptrdiff_t(y * padded + tight));
        EXPECT_EQ(Decoded(strf, Bytes(rows, file.end())), want) << "padded";
        EXPECT_EQ(Decoded(strf, tightRows), want) << "tight";
        strf[14] = 0;  // a depth of 0: a FourCC's own, refused for BI_RGB
        EXPECT_EQ(Decoded(strf, tightRows), fourCC ? want : Bytes{}) << "depth 0";
        EXPECT_EQ(Load(file), fourCC ? "compressed bitmaps are not read" : "");
        if (!fourCC) {
            EXPECT_EQ(DarkImage().pixels, want);
        }
    }
}

TEST(DibDecoding, RefusalsGiveTheReasonOfTheCheckThatRefused) {
    auto masks = [](uint16_t bits, std::initializer_list<uint32_t> m) {
        Bytes out = VideoFormat(8, 8, bits, kBiBitfields);
        for (uint32_t v : m) PutU32(out, v);
        return out;
    };
    const char* const large = "the picture is larger than 1 GiB";
    const char* const none = "the picture has no width or height";
    const char* const mask = "a colour mask is not one run of bits";
    const char* const grey = "grey pictures of this depth are not read";
    const struct {
        Bytes strf;
        const char* reason;
        bool inFile = true;  // refused so in a bitmap file too
    } cases[] = {
        {VideoFormat(8, 8, 12), "pixels of this depth are not read"},
        {masks(24, {0xFF0000, 0xFF00, 0xFF}), "bitfields need 16 or 32 bits a pixel"},
        {masks(16, {0xF800, 0x0505, 0x1F}), mask},
        {masks(16, {0x1F0000, 0x7E0, 0x1F}), mask},
        {VideoFormat(0, 8, 24), none},
        {VideoFormat(-8, 8, 24), none},
        {VideoFormat(8, 0, 24), none},
        {VideoFormat(8, INT32_MIN, 24), large},
        {VideoFormat(1 << 16, 1 << 16, 1), large},  // counted as 24-bit pixels whatever the depth
        {VideoFormat(16384, -21846, 24), large},     // just over; 21845 rows are not
        {VideoFormat(8, 8, 16, kFccY800), grey, false},
        {VideoFormat(8, 8, 24, FourCC("MJPG")), "the compression is not an uncompressed layout",
         false},
        {masks(32, {0xFF0000, 0xFF00}), "the colour masks are missing", false},
        {Bytes(39, 0), "the format is shorter than 40 bytes", false},
    };
    PictureFormat f;
    std::string why;
    for (const auto& c : cases) {
        EXPECT_FALSE(DescribePicture(c.strf.data(), c.strf.size(), f, why)) << c.reason;
        EXPECT_EQ(why, c.reason);
        // The same header in a bitmap file with room for its rows: the file's size is not why.
        Bytes file = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        file.insert(file.end(), c.strf.begin(), c.strf.end());
        file.resize(file.size() + 4096);
        if (c.inFile) {
            EXPECT_EQ(Load(file), c.reason) << "in a bitmap file";
        }
    }
    const Bytes justUnder = VideoFormat(16384, -21845, 24);
    EXPECT_TRUE(DescribePicture(justUnder.data(), justUnder.size(), f, why));
}

TEST(BitmapFile, LoadsGreyOrColourAndRefusesWhatTheFileCannotHold) {
    // Rows of 5 pixels are 16 bytes in the file, 15 in colour and 5 in grey.
    const Bytes good = test::BuildBmp(Bmp(5, 2).Pixels({0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF,
                                                        0x010203, 0, 0x808080, 0x123456, 0xFEDCBA,
                                                        0x7F7F7F}));
    ASSERT_EQ(Load(good, false), "");
    EXPECT_EQ(std::tie(DarkImage().width, DarkImage().height, DarkImage().channels),
              std::make_tuple(5, 2, 1));
    EXPECT_EQ(DarkImage().pixels, (Bytes{75, 153, 25, 255, 1, 0, 128, 45, 226, 127}));
    ASSERT_EQ(Load(good), "");
    EXPECT_EQ(DarkImage().channels, 3);
    EXPECT_EQ(Bytes(DarkImage().pixels.begin() + 9, DarkImage().pixels.begin() + 18),
              (Bytes{255, 255, 255, 3, 2, 1, 0, 0, 0}));
    auto patch = [&](std::vector<std::pair<size_t, uint32_t>> patches) {
        Bytes f = good;
        for (auto [at, v] : patches) PatchU32(f, at, v);
        return f;
    };
    const std::string compressed = "compressed bitmaps are not read";
    const std::pair<Bytes, std::string> cases[] = {
        {patch({{0, 0x4D41}}), "not a bitmap file"},
        {Bytes(good.begin(), good.begin() + 30), "the file ends inside the information header"},
        {patch({{14, 0xFFFFFFFF}}), "the file ends inside the information header"},
        {patch({{14, 12}}), "the information header is shorter than 40 bytes"},
        {patch({{14, 39}}), "the information header is shorter than 40 bytes"},
        // Run-length, JPEG, alpha bitfields, a FourCC: refused at once.
        {patch({{28, 8}, {30, 1}}), compressed},
        {patch({{30, 4}}), compressed},
        {patch({{28, 32}, {30, 6}}), compressed},
        {patch({{30, kFccY800}}), compressed},
        {patch({{46, 0xFFFFFFFF}}), "the file ends inside the colour table"},
        {patch({{46, 1}}), "the file ends inside the rows"},
        {patch({{18, 16384}, {22, 21845}}), "the file ends inside the rows"},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(Load(cases[i].first, i % 2), cases[i].second) << "case " << i;
    EXPECT_EQ(Load({}, true, "/nonexistent/dark.bmp"), "the file cannot be opened");
}

// Files of independent writers, compared pixel for pixel with FFmpeg's own decoding.
TEST(BitmapFile, ReadsOtherWritersFilesAsFfmpegDoes) {
    if (!test::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const test::TempDir dir;
    auto shell = [](const std::string& command) {
        return test::RunCommand(command + " >/dev/null 2>&1").status == 0;
    };
    const std::string src = dir.file("src.ppm");
    ASSERT_TRUE(shell("ffmpeg -v error -y -f lavfi -i testsrc=size=37x21 -frames:v 1 " + src));
    std::vector<std::string> makers;  // commands, to which the file's name is added
    for (const char* fmt : {"bgr24", "pal8", "gray", "rgb555le", "rgb565le", "rgb444le", "bgra",
                            "monob", "rgb4_byte"})
        makers.push_back("ffmpeg -v error -y -i " + src + " -pix_fmt " + fmt + " ");
    const bool magick =
        test::RunCommand("convert -version 2>/dev/null").output.find("ImageMagick") !=
        std::string::npos;
    // V5, V3 (40 bytes: "BMP3:") and V4 headers; tables after them; bitfields in the header.
    for (const char* options :
         {" ", " BMP3:", " -type Grayscale ", " -type Palette -compress None ",
          " -type Palette -compress None BMP3:", " -type TrueColorAlpha ",
          " -define bmp:subtype=RGB565 ", " -define bmp:subtype=RGB555 ", " -type Bilevel "})
        if (magick) makers.push_back("convert " + src + options);
    for (size_t i = 0; i < makers.size(); ++i) {
        SCOPED_TRACE(makers[i]);
        const std::string bmp = dir.file(std::to_string(i) + ".bmp");
        ASSERT_TRUE(shell(makers[i] + bmp));
        ASSERT_TRUE(shell("ffmpeg -v error -i " + bmp + " -pix_fmt bgr24 -f rawvideo " + bmp + "2"));
        Bytes want = test::ReadFileBytes(bmp + "2");
        // FFmpeg widens 4-bit channels by shifting (15 becomes 240); DIB decoding repeats the
        // bits, so that the top value stays white.
        if (makers[i].find("rgb444le") != std::string::npos)
            for (uint8_t& v : want) v = uint8_t(v | v >> 4);
        ASSERT_EQ(Load({}, true, bmp), "");
        EXPECT_EQ(std::tie(DarkImage().width, DarkImage().height), std::make_tuple(37, 21));
        EXPECT_EQ(DarkImage().pixels, want);
    }
    // Run-length compressed, as ImageMagick writes palette files by default.
    if (!magick) return;
    ASSERT_TRUE(shell("convert " + src + " -type Palette " + dir.file("rle.bmp")));
    EXPECT_EQ(Load({}, true, dir.file("rle.bmp")), "compressed bitmaps are not read");
}

}  // namespace
}  // namespace kestrel
