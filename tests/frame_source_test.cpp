#include "io/frame_source.h"

#include <gtest/gtest.h>

#include <cstring>

#include "io/byte_io.h"
#include "io/decode.h"
#include "support/riff_builder.h"

namespace kestrel {
namespace {

using test::BuildAvi;
using test::PackedDib;
using test::TempDir;
using test::TestAvi;
using test::TestIndex;
using test::VideoFormat;
using test::VideoStream;

const uint32_t k00db = FourCC("00db");
const uint32_t k00pc = FourCC("00pc");

// Blue, green, red of one pixel.
struct Bgr {
    uint8_t b, g, r;
};
const Bgr kWhite{255, 255, 255}, kBlack{0, 0, 0}, kRed{0, 0, 255}, kGreen{0, 255, 0},
    kBlue{255, 0, 0}, kMidGrey{128, 128, 128};

// A picture as the tests think of it: rows top-down, three bytes per pixel, no padding.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> bgr;
};

Picture Pattern(int32_t w, int32_t h, uint8_t seed) {
    Picture p{w, h, std::vector<uint8_t>(size_t(w) * size_t(h) * 3)};
    for (size_t i = 0; i < p.bgr.size(); ++i) p.bgr[i] = uint8_t(seed + 31 * i + i / 7);
    return p;
}

Picture FromPixels(int32_t w, int32_t h, const std::vector<Bgr>& px) {
    Picture p{w, h, {}};
    for (const Bgr& c : px) p.bgr.insert(p.bgr.end(), {c.b, c.g, c.r});
    return p;
}

// Rows of `rowBytes` (at least 3 x width), bottom row first unless `topDown`.
std::vector<uint8_t> Rows24(const Picture& p, size_t rowBytes, bool topDown) {
    std::vector<uint8_t> out(rowBytes * size_t(p.height), 0);
    for (int32_t y = 0; y < p.height; ++y) {
        const size_t fileRow = size_t(topDown ? y : p.height - 1 - y);
        std::memcpy(&out[fileRow * rowBytes], &p.bgr[size_t(y) * 3 * size_t(p.width)],
                    3 * size_t(p.width));
    }
    return out;
}

// The 24-bit top-down rows of a DecodedFrame without their fill bytes.
std::vector<uint8_t> Unpadded(const std::vector<uint8_t>& frame, int32_t w, int32_t h) {
    std::vector<uint8_t> out;
    const size_t stride = Stride24(uint32_t(w));
    for (int32_t y = 0; y < h; ++y)
        out.insert(out.end(), frame.begin() + std::ptrdiff_t(size_t(y) * stride),
                   frame.begin() + std::ptrdiff_t(size_t(y) * stride + 3 * size_t(w)));
    return out;
}

// Decodes one chunk and converts the DIB; the top-down picture, or an empty one.
Picture DecodeChunk(DibDecoder& d, const std::vector<uint8_t>& chunk) {
    Picture out;
    if (!d.decode(chunk.data(), chunk.size())) return out;
    std::vector<uint8_t> frame;
    if (!ConvertDibTo24(d.dib().data(), d.dib().size(), out.width, out.height, frame)) return out;
    out.bgr = Unpadded(frame, out.width, out.height);
    return out;
}

Picture DecodeOne(const std::vector<uint8_t>& strf, const std::vector<uint8_t>& chunk) {
    DibDecoder d;
    EXPECT_TRUE(d.open(strf));
    return DecodeChunk(d, chunk);
}

void ExpectSame(const Picture& got, const Picture& want) {
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.bgr, want.bgr);
}

std::vector<uint8_t> Table(const std::vector<Bgr>& entries) {
    std::vector<uint8_t> t;
    for (const Bgr& c : entries) t.insert(t.end(), {c.b, c.g, c.r, 0x5A});
    return t;
}

// ---- ConvertDibTo24: the one DIB layout the frame source reads ----

TEST(ConvertDibTo24, OnePixelWideRowsAreFourBytes) {
    const std::vector<uint8_t> rows = {1, 2, 3, 0xAA, 4, 5, 6, 0xBB};  // bottom row first
    const std::vector<uint8_t> dib = PackedDib(1, 2, 24, {}, 0, rows);
    int32_t w = -1, h = -1;
    std::vector<uint8_t> frame;
    ASSERT_TRUE(ConvertDibTo24(dib.data(), dib.size(), w, h, frame));
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 2);
    ASSERT_EQ(frame.size(), 8u);
    EXPECT_EQ(Unpadded(frame, 1, 2), (std::vector<uint8_t>{4, 5, 6, 1, 2, 3}));
}

