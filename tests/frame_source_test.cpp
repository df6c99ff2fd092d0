#include "io/frame_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "io/byte_io.h"
#include "io/decode.h"
#include "support/files.h"
#include "support/riff_builder.h"

namespace kestrel {
namespace {

using test::BuildAvi;
using test::PackedDib;
using test::TestAvi;
using test::TestIndex;
using test::VideoFormat;
using test::VideoStream;
using Bytes = std::vector<uint8_t>;

const uint32_t k00db = FourCC("00db");

// Blue, green, red of one pixel.
struct Bgr {
    uint8_t b, g, r;
};
const Bgr kWhite{255, 255, 255}, kBlack{0, 0, 0}, kRed{0, 0, 255}, kGreen{0, 255, 0},
    kBlue{255, 0, 0}, kMidGrey{128, 128, 128};

// Pictures as the tests think of them: colour Images, rows top-down, no padding.
Image Pattern(int32_t w, int32_t h, uint8_t seed) {
    Image p{w, h, 3, Bytes(size_t(w) * size_t(h) * 3)};
    for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = uint8_t(seed + 31 * i + i / 7);
    return p;
}

Image FromPixels(int32_t w, int32_t h, const std::vector<Bgr>& px) {
    Image p{w, h, 3, {}};
    for (const Bgr& c : px) p.pixels.insert(p.pixels.end(), {c.b, c.g, c.r});
    return p;
}

Bytes Table(const std::vector<Bgr>& entries) {
    Bytes t;
    for (const Bgr& c : entries) t.insert(t.end(), {c.b, c.g, c.r, 0x5A});
    return t;
}

// Rows of `rowBytes` (at least 3 x width, the rest filled with 0xEE), bottom row first unless
// `topDown`.
Bytes Rows24(const Image& p, size_t rowBytes, bool topDown) {
    Bytes out(rowBytes * size_t(p.height), 0xEE);
    for (int32_t y = 0; y < p.height; ++y)
        std::memcpy(&out[size_t(topDown ? y : p.height - 1 - y) * rowBytes],
                    &p.pixels[size_t(y) * 3 * size_t(p.width)], 3 * size_t(p.width));
    return out;
}

// Converts a packed DIB; the top-down picture, or an empty one.
Image Convert(const Bytes& dib) {
    Image out{0, 0, 3, {}};
    Bytes frame;
    if (!ConvertDibTo24(dib.data(), dib.size(), out.width, out.height, frame)) return out;
    const size_t stride = Stride24(uint32_t(out.width)), row = 3 * size_t(out.width);
    EXPECT_EQ(frame.size(), stride * size_t(out.height));
    for (size_t at = 0; at + row <= frame.size(); at += stride)
        out.pixels.insert(out.pixels.end(), frame.begin() + std::ptrdiff_t(at),
                          frame.begin() + std::ptrdiff_t(at + row));
    return out;
}

Image DecodeChunk(DibDecoder& d, const Bytes& chunk) {
    return d.decode(chunk.data(), chunk.size()) ? Convert(d.dib()) : Image{};
}

Image DecodeOne(const Bytes& strf, const Bytes& chunk) {
    DibDecoder d;
    EXPECT_TRUE(d.open(strf));
    return DecodeChunk(d, chunk);
}

void ExpectSame(const Image& got, const Image& want) {
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.pixels, want.pixels);
}

// ---- ConvertDibTo24: the one DIB layout the frame source reads ----

TEST(ConvertDibTo24, RowOrderFollowsTheSignOfTheHeight) {
    for (int32_t w : {1, 2}) {  // one pixel wide: rows of three bytes and one fill byte
        for (bool topDown : {false, true}) {
            SCOPED_TRACE(testing::Message() << "width " << w << " top-down " << topDown);
            const Image p = Pattern(w, 2, 1);
            const Bytes rows = Rows24(p, Stride24(uint32_t(w)), topDown);
            ExpectSame(Convert(PackedDib(w, topDown ? -2 : 2, 24, {}, 0, rows)), p);
        }
    }
}

TEST(ConvertDibTo24, ColourTablePlacesTheRowsAndIndicesPastItAreBlack) {
    // 256 entries when biClrUsed is 0: rows at 1064; 16 entries: rows at 104. Behind a
    // two-entry table lie the pixel rows: an unchecked index 3 would read them.
    for (uint32_t clrUsed : {0u, 16u, 2u}) {
        SCOPED_TRACE(clrUsed);
        const size_t entries = clrUsed ? clrUsed : 256;
        std::vector<Bgr> colours;
        for (size_t i = 0; i < entries; ++i)
            colours.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(3 * i)});
        const Bytes rows = {1, 15, 7, 0, 3, 0, 9, 0};  // 3 wide: stride 4
        const Bytes dib = PackedDib(3, 2, 8, Table(colours), clrUsed, rows);
        ASSERT_EQ(dib.size(), 40 + 4 * entries + rows.size());
        std::vector<Bgr> want;
        for (uint8_t i : {3, 0, 9, 1, 15, 7}) want.push_back(i < entries ? colours[i] : kBlack);
        ExpectSame(Convert(dib), FromPixels(3, 2, want));
        // One byte short of the rows: refused, never read past.
        EXPECT_EQ(Convert(Bytes(dib.begin(), dib.end() - 1)).width, 0);
    }
}

