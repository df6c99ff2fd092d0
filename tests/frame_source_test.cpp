#include "io/frame_source.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "base/byte_cursor.h"
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
bool OpenDecoder(DibDecoder& d, const Bytes& strf) {
    PictureFormat f;
    std::string why;
    if (!DescribePicture(strf.data(), strf.size(), f, why)) return false;
    d.open(f);
    return true;
}

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
    EXPECT_TRUE(OpenDecoder(d, strf));
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
    ASSERT_TRUE(OpenDecoder(d, VideoFormat(3, -4, 24)));
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
    // Grey FourCCs and raw Bayer mosaics (read as grey, not demosaiced): top row first
    // whatever the sign of the height; a depth of 0 is taken as 8.
    const uint32_t greyTags[] = {kFccY800,
                                 kFccY8,
                                 kFccGrey,
                                 FourCC("BY8 "),
                                 FourCC("BA81"),
                                 FourCC("RGGB"),
                                 FourCC(char(0xBA), 'B', 'G', char(8)),
                                 FourCC(char(0xBA), 'R', 'G', char(8))};
    for (uint32_t fcc : greyTags) {
        for (int32_t sign : {1, -1}) {
            for (uint16_t bits : {uint16_t(8), uint16_t(0)}) {
                for (size_t rowBytes : {size_t(3), size_t(4)}) {
                    SCOPED_TRACE(testing::Message()
                                 << std::hex << fcc << std::dec << " sign " << sign << " bits "
                                 << bits << " row " << rowBytes);
                    Bytes chunk(2 * rowBytes, 0x77);
                    chunk[0] = 10, chunk[1] = 20, chunk[2] = 30;  // top row
                    chunk[rowBytes] = 40, chunk[rowBytes + 1] = 50, chunk[rowBytes + 2] = 60;
                    std::vector<Bgr> grey;
                    for (uint8_t v : {10, 20, 30, 40, 50, 60}) grey.push_back({v, v, v});
                    ExpectSame(DecodeOne(VideoFormat(3, 2 * sign, bits, fcc), chunk),
                               FromPixels(3, 2, grey));
                }
            }
        }
    }
    // Shorter than the tight picture: no picture, and nothing read past the chunk.
    DibDecoder d;
    ASSERT_TRUE(OpenDecoder(d, VideoFormat(3, 2, 8, kFccY800)));
    const Bytes five = {1, 2, 3, 4, 5};
    EXPECT_FALSE(d.decode(five.data(), five.size()));
    EXPECT_FALSE(d.hasPicture());
}

// Packs `indices` (top row first) `bits` to a pixel, leftmost pixel in the highest bits, into
// rows of `rowBytes`, bottom row first unless `topDown`. Unused bits and fill bytes are all
// ones, so that a reader taking them for pixels shows.
Bytes PackIndices(const std::vector<uint8_t>& indices, size_t w, size_t h, uint32_t bits,
                  size_t rowBytes, bool topDown) {
    Bytes out(rowBytes * h, 0xFF);
    for (size_t y = 0; y < h; ++y) {
        uint8_t* row = &out[(topDown ? y : h - 1 - y) * rowBytes];
        for (size_t x = 0; x < w; ++x) {
            const size_t bit = x * bits;
            const uint32_t shift = 8 - bits - uint32_t(bit % 8);
            const uint32_t mask = ((1u << bits) - 1) << shift;
            row[bit / 8] = uint8_t((row[bit / 8] & ~mask) | uint32_t(indices[y * w + x]) << shift);
        }
    }
    return out;
}