TEST(ConvertDibTo24, RowOrderFollowsTheSignOfTheHeight) {
    const Picture p = FromPixels(2, 2, {kBlack, kBlack, kWhite, kWhite});  // top black
    for (bool topDown : {false, true}) {
        SCOPED_TRACE(topDown);
        const std::vector<uint8_t> dib =
            PackedDib(2, topDown ? -2 : 2, 24, {}, 0, Rows24(p, 8, topDown));
        Picture got;
        std::vector<uint8_t> frame;
        ASSERT_TRUE(ConvertDibTo24(dib.data(), dib.size(), got.width, got.height, frame));
        got.bgr = Unpadded(frame, 2, 2);
        ExpectSame(got, p);
    }
}

TEST(ConvertDibTo24, ColourTablePlacesTheRows) {
    // 256 entries when biClrUsed is 0: rows at 1064. 16 entries: rows at 104.
    for (uint32_t clrUsed : {0u, 16u}) {
        SCOPED_TRACE(clrUsed);
        const size_t entries = clrUsed ? clrUsed : 256;
        std::vector<Bgr> colours;
        for (size_t i = 0; i < entries; ++i)
            colours.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(3 * i)});
        const std::vector<uint8_t> rows = {1, 15, 7, 0, 3, 0, 9, 0};  // 3 wide: stride 4
        const std::vector<uint8_t> dib = PackedDib(3, 2, 8, Table(colours), clrUsed, rows);
        ASSERT_EQ(dib.size(), (clrUsed ? 104u : 1064u) + rows.size());
        Picture got;
        std::vector<uint8_t> frame;
        ASSERT_TRUE(ConvertDibTo24(dib.data(), dib.size(), got.width, got.height, frame));
        got.bgr = Unpadded(frame, 3, 2);
        ExpectSame(got, FromPixels(3, 2,
                                   {colours[3], colours[0], colours[9], colours[1], colours[15],
                                    colours[7]}));
        // One byte short of the rows: refused, never read past.
        EXPECT_FALSE(ConvertDibTo24(dib.data(), dib.size() - 1, got.width, got.height, frame));
        EXPECT_TRUE(frame.empty());
    }
}

TEST(ConvertDibTo24, IndexPastTheTableIsBlack) {
    // The bytes behind a two-entry table are pixel rows: an unchecked index would read them.
    const std::vector<uint8_t> rows = {1, 2, 200, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::vector<uint8_t> dib = PackedDib(3, 2, 8, Table({kWhite, kRed}), 2, rows);
    Picture got;
    std::vector<uint8_t> frame;
    ASSERT_TRUE(ConvertDibTo24(dib.data(), dib.size(), got.width, got.height, frame));
    got.bgr = Unpadded(frame, 3, 2);
    ExpectSame(got, FromPixels(3, 2, {kBlack, kBlack, kBlack, kRed, kBlack, kBlack}));
}

TEST(ConvertDibTo24, RefusesWhatItCannotRead) {
    const std::vector<uint8_t> good = PackedDib(2, 2, 24, {}, 0, std::vector<uint8_t>(16, 9));
    int32_t w = 7, h = 7;
    std::vector<uint8_t> frame;
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(ConvertDibTo24(good.data(), n, w, h, frame)) << n;
        EXPECT_TRUE(frame.empty());
    }
    EXPECT_EQ(w, 7);
    EXPECT_EQ(h, 7);
    struct Bad {
        const char* what;
        int32_t w, h;
        uint16_t bits;
        uint32_t clrUsed;
    };
    for (const Bad& b :
         {Bad{"zero width", 0, 2, 24, 0}, Bad{"negative width", -2, 2, 24, 0},
          Bad{"zero height", 2, 0, 24, 0}, Bad{"16 bits", 2, 2, 16, 0}, Bad{"4 bits", 2, 2, 4, 0},
          Bad{"huge table", 2, 2, 8, 0xFFFFFFFFu}, Bad{"huge picture", 1 << 20, 1 << 20, 24, 0},
          Bad{"lowest height", 2, INT32_MIN, 24, 0}}) {
        SCOPED_TRACE(b.what);
        const std::vector<uint8_t> dib =
            PackedDib(b.w, b.h, b.bits, {}, b.clrUsed, std::vector<uint8_t>(2048, 1));
        EXPECT_FALSE(ConvertDibTo24(dib.data(), dib.size(), w, h, frame));
    }
}

