#include <gtest/gtest.h>

#include <cstring>

#include "io/avi_format.h"

namespace kestrel {
namespace {

TEST(AviFormat, StreamHeaderOnDiskOrderAndRectangle) {
    AviStreamInfo s;
    s.fccType = kFccVids;
    s.fccHandler = FourCC("MJPG");
    s.dwFlags = 1;
    s.wPriority = 2;
    s.wLanguage = 3;
    s.dwInitialFrames = 4;
    s.dwScale = 1001;
    s.dwRate = 30000;
    s.dwStart = 5;
    s.dwLength = 6;
    s.dwSuggestedBufferSize = 7;
    s.dwQuality = 8;
    s.dwSampleSize = 9;
    s.rcFrameLeft = -1;
    s.rcFrameTop = 2;
    s.rcFrameRight = 640;
    s.rcFrameBottom = 70000;  // does not fit 16 bits: clamped, not wrapped
    std::vector<uint8_t> bytes;
    AppendStreamHeader(bytes, s);
    ASSERT_EQ(bytes.size(), kStrhSize);
    // dwInitialFrames comes right after the language on disk, before dwScale.
    EXPECT_EQ(bytes[16], 4);
    EXPECT_EQ(bytes[20] | bytes[21] << 8, 1001);

    AviStreamInfo back;
    std::strcpy(back.szName, "kept");
    ASSERT_TRUE(ParseStreamHeader(bytes.data(), bytes.size(), back));
    EXPECT_EQ(back.fccHandler, FourCC("MJPG"));
    EXPECT_EQ(back.dwInitialFrames, 4u);
    EXPECT_EQ(back.dwScale, 1001u);
    EXPECT_EQ(back.dwRate, 30000u);
    EXPECT_EQ(back.dwSampleSize, 9u);
    EXPECT_EQ(back.rcFrameLeft, -1);
    EXPECT_EQ(back.rcFrameRight, 640);
    EXPECT_EQ(back.rcFrameBottom, 32767);
    EXPECT_EQ(back.dwCaps, 0u);
    EXPECT_STREQ(back.szName, "kept");
}

TEST(AviFormat, ShortStreamHeaders) {
    std::vector<uint8_t> bytes;
    AppendStreamHeader(bytes, AviStreamInfo{});
    AviStreamInfo s;
    // 48 bytes (no rectangle) is a header some writers use; 47 is not a header.
    EXPECT_TRUE(ParseStreamHeader(bytes.data(), 48, s));
    EXPECT_FALSE(ParseStreamHeader(bytes.data(), 47, s));
}

TEST(AviFormat, BitmapInfoHeaderRoundTripAndShortInput) {
    BitmapInfoHeader h;
    h.biWidth = -3;
    h.biHeight = 7;
    h.biBitCount = 24;
    h.biSizeImage = 84;
    h.biClrUsed = 16;
    std::vector<uint8_t> bytes;
    AppendBitmapInfoHeader(bytes, h);
    ASSERT_EQ(bytes.size(), kBitmapInfoHeaderSize);
    ByteCursor in(bytes.data(), bytes.size());
    BitmapInfoHeader back = ReadBitmapInfoHeader(in);
    EXPECT_FALSE(in.failed());
    EXPECT_EQ(back.biWidth, -3);
    EXPECT_EQ(back.biHeight, 7);
    EXPECT_EQ(back.biSizeImage, 84u);
    EXPECT_EQ(back.biClrUsed, 16u);
    ByteCursor shortIn(bytes.data(), 39);
    ReadBitmapInfoHeader(shortIn);
    EXPECT_TRUE(shortIn.failed());
}

}  // namespace
}  // namespace kestrel