TEST(DibDecoder, OneTwoAndFourBitPicturesUnpackToTheRowEnd) {
    // Hand-packed, so that the bit order is pinned independently of the packer above: 9 wide,
    // one bit a pixel, two bytes a row and a ninth pixel alone in the high bit of the second.
    {
        const Bytes strf = VideoFormat(9, 1, 1, kBiRgb, 0, Table({kBlack, kWhite}));
        const Bytes chunk = {0b10110001, 0b1'0111111};  // the last seven bits are not pixels
        const Bgr W = kWhite, K = kBlack;
        ExpectSame(DecodeOne(strf, chunk), FromPixels(9, 1, {W, K, W, W, K, K, K, W, W}));
    }
    // Odd widths end rows in the middle of a byte; widths are chosen so that packed and padded
    // rows differ.
    const struct {
        uint32_t bits;
        int32_t width;
    } layouts[] = {{1, 11}, {1, 37}, {2, 7}, {4, 5}, {4, 9}};
    for (const auto& l : layouts) {
        const size_t w = size_t(l.width), h = 3;
        const size_t entries = size_t(1) << l.bits;
        std::vector<Bgr> colours;
        for (size_t i = 0; i < entries; ++i)
            colours.push_back({uint8_t(17 * i), uint8_t(200 - 9 * i), uint8_t(i * i)});
        std::vector<uint8_t> indices;
        std::vector<Bgr> want;
        for (size_t i = 0; i < w * h; ++i) {
            indices.push_back(uint8_t((i * 7 + i / w) % entries));
            want.push_back(colours[indices.back()]);
        }
        const size_t tight = (w * l.bits + 7) / 8, padded = (tight + 3) / 4 * 4;
        ASSERT_NE(tight, padded);
        for (int32_t sign : {1, -1}) {
            for (size_t rowBytes : {tight, padded}) {
                SCOPED_TRACE(testing::Message() << l.bits << " bits, " << w << " wide, sign "
                                                << sign << ", row " << rowBytes);
                const Bytes strf = VideoFormat(l.width, int32_t(h) * sign, uint16_t(l.bits), kBiRgb,
                                               0, Table(colours));
                ExpectSame(DecodeOne(strf, PackIndices(indices, w, h, l.bits, rowBytes, sign < 0)),
                           FromPixels(l.width, int32_t(h), want));
            }
        }
    }
    // Entries past biClrUsed are black, whatever the table that follows holds.
    const Bytes strf = VideoFormat(4, 1, 4, kBiRgb, 2, Table({kRed, kGreen, kBlue, kWhite}));
    ExpectSame(DecodeOne(strf, {0x01, 0x23, 0, 0}),
               FromPixels(4, 1, {kRed, kGreen, kBlack, kBlack}));
    // A row one byte short of the tight picture holds none.
    DibDecoder d;
    ASSERT_TRUE(OpenDecoder(d, VideoFormat(11, 2, 1, kBiRgb, 0, Table({kBlack, kWhite}))));
    const Bytes three = {0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(d.decode(three.data(), three.size()));
}

TEST(DibDecoder, SixteenBitGreyKeepsTheHighByteTopRowFirst) {
    // Little-endian samples whose low bytes differ from their high ones: a swapped reader or
    // one taking the low byte shows. Rows of 6 bytes, or 8 when padded.
    const uint16_t top[] = {0x00FF, 0x12AB, 0xFF00}, bottom[] = {0x8001, 0x7FFE, 0xFFFF};
    std::vector<Bgr> want;
    for (uint8_t v : {0x00, 0x12, 0xFF, 0x80, 0x7F, 0xFF}) want.push_back({v, v, v});
    for (int32_t sign : {1, -1}) {
        for (uint16_t bits : {uint16_t(16), uint16_t(0)}) {
            for (size_t rowBytes : {size_t(6), size_t(8)}) {
                SCOPED_TRACE(testing::Message()
                             << "sign " << sign << " bits " << bits << " row " << rowBytes);
                Bytes chunk;
                for (const uint16_t* row : {top, bottom}) {
                    for (int i = 0; i < 3; ++i) PutU16(chunk, row[i]);
                    chunk.resize(chunk.size() + rowBytes - 6, 0xEE);
                }
                ExpectSame(DecodeOne(VideoFormat(3, 2 * sign, bits, kFccY16), chunk),
                           FromPixels(3, 2, want));
            }
        }
    }
    DibDecoder d;
    ASSERT_TRUE(OpenDecoder(d, VideoFormat(3, 2, 16, kFccY16)));
    const Bytes eleven(11, 0x40);  // one byte short of two tight rows
    EXPECT_FALSE(d.decode(eleven.data(), eleven.size()));
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
    // 5-6-5 bottom row first, odd width: rows of 6 bytes padded to 8 or not.
    for (size_t fill : {size_t(0), size_t(2)}) {
        SCOPED_TRACE(fill);
        Bytes chunk = u16s({0x001F, 0x0000, 0xFFFF});  // bottom row
        chunk.resize(chunk.size() + fill, 0xAA);
        const Bytes top = u16s({0xF800, 0x07E0, 0x8410});  // the last: 16 of 31, 32 of 63
        chunk.insert(chunk.end(), top.begin(), top.end());
        chunk.resize(chunk.size() + fill, 0xAA);
        ExpectSame(
            DecodeOne(VideoFormat(3, 2, 16, kBiBitfields, 0, masks(0xF800, 0x07E0, 0x001F)), chunk),
            FromPixels(3, 2, {kRed, kGreen, {132, 130, 132}, kBlue, kBlack, kWhite}));
    }
    // 32 bits drop the fourth byte; masks may name red in the lowest byte.
    const Bytes chunk = {1, 2, 3, 0xFF, 4, 5, 6, 0x00};
    ExpectSame(DecodeOne(VideoFormat(2, 1, 32), chunk), FromPixels(2, 1, {{1, 2, 3}, {4, 5, 6}}));
    ExpectSame(
        DecodeOne(VideoFormat(2, 1, 32, kBiBitfields, 0, masks(0xFF, 0xFF00, 0xFF0000)), chunk),
        FromPixels(2, 1, {{3, 2, 1}, {6, 5, 4}}));
}

TEST(DibDecoder, DroppedFramesRepeatThePictureBefore) {
    DibDecoder d;
    ASSERT_TRUE(OpenDecoder(d, VideoFormat(2, 2, 24)));
    // Nothing before it: a black picture, so positions stay in step with the stream.
    ExpectSame(DecodeChunk(d, {}), FromPixels(2, 2, {kBlack, kBlack, kBlack, kBlack}));
    const Image p = Pattern(2, 2, 3);
    ExpectSame(DecodeChunk(d, Rows24(p, 8, false)), p);
    ExpectSame(DecodeChunk(d, {}), p);
    ExpectSame(DecodeChunk(d, {}), p);
    // A chunk too short for the picture holds none.
    EXPECT_FALSE(d.decode(Rows24(p, 8, false).data(), 11));

    DibDecoder grey;
    ASSERT_TRUE(OpenDecoder(grey, VideoFormat(2, 1, 8, kFccY800)));
    ExpectSame(DecodeChunk(grey, {}), FromPixels(2, 1, {kBlack, kBlack}));
    ExpectSame(DecodeChunk(grey, {9, 8}), FromPixels(2, 1, {{9, 9, 9}, {8, 8, 8}}));
    ExpectSame(DecodeChunk(grey, {}), FromPixels(2, 1, {{9, 9, 9}, {8, 8, 8}}));
}

TEST(DibDecoder, PaletteChangesRecolourTheFollowingPictures) {
    DibDecoder d;
    ASSERT_TRUE(OpenDecoder(d, VideoFormat(2, 1, 8, kBiRgb, 2, Table({kRed, kGreen}))));
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {kRed, kGreen}));
    // Entry 1 becomes red 1, green 2, blue 3 (AVIPALCHANGE entries are red first).
    d.applyPaletteChange(Bytes{1, 1, 0, 0, 1, 2, 3, 0}.data(), 8);
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {kRed, {3, 2, 1}}));
    // A change that claims more entries than it holds stops at its end.
    d.applyPaletteChange(Bytes{0, 0, 0, 0, 9, 9, 9, 0, 7}.data(), 9);
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {{9, 9, 9}, {3, 2, 1}}));
    // One that runs past the 256th entry stops there; the entries below stay.
    Bytes late = {250, 10, 0, 0};
    late.resize(4 + 4 * 10, 0x33);
    d.applyPaletteChange(late.data(), late.size());
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {{9, 9, 9}, {3, 2, 1}}));
    // Shorter than its own header: nothing changes.
    d.applyPaletteChange(Bytes{1, 1}.data(), 2);
    d.applyPaletteChange(nullptr, 0);
    ExpectSame(DecodeChunk(d, {0, 1, 0, 0}), FromPixels(2, 1, {{9, 9, 9}, {3, 2, 1}}));

    // Pictures of fewer bits a pixel take changes too.
    DibDecoder mono;
    ASSERT_TRUE(OpenDecoder(mono, VideoFormat(3, 1, 1, kBiRgb, 0, Table({kBlack, kWhite}))));
    ExpectSame(DecodeChunk(mono, {0b01000000, 0, 0, 0}),
               FromPixels(3, 1, {kBlack, kWhite, kBlack}));
    mono.applyPaletteChange(Bytes{1, 1, 0, 0, 255, 0, 0, 0}.data(), 8);
    ExpectSame(DecodeChunk(mono, {0b01000000, 0, 0, 0}), FromPixels(3, 1, {kBlack, kRed, kBlack}));
    DibDecoder four;
    ASSERT_TRUE(OpenDecoder(four, VideoFormat(3, 1, 4, kBiRgb, 16, Table(std::vector<Bgr>(16, kBlue)))));
    four.applyPaletteChange(Bytes{15, 1, 0, 0, 0, 255, 0, 0}.data(), 8);
    ExpectSame(DecodeChunk(four, {0xF0, 0xF0, 0, 0}), FromPixels(3, 1, {kGreen, kBlue, kGreen}));
    // Grey and direct-colour pictures have no palette to change.
    DibDecoder grey;
    ASSERT_TRUE(OpenDecoder(grey, VideoFormat(1, 1, 8, kFccY800)));
    grey.applyPaletteChange(Bytes{0, 0, 0, 0, 255, 0, 0, 0}.data(), 8);
    ExpectSame(DecodeChunk(grey, {0, 0, 0, 0}), FromPixels(1, 1, {kBlack}));
}