// ---- DibDecoder: stored pictures to bottom-up 8- or 24-bit DIBs ----

TEST(DibDecoder, TwentyFourBitsEitherWayUpPaddedOrNot) {
    const Picture p = Pattern(3, 4, 10);
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

TEST(DibDecoder, PalettePicturesKeepTheirTable) {
    const std::vector<Bgr> colours = {kRed, kGreen, kBlue};
    // Index 200 lies past the three-entry table.
    const std::vector<uint8_t> top = {0, 1, 2}, bottom = {200, 2, 1};
    const Picture want = FromPixels(3, 2, {kRed, kGreen, kBlue, kBlack, kBlue, kGreen});
    for (int32_t sign : {1, -1}) {
        for (size_t rowBytes : {size_t(4), size_t(3)}) {
            SCOPED_TRACE(testing::Message() << "sign " << sign << " row " << rowBytes);
            std::vector<uint8_t> chunk(2 * rowBytes, 0);
            const auto& first = sign > 0 ? bottom : top;
            const auto& second = sign > 0 ? top : bottom;
            std::copy(first.begin(), first.end(), chunk.begin());
            std::copy(second.begin(), second.end(), chunk.begin() + std::ptrdiff_t(rowBytes));
            ExpectSame(DecodeOne(VideoFormat(3, 2 * sign, 8, kBiRgb, 3, Table(colours)), chunk),
                       want);
        }
    }
}

TEST(DibDecoder, GreyFourCCsAreStoredTopRowFirst) {
    for (uint32_t fcc : {kFccY800, kFccY8, kFccGrey}) {
        for (size_t rowBytes : {size_t(3), size_t(4)}) {
            SCOPED_TRACE(testing::Message() << "row " << rowBytes);
            std::vector<uint8_t> chunk(2 * rowBytes, 0x77);
            chunk[0] = 10, chunk[1] = 20, chunk[2] = 30;  // top row
            chunk[rowBytes] = 40, chunk[rowBytes + 1] = 50, chunk[rowBytes + 2] = 60;
            const Picture got = DecodeOne(VideoFormat(3, 2, 8, fcc), chunk);
            ExpectSame(got, FromPixels(3, 2,
                                       {{10, 10, 10},
                                        {20, 20, 20},
                                        {30, 30, 30},
                                        {40, 40, 40},
                                        {50, 50, 50},
                                        {60, 60, 60}}));
        }
    }
}

TEST(DibDecoder, SixteenBitPicturesAreWidened) {
    auto chunk16 = [](std::initializer_list<uint16_t> px) {
        std::vector<uint8_t> out;
        for (uint16_t v : px) PutU16(out, v);
        return out;
    };
    // 5-5-5: white, pure red, blue 16 -> (16 << 3) | (16 >> 2) = 132, green 1 -> 8.
    ExpectSame(DecodeOne(VideoFormat(4, 1, 16), chunk16({0x7FFF, 0x7C00, 0x0010, 0x0020})),
               FromPixels(4, 1, {kWhite, kRed, {132, 0, 0}, {0, 8, 0}}));
    // 5-6-5 from masks: green 32 of 63 -> (32 << 2) | (32 >> 4) = 130; the top bit is not red.
    std::vector<uint8_t> masks;
    for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) PutU32(masks, m);
    ExpectSame(DecodeOne(VideoFormat(4, -1, 16, kBiBitfields, 0, masks),
                         chunk16({0xFFFF, 0x0400, 0xF800, 0x001F})),
               FromPixels(4, 1, {kWhite, {0, 130, 0}, kRed, kBlue}));
}

TEST(DibDecoder, ThirtyTwoBitPicturesDropTheFourthByte) {
    const std::vector<uint8_t> chunk = {1, 2, 3, 0xFF, 4, 5, 6, 0x00};
    ExpectSame(DecodeOne(VideoFormat(2, 1, 32), chunk), FromPixels(2, 1, {{1, 2, 3}, {4, 5, 6}}));
    // Masks naming red in the lowest byte.
    std::vector<uint8_t> masks;
    for (uint32_t m : {0x0000FFu, 0x00FF00u, 0xFF0000u}) PutU32(masks, m);
    ExpectSame(DecodeOne(VideoFormat(2, 1, 32, kBiBitfields, 0, masks), chunk),
               FromPixels(2, 1, {{3, 2, 1}, {6, 5, 4}}));
}