TEST(ConvertDibTo24, RefusesWhatItCannotRead) {
    const Bytes good = PackedDib(2, 2, 24, {}, 0, Bytes(16, 9));
    int32_t w = 7, h = 7;
    Bytes frame;
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(ConvertDibTo24(good.data(), n, w, h, frame)) << n;
        EXPECT_TRUE(frame.empty());
    }
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 7);
    const struct {
        const char* what;
        int32_t w, h;
        uint16_t bits;
        uint32_t clrUsed;
    } bad[] = {{"zero width", 0, 2, 24, 0},
               {"negative width", -2, 2, 24, 0},
               {"zero height", 2, 0, 24, 0},
               {"16 bits", 2, 2, 16, 0},
               {"4 bits", 2, 2, 4, 0},
               {"huge table", 2, 2, 8, 0xFFFFFFFFu},
               {"huge picture", 1 << 20, 1 << 20, 24, 0},
               {"lowest height", 2, INT32_MIN, 24, 0}};
    for (const auto& b : bad) {
        const Bytes dib = PackedDib(b.w, b.h, b.bits, {}, b.clrUsed, Bytes(2048, 1));
        EXPECT_FALSE(ConvertDibTo24(dib.data(), dib.size(), w, h, frame)) << b.what;
    }
}

// ---- DibDecoder: stored pictures to bottom-up 8- or 24-bit DIBs ----

TEST(DibDecoder, TwentyFourBitsEitherWayUpPaddedOrNot) {
    const Image p = Pattern(3, 4, 10);
    for (int32_t sign : {1, -1}) {
        for (size_t rowBytes : {size_t(12), size_t(9)}) {
            SCOPED_TRACE(testing::Message() << "sign " << sign << " row " << rowBytes);
            ExpectSame(DecodeOne(VideoFormat(3, 4 * sign, 24), Rows24(p, rowBytes, sign < 0)), p);
        }
    }
    // The decoded DIB is always bottom-up with padded rows.
    DibDecoder d;
    ASSERT_TRUE(d.open(VideoFormat(3, -4, 24)));
    ASSERT_TRUE(d.decode(Rows24(p, 9, true).data(), 36));
    ByteCursor in(d.dib().data(), d.dib().size());
    const BitmapInfoHeader h = ReadBitmapInfoHeader(in);
    EXPECT_EQ(h.biHeight, 4);
    EXPECT_EQ(h.biBitCount, 24);
    EXPECT_EQ(d.dib().size(), 40u + 12 * 4);
}

TEST(DibDecoder, PaletteAndGreyPicturesEitherWayUpPaddedOrNot) {
    // Index 200 lies past the three-entry table.
    const Bytes top = {0, 1, 2}, bottom = {200, 2, 1};
    const Image want = FromPixels(3, 2, {kRed, kGreen, kBlue, kBlack, kBlue, kGreen});
    for (int32_t sign : {1, -1}) {
        for (size_t rowBytes : {size_t(4), size_t(3)}) {
            SCOPED_TRACE(testing::Message() << "sign " << sign << " row " << rowBytes);
            Bytes chunk(2 * rowBytes, 0);
            std::copy_n((sign > 0 ? bottom : top).begin(), 3, chunk.begin());
            std::copy_n((sign > 0 ? top : bottom).begin(), 3,
                        chunk.begin() + std::ptrdiff_t(rowBytes));
            const Bytes strf = VideoFormat(3, 2 * sign, 8, kBiRgb, 3, Table({kRed, kGreen, kBlue}));
            ExpectSame(DecodeOne(strf, chunk), want);
        }
    }
    // Grey FourCCs: top row first whatever the sign of the height.
    for (uint32_t fcc : {kFccY800, kFccY8, kFccGrey}) {
        for (size_t rowBytes : {size_t(3), size_t(4)}) {
            SCOPED_TRACE(testing::Message() << "row " << rowBytes);
            Bytes chunk(2 * rowBytes, 0x77);
            chunk[0] = 10, chunk[1] = 20, chunk[2] = 30;  // top row
            chunk[rowBytes] = 40, chunk[rowBytes + 1] = 50, chunk[rowBytes + 2] = 60;
            std::vector<Bgr> grey;
            for (uint8_t v : {10, 20, 30, 40, 50, 60}) grey.push_back({v, v, v});
            ExpectSame(DecodeOne(VideoFormat(3, 2, 8, fcc), chunk), FromPixels(3, 2, grey));
        }
    }
}

