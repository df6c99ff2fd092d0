#include "io/bitmap.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>

#include "base/byte_cursor.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"

namespace kestrel {
namespace {

using Bgr = std::array<uint8_t, 3>;
using test::Bmp;

constexpr uint32_t kBiRle8 = 1, kBiRle4 = 2, kBiJpeg = 4, kBiPng = 5, kBiAlphaBitfields = 6;

std::vector<uint8_t> Build(const Bmp& b) { return test::BuildBmp(b); }
Bgr FromRgb(uint32_t rgb) { return {uint8_t(rgb), uint8_t(rgb >> 8), uint8_t(rgb >> 16)}; }

bool Shell(const std::string& command) {
    return test::RunCommand(command + " >/dev/null 2>&1").status == 0;
}

class BitmapTest : public ::testing::Test {
protected:
    void SetUp() override { saved_ = DarkImage(); }
    void TearDown() override { DarkImage() = saved_; }
    std::string Path(const std::string& name) const { return dir_.file(name); }
    std::string Write(const std::vector<uint8_t>& bytes, const std::string& name = "dark.bmp") {
        EXPECT_TRUE(test::WriteFileBytes(Path(name), bytes));
        return Path(name);
    }
    // Reads a file and returns its pixels as tight blue-green-red rows, checking the block.
    std::optional<std::vector<uint8_t>> Read(const std::string& path, int32_t& w, int32_t& h) {
        std::vector<uint8_t> block;
        w = h = 0;
        if (!ReadBitmapFile(path, w, h, block)) return std::nullopt;
        const size_t stride = Stride24(uint32_t(w));
        EXPECT_EQ(block.size(), stride * size_t(h));
        std::vector<uint8_t> tight;
        for (int32_t i = 0; i < h; ++i)
            tight.insert(tight.end(), block.begin() + ptrdiff_t(i * stride),
                         block.begin() + ptrdiff_t(i * stride + 3 * size_t(w)));
        return tight;
    }
    bool Refused(const std::vector<uint8_t>& bytes) {
        int32_t w = 7, h = 9;
        std::vector<uint8_t> block{1, 2, 3};
        const bool ok = ReadBitmapFile(Write(bytes, "refused.bmp"), w, h, block);
        EXPECT_TRUE(ok || (w == 7 && h == 9 && block.size() == 3));
        return !ok;
    }