TEST(DibDecoder, DroppedFramesRepeatThePictureBefore) {
    DibDecoder d;
    ASSERT_TRUE(d.open(VideoFormat(2, 2, 24)));
    // Nothing before it: a black picture, so positions stay in step with the stream.
    ExpectSame(DecodeChunk(d, {}), FromPixels(2, 2, {kBlack, kBlack, kBlack, kBlack}));
    const Picture p = Pattern(2, 2, 3);
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
    d.applyPaletteChange(std::vector<uint8_t>{1, 1, 0, 0, 1, 2, 3, 0}.data(), 8);
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {kRed, {3, 2, 1}}));
    // A change that claims more entries than it holds stops at its end.
    d.applyPaletteChange(std::vector<uint8_t>{0, 0, 0, 0, 9, 9, 9, 0, 7}.data(), 9);
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {{9, 9, 9}, {3, 2, 1}}));
}

TEST(DibDecoder, FormatsThatCannotBeDecodedAreRefusedAtOpen) {
    std::vector<uint8_t> badMasks;
    for (uint32_t m : {0xF0F0u, 0x0F00u, 0x000Fu}) PutU32(badMasks, m);
    struct Case {
        const char* what;
        std::vector<uint8_t> strf;
    };
    const Case cases[] = {
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
        {"short header", std::vector<uint8_t>(39, 0)},
    };
    for (const Case& c : cases) {
        PictureFormat f;
        EXPECT_FALSE(DescribePicture(c.strf.data(), c.strf.size(), f)) << c.what;
    }
    PictureFormat f;
    const std::vector<uint8_t> justUnder = VideoFormat(16384, 21845, 24);
    EXPECT_TRUE(DescribePicture(justUnder.data(), justUnder.size(), f));
}

// ---- ReadNextFrame over real files ----

class FrameSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseInputVideo();
        settings_.InputFile = dir_.path("in.avi");
    }
    void TearDown() override { CloseInputVideo(); }

    void Write(const TestAvi& avi) {
        ASSERT_TRUE(test::WriteBytes(settings_.InputFile, BuildAvi(avi).bytes));
    }

    // A 24-bit bottom-up stream of these pictures.
    static TestAvi Video(const std::vector<Picture>& pictures) {
        TestAvi avi;
        avi.streams.push_back(VideoStream(VideoFormat(pictures[0].width, pictures[0].height, 24)));
        for (const Picture& p : pictures)
            avi.chunks.push_back({k00db, Rows24(p, Stride24(uint32_t(p.width)), false)});
        return avi;
    }

    // Reads to the end of the input; every picture read, in colour.
    std::vector<Picture> ReadAll() {
        settings_.Colour = 1;
        std::vector<Picture> out;
        std::string message;
        while (ReadNextFrame(settings_, message)) {
            const Image& img = ImageBuffer();
            EXPECT_TRUE(img.consistent());
            out.push_back({img.width, img.height, img.pixels});
        }
        last_message_ = message;
        return out;
    }

    TempDir dir_;
    Settings settings_;
    std::string last_message_;
};

TEST_F(FrameSourceTest, PositionsRunFromZeroToTheFirstMissingPicture) {
    const std::vector<Picture> pictures = {Pattern(5, 3, 1), Pattern(5, 3, 2), Pattern(5, 3, 3)};
    TestAvi avi = Video(pictures);
    avi.streams[0].info.dwStart = 7;   // not where reading starts
    avi.streams[0].info.dwLength = 1;  // not where reading ends
    Write(avi);
    settings_.Colour = 1;
    EXPECT_EQ(ReadPosition(), -1);
    std::string message = "stale";
    for (int32_t i = 0; i < 3; ++i) {
        ASSERT_NE(ReadNextFrame(settings_, message), 0);
        EXPECT_EQ(ReadPosition(), i);
        EXPECT_TRUE(message.empty());
        ExpectSame({ImageBuffer().width, ImageBuffer().height, ImageBuffer().pixels},
                   pictures[size_t(i)]);
    }
    EXPECT_EQ(ReadNextFrame(settings_, message), 0);
    EXPECT_TRUE(message.empty());
    EXPECT_EQ(ReadPosition(), 3);
    // The last picture stays for the window to repaint.
    ExpectSame({ImageBuffer().width, ImageBuffer().height, ImageBuffer().pixels}, pictures[2]);

    CloseInputVideo();
    EXPECT_EQ(ReadPosition(), -1);
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(ReadPosition(), 0);
    ExpectSame({ImageBuffer().width, ImageBuffer().height, ImageBuffer().pixels}, pictures[0]);
}