TEST(DibDecoder, SixteenBitPicturesAreWidenedAndMasksAreFollowed) {
    auto u16s = [](std::initializer_list<uint16_t> px) {
        Bytes out;
        for (uint16_t v : px) PutU16(out, v);
        return out;
    };
    auto masks = [](uint32_t r, uint32_t g, uint32_t b) {
        Bytes out;
        for (uint32_t m : {r, g, b}) PutU32(out, m);
        return out;
    };
    // 5-5-5: white, pure red, blue 16 -> (16 << 3) | (16 >> 2) = 132, green 1 -> 8.
    ExpectSame(DecodeOne(VideoFormat(4, 1, 16), u16s({0x7FFF, 0x7C00, 0x0010, 0x0020})),
               FromPixels(4, 1, {kWhite, kRed, {132, 0, 0}, {0, 8, 0}}));
    // 5-6-5 from masks: green 32 of 63 -> (32 << 2) | (32 >> 4) = 130; the top bit is not red.
    ExpectSame(DecodeOne(VideoFormat(4, -1, 16, kBiBitfields, 0, masks(0xF800, 0x07E0, 0x001F)),
                         u16s({0xFFFF, 0x0400, 0xF800, 0x001F})),
               FromPixels(4, 1, {kWhite, {0, 130, 0}, kRed, kBlue}));
    // 32 bits drop the fourth byte; masks may name red in the lowest byte.
    const Bytes chunk = {1, 2, 3, 0xFF, 4, 5, 6, 0x00};
    ExpectSame(DecodeOne(VideoFormat(2, 1, 32), chunk), FromPixels(2, 1, {{1, 2, 3}, {4, 5, 6}}));
    ExpectSame(
        DecodeOne(VideoFormat(2, 1, 32, kBiBitfields, 0, masks(0xFF, 0xFF00, 0xFF0000)), chunk),
        FromPixels(2, 1, {{3, 2, 1}, {6, 5, 4}}));
}

TEST(DibDecoder, DroppedFramesRepeatThePictureBefore) {
    DibDecoder d;
    ASSERT_TRUE(d.open(VideoFormat(2, 2, 24)));
    // Nothing before it: a black picture, so positions stay in step with the stream.
    ExpectSame(DecodeChunk(d, {}), FromPixels(2, 2, {kBlack, kBlack, kBlack, kBlack}));
    const Image p = Pattern(2, 2, 3);
    ExpectSame(DecodeChunk(d, Rows24(p, 8, false)), p);
    ExpectSame(DecodeChunk(d, {}), p);
    ExpectSame(DecodeChunk(d, {}), p);
    // A chunk too short for the picture holds none.
    EXPECT_FALSE(d.decode(Rows24(p, 8, false).data(), 11));

    DibDecoder grey;
    ASSERT_TRUE(grey.open(VideoFormat(2, 1, 8, kFccY800)));
    ExpectSame(DecodeChunk(grey, {}), FromPixels(2, 1, {kBlack, kBlack}));
    ExpectSame(DecodeChunk(grey, {9, 8}), FromPixels(2, 1, {{9, 9, 9}, {8, 8, 8}}));
    ExpectSame(DecodeChunk(grey, {}), FromPixels(2, 1, {{9, 9, 9}, {8, 8, 8}}));
}