TEST(DibDecoder, FormatsThatCannotBeDecodedAreRefusedAtOpen) {
    Bytes badMasks;
    for (uint32_t m : {0xF0F0u, 0x0F00u, 0x000Fu}) PutU32(badMasks, m);
    const struct {
        const char* what;
        Bytes strf;
    } cases[] = {
        {"MJPG", VideoFormat(8, 8, 24, FourCC("MJPG"))},
        {"3 bits", VideoFormat(8, 8, 3)},
        {"12 bits", VideoFormat(8, 8, 12)},
        {"zero width", VideoFormat(0, 8, 24)},
        {"negative width", VideoFormat(-8, 8, 24)},
        {"zero height", VideoFormat(8, 0, 24)},
        {"lowest height", VideoFormat(8, INT32_MIN, 24)},
        {"over a gigabyte", VideoFormat(32768, 16384, 24)},
        {"overflowing product", VideoFormat(INT32_MAX, INT32_MAX, 24)},
        {"split mask", VideoFormat(8, 8, 16, kBiBitfields, 0, badMasks)},
        {"missing masks", VideoFormat(8, 8, 32, kBiBitfields)},
        {"grey of 16 bits", VideoFormat(8, 8, 16, kFccY800)},
        {"Y16 of 8 bits", VideoFormat(8, 8, 8, kFccY16)},
        {"Bayer of 16 bits", VideoFormat(8, 8, 16, FourCC("BY8 "))},
        {"short header", Bytes(39, 0)},
    };
    PictureFormat f;
    std::string why;
    for (const auto& c : cases)
        EXPECT_FALSE(DescribePicture(c.strf.data(), c.strf.size(), f, why)) << c.what;
    const Bytes justUnder = VideoFormat(16384, 21845, 24);
    EXPECT_TRUE(DescribePicture(justUnder.data(), justUnder.size(), f, why));
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

    // Reads the whole input in colour and closes it; `failure_.message` holds the last failure.message.
    std::vector<Image> ReadAll() {
        settings_.Colour = 1;
        std::vector<Image> out;
        failure_.message.clear();
        while (ReadNextFrame(settings_, failure_)) {
            EXPECT_TRUE(ImageBuffer().consistent());
            out.push_back(ImageBuffer());
        }
        CloseInputVideo();
        return out;
    }

    test::TempDir dir_;
    Settings settings_;
    Failure failure_;
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
    Failure failure{"stale", "stale"};
    for (int32_t i = 0; i < 3; ++i) {
        ASSERT_NE(ReadNextFrame(settings_, failure), 0);
        EXPECT_EQ(ReadPosition(), i);
        EXPECT_TRUE(failure.message.empty());
        ExpectSame(ImageBuffer(), pictures[size_t(i)]);
    }
    const AviStreamInfo& in = InputStreamInfo();
    EXPECT_EQ(std::tie(in.fccType, in.dwScale, in.dwRate, in.dwStart, in.rcFrameBottom),
              std::make_tuple(kFccVids, 1001u, 30000u, 7u, 3));
    EXPECT_STREQ(in.szName, "Sky");
    EXPECT_EQ(ReadNextFrame(settings_, failure), 0);
    EXPECT_TRUE(failure.message.empty());
    EXPECT_EQ(ReadPosition(), 3);
    // The last picture stays for the window to repaint.
    ExpectSame(ImageBuffer(), pictures[2]);

    CloseInputVideo();
    EXPECT_EQ(ReadPosition(), -1);
    ASSERT_NE(ReadNextFrame(settings_, failure), 0);
    EXPECT_EQ(ReadPosition(), 0);
    ExpectSame(ImageBuffer(), pictures[0]);
}