TEST_F(FrameSourceTest, GreyAndColourBuffers) {
    const Picture p = FromPixels(
        5, 2, {kWhite, kRed, kGreen, kBlue, kMidGrey, kBlack, kBlack, kBlack, kBlack, kWhite});
    Write(Video({p}));
    std::string message;
    settings_.Colour = 0;
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(ImageBuffer().channels, 1);
    EXPECT_EQ(ImageBuffer().pixels, (std::vector<uint8_t>{255, 75, 153, 25, 128, 0, 0, 0, 0, 255}));
    CloseInputVideo();
    settings_.Colour = 1;
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(ImageBuffer().channels, 3);
    EXPECT_EQ(ImageBuffer().pixels, p.bgr);
}

TEST_F(FrameSourceTest, BottomUpPictureComesOutTopRowFirst) {
    // Stored bottom row (white) first; the buffer starts with the top row (black).
    TestAvi avi;
    avi.streams.push_back(VideoStream(VideoFormat(1, 2, 24)));
    avi.chunks.push_back({k00db, {255, 255, 255, 0, 0, 0, 0, 0}});
    Write(avi);
    std::string message;
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(ImageBuffer().pixels, (std::vector<uint8_t>{0, 255}));
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

TEST_F(FrameSourceTest, FailedOpenKeepsThePreviousBlock) {
    Write(Video({Pattern(4, 2, 5)}));
    std::string message;
    settings_.Colour = 1;
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    const std::vector<uint8_t> before = ImageBuffer().pixels;
    const uint8_t* block = ImageBuffer().pixels.data();
    CloseInputVideo();

    settings_.InputFile = dir_.path("missing.avi");
    EXPECT_EQ(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(message, "Can't open AVI input file");
    EXPECT_EQ(ImageBuffer().width, 0);
    EXPECT_EQ(ImageBuffer().height, 0);
    EXPECT_EQ(ImageBuffer().pixels.data(), block);
    EXPECT_EQ(ImageBuffer().pixels, before);
    EXPECT_EQ(ReadPosition(), -1);
}

TEST_F(FrameSourceTest, InputsThatCannotBeOpenedGiveTheMessage) {
    auto withFormat = [](std::vector<uint8_t> strf) {
        TestAvi avi;
        avi.streams.push_back(VideoStream(strf));
        avi.chunks.push_back({k00db, std::vector<uint8_t>(64, 1)});
        return BuildAvi(avi).bytes;
    };
    TestAvi audio;
    audio.streams.push_back(test::AudioStream());
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"not AVI", std::vector<uint8_t>(500, 'x')},
        {"no video stream", BuildAvi(audio).bytes},
        {"MJPG", withFormat(VideoFormat(4, 4, 24, FourCC("MJPG")))},
        {"absurd size", withFormat(VideoFormat(1 << 16, 1 << 16, 24))},
        {"negative width", withFormat(VideoFormat(-4, 4, 24))},
        {"zero height", withFormat(VideoFormat(4, 0, 24))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(test::WriteBytes(settings_.InputFile, c.bytes));
        std::string message;
        ImageBuffer().width = ImageBuffer().height = 9;
        EXPECT_EQ(ReadNextFrame(settings_, message), 0);
        EXPECT_EQ(message, "Can't open AVI input file");
        EXPECT_EQ(ImageBuffer().width, 0);
        EXPECT_EQ(ImageBuffer().height, 0);
        CloseInputVideo();
    }
}

TEST_F(FrameSourceTest, EveryTruncationEndsCleanly) {
    const std::vector<Picture> pictures = {Pattern(3, 2, 1), Pattern(3, 2, 2), Pattern(3, 2, 3)};
    TestAvi avi = Video(pictures);
    avi.junk = true;
    const std::vector<uint8_t> whole = BuildAvi(avi).bytes;
    size_t lastCount = 0;
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(test::WriteBytes(settings_.InputFile,
                                     {whole.begin(), whole.begin() + std::ptrdiff_t(cut)}));
        const std::vector<Picture> got = ReadAll();
        CloseInputVideo();
        ASSERT_LE(got.size(), pictures.size());
        ASSERT_GE(got.size(), lastCount);  // a longer file never gives fewer pictures
        lastCount = got.size();
        for (size_t i = 0; i < got.size(); ++i) ExpectSame(got[i], pictures[i]);
        if (!last_message_.empty()) {
            EXPECT_EQ(last_message_, "Can't open AVI input file");
            EXPECT_TRUE(got.empty());
        }
    }
    EXPECT_EQ(lastCount, pictures.size());
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
        const std::vector<uint8_t> whole = BuildAvi(avi).bytes;
        ASSERT_TRUE(test::WriteBytes(settings_.InputFile, whole));
        ASSERT_EQ(ReadAll().size(), 2u);
        CloseInputVideo();
        for (uint8_t value : {uint8_t(0xFF), uint8_t(0x80), uint8_t(0x00)}) {
            for (size_t at = 0; at < whole.size(); ++at) {
                SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int(value));
                std::vector<uint8_t> bytes = whole;
                bytes[at] = value;
                ASSERT_TRUE(test::WriteBytes(settings_.InputFile, bytes));
                const std::vector<Picture> got = ReadAll();
                CloseInputVideo();
                EXPECT_LE(got.size(), 2u);
                EXPECT_TRUE(last_message_.empty() || got.empty());
            }
        }
    }
}