TEST(DibDecoder, PaletteChangesRecolourTheFollowingPictures) {
    DibDecoder d;
    ASSERT_TRUE(d.open(VideoFormat(2, 1, 8, kBiRgb, 2, Table({kRed, kGreen}))));
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {kRed, kGreen}));
    // Entry 1 becomes red 1, green 2, blue 3 (AVIPALCHANGE entries are red first).
    d.applyPaletteChange(Bytes{1, 1, 0, 0, 1, 2, 3, 0}.data(), 8);
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {kRed, {3, 2, 1}}));
    // A change that claims more entries than it holds stops at its end.
    d.applyPaletteChange(Bytes{0, 0, 0, 0, 9, 9, 9, 0, 7}.data(), 9);
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {{9, 9, 9}, {3, 2, 1}}));
}

TEST(DibDecoder, FormatsThatCannotBeDecodedAreRefusedAtOpen) {
    Bytes badMasks;
    for (uint32_t m : {0xF0F0u, 0x0F00u, 0x000Fu}) PutU32(badMasks, m);
    const struct {
        const char* what;
        Bytes strf;
    } cases[] = {
        {"MJPG", VideoFormat(8, 8, 24, FourCC("MJPG"))},
        {"4 bits", VideoFormat(8, 8, 4)},
        {"1 bit", VideoFormat(8, 8, 1)},
        {"zero width", VideoFormat(0, 8, 24)},
        {"negative width", VideoFormat(-8, 8, 24)},
        {"zero height", VideoFormat(8, 0, 24)},
        {"lowest height", VideoFormat(8, INT32_MIN, 24)},
        {"over a gigabyte", VideoFormat(32768, 16384, 24)},
        {"overflowing product", VideoFormat(INT32_MAX, INT32_MAX, 24)},
        {"split mask", VideoFormat(8, 8, 16, kBiBitfields, 0, badMasks)},
        {"missing masks", VideoFormat(8, 8, 32, kBiBitfields)},
        {"grey of 16 bits", VideoFormat(8, 8, 16, kFccY800)},
        {"short header", Bytes(39, 0)},
    };
    PictureFormat f;
    for (const auto& c : cases)
        EXPECT_FALSE(DescribePicture(c.strf.data(), c.strf.size(), f)) << c.what;
    const Bytes justUnder = VideoFormat(16384, 21845, 24);
    EXPECT_TRUE(DescribePicture(justUnder.data(), justUnder.size(), f));
}

// ---- ReadNextFrame over real files ----

class FrameSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseInputVideo();
        settings_.InputFile = dir_.file("in.avi");
    }
    void TearDown() override { CloseInputVideo(); }

    void Write(const Bytes& bytes) {
        ASSERT_TRUE(test::WriteFileBytes(settings_.InputFile, bytes));
    }
    void Write(const TestAvi& avi) { Write(BuildAvi(avi).bytes); }

    // A 24-bit stream of these pictures, stored bottom row first unless `topDown`.
    static TestAvi Video(const std::vector<Image>& pictures, bool topDown = false) {
        TestAvi avi;
        const int32_t h = pictures[0].height;
        avi.streams.push_back(VideoStream(VideoFormat(pictures[0].width, topDown ? -h : h, 24)));
        for (const Image& p : pictures)
            avi.chunks.push_back({k00db, Rows24(p, Stride24(uint32_t(p.width)), topDown)});
        return avi;
    }

    // Reads the whole input in colour and closes it; `message_` holds the last message.
    std::vector<Image> ReadAll() {
        settings_.Colour = 1;
        std::vector<Image> out;
        message_.clear();
        while (ReadNextFrame(settings_, message_)) {
            EXPECT_TRUE(ImageBuffer().consistent());
            out.push_back(ImageBuffer());
        }
        CloseInputVideo();
        return out;
    }

    test::TempDir dir_;
    Settings settings_;
    std::string message_;
};

TEST_F(FrameSourceTest, PositionsRunFromZeroToTheFirstMissingPicture) {
    const std::vector<Image> pictures = {Pattern(5, 3, 1), Pattern(5, 3, 2), Pattern(5, 3, 3)};
    TestAvi avi = Video(pictures);
    AviStreamInfo& info = avi.streams[0].info;
    info.dwStart = 7;   // not where reading starts
    info.dwLength = 1;  // not where reading ends
    info.dwScale = 1001;
    info.dwRate = 30000;
    info.rcFrameBottom = 3;
    avi.streams[0].name = "Sky";
    Write(avi);
    settings_.Colour = 1;
    EXPECT_EQ(ReadPosition(), -1);
    std::string message = "stale";
    for (int32_t i = 0; i < 3; ++i) {
        ASSERT_NE(ReadNextFrame(settings_, message), 0);
        EXPECT_EQ(ReadPosition(), i);
        EXPECT_TRUE(message.empty());
        ExpectSame(ImageBuffer(), pictures[size_t(i)]);
    }
    const AviStreamInfo& in = InputStreamInfo();
    EXPECT_EQ(std::tie(in.fccType, in.dwScale, in.dwRate, in.dwStart, in.rcFrameBottom),
              std::make_tuple(kFccVids, 1001u, 30000u, 7u, 3));
    EXPECT_STREQ(in.szName, "Sky");
    EXPECT_EQ(ReadNextFrame(settings_, message), 0);
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(ReadPosition(), 3);
    // The last picture stays for the window to repaint.
    ExpectSame(ImageBuffer(), pictures[2]);

    CloseInputVideo();
    EXPECT_EQ(ReadPosition(), -1);
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(ReadPosition(), 0);
    ExpectSame(ImageBuffer(), pictures[0]);
}