    test::TempDir dir_;
    Image saved_;
};

// Bit replication, which takes the top value of every width to 255.
uint8_t Five(uint32_t v) { return uint8_t(v << 3 | v >> 2); }
uint8_t Six(uint32_t v) { return uint8_t(v << 2 | v >> 4); }

struct LayoutCase {
    const char* name;
    Bmp bmp;
    uint32_t valueRange;                  // raw pixel values drawn from 0 .. valueRange - 1
    std::function<Bgr(uint32_t)> expect;  // raw value -> blue, green, red
};

std::vector<uint32_t> RandomTable(size_t n, std::mt19937& rng) {
    std::vector<uint32_t> t(n);
    for (auto& c : t) c = rng() & 0xFFFFFF;
    return t;
}

TEST_F(BitmapTest, ConvertsEveryLayoutTopRowFirst) {
    std::mt19937 rng(99);
    const auto t2 = RandomTable(2, rng), t3 = RandomTable(3, rng), t4 = RandomTable(4, rng),
               t16 = RandomTable(16, rng), t256 = RandomTable(256, rng);
    auto indexed = [](std::vector<uint32_t> t) {
        return [t](uint32_t v) { return v < t.size() ? FromRgb(t[v]) : Bgr{0, 0, 0}; };
    };
    auto masked555 = [](uint32_t v) {
        return Bgr{Five(v & 31), Five(v >> 5 & 31), Five(v >> 10 & 31)};
    };
    auto masked565 = [](uint32_t v) { return Bgr{Five(v & 31), Six(v >> 5 & 63), Five(v >> 11)}; };
    auto bgrx = [](uint32_t v) { return FromRgb(v); };
    const std::vector<uint32_t> k565 = {0xF800, 0x07E0, 0x001F};
    const std::vector<uint32_t> k888 = {0xFF0000, 0x00FF00, 0x0000FF};
    const std::vector<LayoutCase> cases = {
        {"24-bit 5 wide, 16-byte rows", Bmp(5, 3), 1u << 24, bgrx},
        {"24-bit top row first", Bmp(5, -3), 1u << 24, bgrx},
        {"8-bit, 256 entries, rows at 1078", Bmp(6, 4, 8).Table(t256).Off(0), 256, indexed(t256)},
        {"8-bit, 16 entries, rows at 118", Bmp(6, 4, 8).Used(16).Table(t16).Off(0), 16,
         indexed(t16)},
        {"24-bit carrying 2 entries, rows at 62", Bmp(5, 2).Used(2).Table(t2).Off(54), 1u << 24,
         bgrx},
        {"8-bit index past the table is black", Bmp(5, 3, 8).Used(2).Table(t2), 256, indexed(t2)},
        {"4-bit index past the table is black", Bmp(5, 3, 4).Used(3).Table(t3), 16, indexed(t3)},
        {"1-bit across byte ends", Bmp(19, 3, 1).Table(t2), 2, indexed(t2)},
        {"2-bit", Bmp(7, 2, 2).Table(t4), 4, indexed(t4)},
        {"4-bit odd width", Bmp(5, 3, 4).Table(t16), 16, indexed(t16)},
        {"16-bit 5-5-5", Bmp(3, 3, 16), 1u << 16, masked555},
        {"16-bit bitfields 5-6-5 after the header",
         Bmp(3, 3, 16).Compress(kBiBitfields).Masks(k565), 1u << 16, masked565},
        {"16-bit bitfields, rows after the masks",
         Bmp(3, 3, 16).Compress(kBiBitfields).Masks(k565).Off(0), 1u << 16, masked565},
        {"16-bit bitfields 4-4-4",
         Bmp(3, 2, 16).Compress(kBiBitfields).Masks({0x0F00, 0x00F0, 0x000F}), 1u << 16,
         [](uint32_t v) {
             return Bgr{uint8_t((v & 15) * 17), uint8_t((v >> 4 & 15) * 17),
                        uint8_t((v >> 8 & 15) * 17)};
         }},
        {"32-bit blue, green, red, unused", Bmp(3, 3, 32), 0xFFFFFFFF, bgrx},
        {"32-bit bitfields red low, 10 bits",
         Bmp(3, 2, 32).Compress(kBiBitfields).Masks({0x3FF, 0xFFC00, 0x3FF00000}), 0xFFFFFFFF,
         [](uint32_t v) {
             return Bgr{uint8_t(v >> 22), uint8_t(v >> 12), uint8_t(v >> 2)};
         }},
        {"V4 header, bfOffBits past a gap", Bmp(4, 3).Info(108).Gap(10), 1u << 24, bgrx},
        {"V5 header, bitfields inside it, top row first",
         Bmp(4, -3, 32).Compress(kBiBitfields).Info(124).Masks(k888).Gap(6), 0xFFFFFFFF, bgrx},
        {"V5 header, 8-bit table after it", Bmp(4, 3, 8).Info(124).Used(16).Table(t16).Masks(k888),
         16, indexed(t16)},
        {"bfOffBits inside the table", Bmp(4, 2, 8).Table(t256).Off(60), 256, indexed(t256)},
        {"bfOffBits past the end", Bmp(4, 2).Off(1u << 30), 1u << 24, bgrx},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bmp b = c.bmp;
        const size_t n = size_t(b.width) * size_t(std::abs(b.height));
        for (size_t i = 0; i < n; ++i) b.pixels.push_back(uint32_t(rng() % c.valueRange));
        // The first pixels show the ends of the range (the top index, an index past the table).
        b.pixels[0] = c.valueRange - 1;
        const std::vector<uint8_t> file = Build(b);
        int32_t w = 0, h = 0;
        const auto got = Read(Write(file), w, h);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(w, b.width);
        EXPECT_EQ(h, std::abs(b.height));
        std::vector<uint8_t> expected;
        for (uint32_t v : b.pixels) {
            const Bgr p = c.expect(v);
            expected.insert(expected.end(), p.begin(), p.end());
        }
        EXPECT_EQ(*got, expected);
    }
}

Bmp Primaries(int32_t height) {
    return Bmp(4, height).Pixels(
        {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF, 0x000000, 0x808080, 0x123456, 0xFEDCBA});
}

TEST_F(BitmapTest, LoadsGreyOrColourInTheRunsLayout) {
    Settings s;
    s.DarkFrame = Write(Build(Primaries(2)));
    Failure failure{"left over", "stale"};
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    EXPECT_TRUE(failure.message.empty());
    const Image& d = DarkImage();
    EXPECT_EQ(d.width, 4);
    EXPECT_EQ(d.height, 2);
    EXPECT_EQ(d.channels, 1);
    ASSERT_TRUE(d.consistent());
    EXPECT_EQ(d.pixels,
              (std::vector<uint8_t>{75, 153, 25, 255, 0, GreyLevel(0x80, 0x80, 0x80),
                                    GreyLevel(0x56, 0x34, 0x12), GreyLevel(0xBA, 0xDC, 0xFE)}));

    s.Colour = 1;
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    EXPECT_EQ(d.channels, 3);
    ASSERT_EQ(d.pixels.size(), 3u * 4 * 2);
    EXPECT_EQ(std::vector<uint8_t>(d.pixels.begin(), d.pixels.begin() + 6),
              (std::vector<uint8_t>{0, 0, 255, 0, 255, 0}));
    EXPECT_EQ(std::vector<uint8_t>(d.pixels.end() - 3, d.pixels.end()),
              (std::vector<uint8_t>{0xBA, 0xDC, 0xFE}));

    // Rows of 5 pixels: 16 bytes in the file, 15 in colour and 5 in grey.
    Bmp five(5, 3);
    for (uint32_t i = 0; i < 15; ++i) five.pixels.push_back(0x010101 * (i * 16));
    s.DarkFrame = Write(Build(five));
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    ASSERT_EQ(d.pixels.size(), 45u);
    EXPECT_EQ(d.pixels[15], 5 * 16);
    s.Colour = 0;
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    ASSERT_EQ(d.pixels.size(), 15u);
    for (size_t i = 0; i < 15; ++i) EXPECT_EQ(d.pixels[i], i * 16);
}

TEST_F(BitmapTest, FailedLoadLeavesTheDarkImageAsItWas) {
    Settings s;
    s.DarkFrame = Write(Build(Primaries(-2)));
    Failure failure;
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    const Image before = DarkImage();
    std::vector<uint8_t> notBm = Build(Primaries(2));
    notBm[1] = 'A';
    for (const std::string& name : {Path("missing.bmp"), dir_.path(), Write(notBm, "ba.bmp"),
                                    Write({}, "empty.bmp"), std::string()}) {
        s.DarkFrame = name;
        EXPECT_FALSE(LoadDarkFrame(s, failure));
        EXPECT_EQ(failure.message, "Can't open dark frame");
        EXPECT_EQ(DarkImage().width, before.width);
        EXPECT_EQ(DarkImage().height, before.height);
        EXPECT_EQ(DarkImage().pixels, before.pixels);
    }
}

TEST_F(BitmapTest, RefusesWhatItCannotDecode) {
    Bmp base(4, 2);
    base.pixels.assign(8, 0x336699);
    auto with = [&](auto change) {
        Bmp b = base;
        change(b);
        return Build(b);
    };
    auto patch = [&](size_t at, uint32_t v) {
        std::vector<uint8_t> f = Build(base);
        PatchU32(f, at, v);
        return f;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> file;
    };
    const std::vector<Case> cases = {
        {"RLE8", with([](Bmp& b) { b.bits = 8, b.compression = kBiRle8, b.table.assign(256, 0); })},
        {"RLE4", with([](Bmp& b) { b.bits = 4, b.compression = kBiRle4, b.table.assign(16, 0); })},
        {"JPEG", with([](Bmp& b) { b.bits = 0, b.compression = kBiJpeg; })},
        {"PNG", with([](Bmp& b) { b.compression = kBiPng; })},
        {"alpha bitfields", with([](Bmp& b) { b.bits = 32, b.compression = kBiAlphaBitfields; })},
        {"unknown compression", with([](Bmp& b) { b.compression = 0xFFFFFFFF; })},
        {"bitfields at 24 bits", with([](Bmp& b) {
             b.compression = kBiBitfields, b.masks = {0xFF0000, 0xFF00, 0xFF};
         })},
        {"bitfields at 8 bits", with([](Bmp& b) {
             b.bits = 8, b.compression = kBiBitfields, b.masks = {0xE0, 0x1C, 3};
         })},
        {"0 bits", with([](Bmp& b) { b.bits = 0; })},
        {"3 bits", with([](Bmp& b) { b.bits = 3; })},
        {"48 bits", with([](Bmp& b) { b.bits = 48; })},
        {"zero mask", with([](Bmp& b) {
             b.bits = 16, b.compression = kBiBitfields, b.masks = {0xF800, 0, 0x1F};
         })},
        {"split mask", with([](Bmp& b) {
             b.bits = 16, b.compression = kBiBitfields, b.masks = {0xF800, 0x0505, 0x1F};
         })},
        {"mask past 16 bits", with([](Bmp& b) {
             b.bits = 16, b.compression = kBiBitfields, b.masks = {0x1F0000, 0x7E0, 0x1F};
         })},
        {"core header", patch(14, 12)},
        {"39-byte header", patch(14, 39)},
        {"header past the end", patch(14, 0xFFFFFFFF)},
        {"width 0", patch(18, 0)},
        {"width -1", patch(18, 0xFFFFFFFF)},
        {"width INT32_MIN", patch(18, 0x80000000)},
        {"width INT32_MAX", patch(18, 0x7FFFFFFF)},
        {"height 0", patch(22, 0)},
        {"height INT32_MIN", patch(22, 0x80000000)},
        {"height INT32_MAX", patch(22, 0x7FFFFFFF)},
        {"product past 32 bits",
         [&] {
             auto f = patch(18, 1u << 16);
             PatchU32(f, 22, 1u << 16);
             return f;
         }()},
        {"largest product",
         [&] {
             auto f = patch(18, 0x7FFFFFFF);
             PatchU32(f, 22, 0x80000001);
             return f;
         }()},
        {"table of 2^32-1 entries", patch(46, 0xFFFFFFFF)},
        {"table of 2^30 entries", patch(46, 1u << 30)},
        {"table past the end", patch(46, 1)},
    };
    for (const Case& c : cases) EXPECT_TRUE(Refused(c.file)) << c.name;
}

// A header within the file's size but over the limit: refused before the rows are read. The
// file is sparse, so that it costs nothing on the disk.
TEST_F(BitmapTest, RefusesPicturesOverTheLimitBeforeReadingThem) {
    const int32_t w = 16384, h = 21846;  // 3 x w x h just over 1 << 30
    Bmp b{w, 1, 24};
    b.pixels.assign(size_t(w), 0);
    std::vector<uint8_t> file = Build(b);
    PatchU32(file, 22, uint32_t(h));
    const std::string p = Write(file, "huge.bmp");
    std::filesystem::resize_file(p, 54 + uint64_t(Stride24(w)) * uint64_t(h));
    int32_t rw = 0, rh = 0;
    std::vector<uint8_t> block;
    EXPECT_FALSE(ReadBitmapFile(p, rw, rh, block));
}

TEST_F(BitmapTest, RefusesEveryTruncation) {
    std::mt19937 rng(5);
    auto pixels = [&](size_t n) {
        std::vector<uint32_t> v(n);
        for (auto& p : v) p = rng() % 4;
        return v;
    };
    const std::vector<Bmp> files = {
        Bmp(3, 2, 8).Used(4).Table(RandomTable(4, rng)).Pixels(pixels(6)),
        Bmp(2, 2, 16).Compress(kBiBitfields).Masks({0xF800, 0x07E0, 0x001F}).Pixels(pixels(4)),
        Bmp(2, -2).Info(124).Gap(3).Pixels(pixels(4)),
        Bmp(3, 1, 1).Info(108).Table(RandomTable(2, rng)).Pixels(pixels(3)),
    };
    for (const Bmp& b : files) {
        const std::vector<uint8_t> file = Build(b);
        int32_t w, h;
        ASSERT_TRUE(Read(Write(file), w, h).has_value()) << b.bits;
        for (size_t n = 0; n < file.size(); ++n)
            EXPECT_TRUE(Refused({file.begin(), file.begin() + ptrdiff_t(n)})) << b.bits << " " << n;
    }
}

// Files from independent writers, compared pixel for pixel with FFmpeg's own decoding.
class BitmapToolsTest : public BitmapTest {
protected:
    static std::vector<uint8_t> FfmpegBgr(const std::string& bmp) {
        const std::string raw = bmp + ".raw";
        if (!Shell("ffmpeg -v error -y -i '" + bmp + "' -f rawvideo -pix_fmt bgr24 '" + raw + "'"))
            return {};
        return test::ReadFileBytes(raw);
    }
    // FFmpeg widens 4-bit channels by shifting (15 becomes 240); this reader repeats the bits,
    // so that the top value stays white (15 becomes 255).
    void ExpectSameAsFfmpeg(const std::string& bmp, bool fourBitChannels = false) {
        SCOPED_TRACE(bmp);
        std::vector<uint8_t> expected = FfmpegBgr(bmp);
        ASSERT_EQ(expected.size(), 37u * 21 * 3);
        if (fourBitChannels)
            for (uint8_t& v : expected) v = uint8_t(v | v >> 4);
        int32_t w, h;
        const auto got = Read(bmp, w, h);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(w, 37);
        EXPECT_EQ(h, 21);
        EXPECT_EQ(*got, expected);
    }
};

TEST_F(BitmapToolsTest, ReadsEveryFfmpegLayout) {
    if (!test::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    for (const char* fmt : {"bgr24", "pal8", "gray", "rgb555le", "rgb565le", "rgb444le", "bgra",
                            "monob", "rgb4_byte"}) {
        const std::string bmp = Path(std::string(fmt) + ".bmp");
        ASSERT_TRUE(
            Shell("ffmpeg -v error -y -f lavfi -i testsrc=size=37x21 -frames:v 1 -pix_fmt " +
                  std::string(fmt) + " '" + bmp + "'"));
        ExpectSameAsFfmpeg(bmp, std::string(fmt) == "rgb444le");
    }
    // A grey file loaded without Colour keeps its grey levels.
    Settings s;
    s.DarkFrame = Path("gray.bmp");
    Failure failure;
    ASSERT_TRUE(LoadDarkFrame(s, failure));
    const std::vector<uint8_t> bgr = FfmpegBgr(s.DarkFrame);
    std::vector<uint8_t> grey;
    for (size_t i = 0; i + 2 < bgr.size(); i += 3) {
        ASSERT_TRUE(bgr[i] == bgr[i + 1] && bgr[i] == bgr[i + 2]);
        grey.push_back(bgr[i]);
    }
    EXPECT_EQ(DarkImage().pixels, grey);
}

TEST_F(BitmapToolsTest, ReadsImageMagickFiles) {
    const bool imageMagick =
        test::RunCommand("convert -version 2>/dev/null").output.find("ImageMagick") !=
        std::string::npos;
    if (!imageMagick) GTEST_SKIP() << "convert is not ImageMagick";
    if (!test::HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string src = Path("src.ppm");
    ASSERT_TRUE(
        Shell("ffmpeg -v error -y -f lavfi -i testsrc=size=37x21 -frames:v 1 '" + src + "'"));
    struct Case {
        const char* options;
        const char* name;
    };
    const Case cases[] = {
        {"", "v5.bmp"},                                 // V5 header, 24 bits
        {"", "BMP3:v3.bmp"},                            // 40-byte header
        {"-type Grayscale", "v4grey.bmp"},              // V4 header
        {"-type Palette -compress None", "v5pal.bmp"},  // 8 bits, table after a V5 header
        {"-type Palette -compress None", "BMP3:v3pal.bmp"},
        {"-type TrueColorAlpha", "v5alpha.bmp"},  // 32-bit bitfields in the header
        {"-define bmp:subtype=RGB565", "v5rgb565.bmp"},
        {"-define bmp:subtype=RGB555", "v5rgb555.bmp"},
        {"-type Bilevel", "v4mono.bmp"},
    };
    for (const Case& c : cases) {
        std::string name = c.name;
        const std::string prefix = name.rfind("BMP3:", 0) == 0 ? "BMP3:" : "";
        name = name.substr(prefix.size());
        ASSERT_TRUE(
            Shell("convert '" + src + "' " + c.options + " " + prefix + "'" + Path(name) + "'"));
        ExpectSameAsFfmpeg(Path(name));
    }
    // Run-length compressed, as ImageMagick writes palette files by default.
    ASSERT_TRUE(Shell("convert '" + src + "' -type Palette '" + Path("rle.bmp") + "'"));
    int32_t w, h;
    EXPECT_FALSE(Read(Path("rle.bmp"), w, h).has_value());
}

}  // namespace
}  // namespace kestrel