TEST_F(FrameSourceTest, StreamInformationComesFromTheFile) {
    TestAvi avi = Video({Pattern(2, 2, 0)});
    avi.streams[0].info.dwScale = 1001;
    avi.streams[0].info.dwRate = 30000;
    avi.streams[0].info.rcFrameRight = 2;
    avi.streams[0].info.rcFrameBottom = 2;
    avi.streams[0].name = "Sky";
    Write(avi);
    std::string message;
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(InputStreamInfo().fccType, kFccVids);
    EXPECT_EQ(InputStreamInfo().dwScale, 1001u);
    EXPECT_EQ(InputStreamInfo().dwRate, 30000u);
    EXPECT_EQ(InputStreamInfo().rcFrameBottom, 2);
    EXPECT_STREQ(InputStreamInfo().szName, "Sky");
}

TEST_F(FrameSourceTest, DroppedFramesAndPaletteChangesInAStream) {
    TestAvi avi;
    avi.streams.push_back(VideoStream(VideoFormat(2, 1, 8, kBiRgb, 2, Table({kRed, kGreen}))));
    const std::vector<uint8_t> change = {0, 1, 0, 0, 1, 2, 3, 0};  // entry 0: red 1 green 2 blue 3
    avi.chunks = {
        {k00db, {0, 1, 0, 0}}, {k00db, {}}, {k00pc, change}, {k00db, {}}, {k00db, {1, 0, 0, 0}}};
    for (TestIndex index : {TestIndex::Relative, TestIndex::None}) {
        avi.index = index;
        Write(avi);
        const std::vector<Picture> got = ReadAll();
        CloseInputVideo();
        ASSERT_EQ(got.size(), 4u);
        ExpectSame(got[0], FromPixels(2, 1, {kRed, kGreen}));
        ExpectSame(got[1], got[0]);
        // A dropped frame repeats the picture as it was decoded.
        ExpectSame(got[2], got[0]);
        ExpectSame(got[3], FromPixels(2, 1, {kGreen, {3, 2, 1}}));
    }
}

TEST_F(FrameSourceTest, ConvertedFormatsThroughTheWholePath) {
    // FFmpeg's usual layouts: 24 bits top row first, 16-bit and grey pictures.
    const Picture p = Pattern(3, 2, 40);
    TestAvi avi;
    avi.streams.push_back(VideoStream(VideoFormat(3, -2, 24)));
    avi.chunks.push_back({k00db, Rows24(p, 9, true)});
    Write(avi);
    ExpectSame(ReadAll().at(0), p);
    CloseInputVideo();

    avi.streams[0] = VideoStream(VideoFormat(2, 1, 8, FourCC("Y800")));
    avi.chunks = {{k00db, {77, 200}}};
    Write(avi);
    settings_.Colour = 0;
    std::string message;
    ASSERT_NE(ReadNextFrame(settings_, message), 0);
    EXPECT_EQ(ImageBuffer().pixels, (std::vector<uint8_t>{77, 200}));
}

}  // namespace
}  // namespace kestrel