TEST_F(FrameSourceTest, GreyAndColourBuffersEitherWayUp) {
    const Image p = FromPixels(
        5, 2, {kWhite, kRed, kGreen, kBlue, kMidGrey, kBlack, kBlack, kBlack, kBlack, kWhite});
    for (bool topDown : {false, true}) {
        SCOPED_TRACE(topDown);
        Write(Video({p}, topDown));
        Failure failure;
        settings_.Colour = 0;
        ASSERT_NE(ReadNextFrame(settings_, failure), 0);
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
        Failure failure;
        EXPECT_EQ(ReadNextFrame(settings_, failure), 0);
        EXPECT_TRUE(failure.message.empty());
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
    Failure failure;
    settings_.Colour = 1;
    ASSERT_NE(ReadNextFrame(settings_, failure), 0);
    const Bytes before = ImageBuffer().pixels;
    const uint8_t* block = ImageBuffer().pixels.data();
    CloseInputVideo();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        settings_.InputFile = dir_.file(c.what);
        if (c.what != std::string("missing")) Write(c.bytes);
        ImageBuffer().width = ImageBuffer().height = 9;
        EXPECT_EQ(ReadNextFrame(settings_, failure), 0);
        EXPECT_EQ(failure.message, "Can't open AVI input file");
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
    TestAvi mono;
    mono.streams = {VideoStream(VideoFormat(9, 2, 1, kBiRgb, 0, Table({kRed, kBlue})))};
    mono.chunks = {{k00db, {0xA5, 0x80, 0, 0, 0x5A, 0, 0, 0}},
                   {FourCC("00pc"), {1, 1, 0, 0, 1, 2, 3, 4}},
                   {k00db, {0xFF, 0x80, 0, 0, 0x00, 0, 0, 0}}};
    for (const TestAvi& avi : {colour, palette, mono}) {
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
                EXPECT_TRUE(failure_.message.empty() || got.empty());
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
    EXPECT_TRUE(failure_.message.empty());

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

TEST_F(FrameSourceTest, GreyRampPalettesStayGreyWithEveryLevel) {
    // Every one of the 256 levels of an 8-bit ramp, and the 16 of a 4-bit one.
    for (uint32_t bits : {8u, 4u}) {
        SCOPED_TRACE(bits);
        const size_t levels = size_t(1) << bits, step = 255 / (levels - 1);
        std::vector<Bgr> ramp;
        for (size_t i = 0; i < levels; ++i)
            ramp.push_back({uint8_t(i * step), uint8_t(i * step), uint8_t(i * step)});
        const size_t w = 16, h = levels / 16 ? levels / 16 : 1;
        std::vector<uint8_t> indices(w * h);
        for (size_t i = 0; i < indices.size(); ++i) indices[i] = uint8_t((i * 5) % levels);
        TestAvi avi;
        avi.streams.push_back(VideoStream(
            VideoFormat(int32_t(w), int32_t(h), uint16_t(bits), kBiRgb, 0, Table(ramp))));
        avi.chunks = {{k00db, PackIndices(indices, w, h, bits, w * bits / 8, false)}};
        Write(avi);
        Bytes want;
        for (uint8_t i : indices) want.push_back(uint8_t(i * step));
        Failure failure;
        settings_.Colour = 0;
        ASSERT_NE(ReadNextFrame(settings_, failure), 0);
        EXPECT_EQ(ImageBuffer().channels, 1);
        EXPECT_EQ(ImageBuffer().pixels, want);
        CloseInputVideo();
        // In colour the three channels are the level.
        const std::vector<Image> colour = ReadAll();
        ASSERT_EQ(colour.size(), 1u);
        Bytes triples;
        for (uint8_t v : want) triples.insert(triples.end(), {v, v, v});
        EXPECT_EQ(colour[0].pixels, triples);
    }
}

TEST_F(FrameSourceTest, PaletteChangesRecolourOneAndFourBitStreams) {
    for (uint16_t bits : {uint16_t(1), uint16_t(4)}) {
        SCOPED_TRACE(bits);
        TestAvi avi;
        avi.streams.push_back(
            VideoStream(VideoFormat(3, 1, bits, kBiRgb, 0, Table({kRed, kGreen}))));
        // Pixels 1, 0, 1 either way; entry 1 becomes blue before the second picture.
        const Bytes picture = bits == 1 ? Bytes{0b10100000, 0, 0, 0} : Bytes{0x10, 0x10, 0, 0};
        avi.chunks = {
            {k00db, picture}, {FourCC("00pc"), {1, 1, 0, 0, 0, 0, 255, 0}}, {k00db, picture}};
        Write(avi);
        const std::vector<Image> got = ReadAll();
        ASSERT_EQ(got.size(), 2u);
        ExpectSame(got[0], FromPixels(3, 1, {kGreen, kRed, kGreen}));
        ExpectSame(got[1], FromPixels(3, 1, {kBlue, kRed, kBlue}));
    }
}

}  // namespace
}  // namespace kestrel