TEST_F(FrameSourceTest, GreyAndColourBuffersEitherWayUp) {
    const Image p = FromPixels(
        5, 2, {kWhite, kRed, kGreen, kBlue, kMidGrey, kBlack, kBlack, kBlack, kBlack, kWhite});
    for (bool topDown : {false, true}) {
        SCOPED_TRACE(topDown);
        Write(Video({p}, topDown));
        std::string message;
        settings_.Colour = 0;
        ASSERT_NE(ReadNextFrame(settings_, message), 0);
        EXPECT_EQ(ImageBuffer().channels, 1);
        EXPECT_EQ(ImageBuffer().pixels, (Bytes{255, 75, 153, 25, 128, 0, 0, 0, 0, 255}));
        CloseInputVideo();
        const std::vector<Image> colour = ReadAll();
        ASSERT_EQ(colour.size(), 1u);
        EXPECT_EQ(colour[0].channels, 3);
        EXPECT_EQ(colour[0].pixels, p.pixels);
    }
}

TEST_F(FrameSourceTest, StreamWithoutFramesEndsAtOnceWithoutAMessage) {
    for (TestIndex index : {TestIndex::None, TestIndex::Relative}) {
        TestAvi avi = Video({Pattern(2, 2, 0)});
        avi.chunks.clear();
        avi.index = index;
        Write(avi);
        std::string message;
        EXPECT_EQ(ReadNextFrame(settings_, message), 0);
        EXPECT_TRUE(message.empty());
        EXPECT_EQ(ReadPosition(), 0);
        CloseInputVideo();
    }
}

TEST_F(FrameSourceTest, InputsThatCannotBeOpenedGiveTheMessageAndKeepTheBlock) {
    auto withFormat = [](Bytes strf) {
        TestAvi avi;
        avi.streams.push_back(VideoStream(strf));
        avi.chunks.push_back({k00db, Bytes(64, 1)});
        return BuildAvi(avi).bytes;
    };
    TestAvi audio;
    audio.streams.push_back(test::AudioStream());
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"missing", {}},
        {"empty", {}},
        {"not AVI", Bytes(500, 'x')},
        {"no video stream", BuildAvi(audio).bytes},
        {"unknown compression", withFormat(VideoFormat(4, 4, 24, FourCC("ZZZZ")))},
        {"absurd size", withFormat(VideoFormat(1 << 16, 1 << 16, 24))},
        {"negative width", withFormat(VideoFormat(-4, 4, 24))},
        {"zero height", withFormat(VideoFormat(4, 0, 24))},
    };
    Write(Video({Pattern(4, 2, 5)}));
    std::string message;
    settings_.Colour = 1;
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    const Bytes before = ImageBuffer().pixels;
    const uint8_t* block = ImageBuffer().pixels.data();
    CloseInputVideo();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        settings_.InputFile = dir_.file(c.what);
        if (c.what != std::string("missing")) Write(c.bytes);
        ImageBuffer().width = ImageBuffer().height = 9;
        EXPECT_EQ(ReadNextFrame(settings_, message), 0);
        EXPECT_EQ(message, "Can't open AVI input file");
        EXPECT_EQ(ImageBuffer().width, 0);
        EXPECT_EQ(ImageBuffer().height, 0);
        EXPECT_EQ(ImageBuffer().pixels.data(), block);
        EXPECT_EQ(ImageBuffer().pixels, before);
        EXPECT_EQ(ReadPosition(), -1);
        CloseInputVideo();
    }
}

TEST_F(FrameSourceTest, DamagedBytesAnywhereEndCleanly) {
    // Every byte of a small file in turn set to values that make sizes and counts absurd.
    TestAvi colour = Video({Pattern(3, 2, 1), Pattern(3, 2, 2)});
    colour.junk = true;
    colour.recGroup = 2;
    TestAvi palette;
    palette.streams = {test::AudioStream(),
                       VideoStream(VideoFormat(3, -2, 8, kBiRgb, 2, Table({kRed, kBlue})), "p")};
    palette.chunks = {{FourCC("01db"), {0, 1, 0, 0, 1, 0, 1, 0}},
                      {FourCC("01pc"), {0, 0, 0, 0, 1, 2, 3, 4}},
                      {FourCC("00wb"), {1, 2, 3}},
                      {FourCC("01db"), {1, 1, 1, 0, 0, 0, 0, 0}}};
    palette.index = TestIndex::Absolute;
    for (const TestAvi& avi : {colour, palette}) {
        const Bytes good = BuildAvi(avi).bytes;
        Write(good);
        ASSERT_EQ(ReadAll().size(), 2u);
        for (uint8_t value : {uint8_t(0xFF), uint8_t(0x80), uint8_t(0x00)}) {
            for (size_t at = 0; at < good.size(); ++at) {
                SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int(value));
                Bytes bytes = good;
                bytes[at] = value;
                Write(bytes);
                const std::vector<Image> got = ReadAll();
                EXPECT_LE(got.size(), 2u);
                EXPECT_TRUE(message_.empty() || got.empty());
            }
        }
    }
}

TEST_F(FrameSourceTest, DroppedFramesAndPaletteChangesInAStream) {
    TestAvi avi;
    avi.streams.push_back(VideoStream(VideoFormat(2, 1, 8, kBiRgb, 2, Table({kRed, kGreen}))));
    const Bytes change = {0, 1, 0, 0, 1, 2, 3, 0};  // entry 0: red 1 green 2 blue 3
    avi.chunks = {{k00db, {0, 1, 0, 0}},
                  {k00db, {}},
                  {FourCC("00pc"), change},
                  {k00db, {}},
                  {k00db, {1, 0, 0, 0}}};
    for (TestIndex index : {TestIndex::Relative, TestIndex::None}) {
        avi.index = index;
        Write(avi);
        const std::vector<Image> got = ReadAll();
        ASSERT_EQ(got.size(), 4u);
        ExpectSame(got[0], FromPixels(2, 1, {kRed, kGreen}));
        // A dropped frame repeats the picture as it was decoded, even after a palette change.
        ExpectSame(got[1], got[0]);
        ExpectSame(got[2], got[0]);
        ExpectSame(got[3], FromPixels(2, 1, {kGreen, {3, 2, 1}}));
    }
}

TEST_F(FrameSourceTest, DroppedFirstFramesAreBlackOnlyWhenTheFileHoldsAPicture) {
    // A few hundred bytes claiming a huge picture and holding only dropped frames must not
    // make pictures out of nothing.
    TestAvi avi;
    avi.streams.push_back(VideoStream(VideoFormat(16384, 21845, 24)));
    avi.chunks.assign(20, {k00db, {}});
    Write(avi);
    EXPECT_TRUE(ReadAll().empty());
    EXPECT_TRUE(message_.empty());

    // A dropped first frame of a real video is black, and positions stay in step.
    TestAvi real = Video({Pattern(3, 2, 9)});
    real.chunks.insert(real.chunks.begin(), {k00db, {}});
    Write(real);
    const std::vector<Image> got = ReadAll();
    ASSERT_EQ(got.size(), 2u);
    ExpectSame(got[0], Image{3, 2, 3, Bytes(18, 0)});
    ExpectSame(got[1], Pattern(3, 2, 9));
}

TEST_F(FrameSourceTest, LongPaletteChangesApplyTheirEntries) {
    TestAvi avi;
    avi.streams.push_back(VideoStream(VideoFormat(2, 1, 8, kBiRgb, 2, Table({kRed, kGreen}))));
    Bytes change = {0, 1, 0, 0, 1, 2, 3, 0};  // entry 0: red 1 green 2 blue 3
    change.resize(2000, 0);                   // more than a palette change can say
    avi.chunks = {{FourCC("00pc"), change}, {k00db, {0, 1, 0, 0}}};
    Write(avi);
    const std::vector<Image> got = ReadAll();
    ASSERT_EQ(got.size(), 1u);
    ExpectSame(got[0], FromPixels(2, 1, {{3, 2, 1}, kGreen}));
}

}  // namespace
}  // namespace kestrel
