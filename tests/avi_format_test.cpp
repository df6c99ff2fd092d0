#include "io/avi_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

namespace kestrel {
namespace {

TEST(AviFormat, StreamHeaderOnDiskOrderAndRectangle) {
    const AviStreamInfo s{.fccType = kFccVids,
                          .fccHandler = FourCC("MJPG"),
                          .dwFlags = 1,
                          .wPriority = 2,
                          .wLanguage = 3,
                          .dwScale = 1001,
                          .dwRate = 30000,
                          .dwStart = 5,
                          .dwLength = 6,
                          .dwInitialFrames = 4,
                          .dwSuggestedBufferSize = 7,
                          .dwQuality = 8,
                          .dwSampleSize = 9,
                          .rcFrameLeft = -1,
                          .rcFrameTop = 2,
                          .rcFrameRight = 640,
                          .rcFrameBottom = 70000};  // does not fit 16 bits: clamped, not wrapped
    std::vector<uint8_t> bytes;
    AppendStreamHeader(bytes, s);
    ASSERT_EQ(bytes.size(), kStrhSize);
    // dwInitialFrames comes right after the language on disk, before dwScale.
    EXPECT_EQ(bytes[16], 4);
    EXPECT_EQ(bytes[20] | bytes[21] << 8, 1001);

    AviStreamInfo back;
    std::strcpy(back.szName, "kept");
    ASSERT_TRUE(ParseStreamHeader(bytes.data(), bytes.size(), back));
    EXPECT_EQ(std::tie(back.fccHandler, back.dwInitialFrames, back.dwScale, back.dwRate,
                       back.dwSampleSize, back.rcFrameLeft, back.rcFrameRight, back.rcFrameBottom,
                       back.dwCaps),
              std::make_tuple(FourCC("MJPG"), 4u, 1001u, 30000u, 9u, -1, 640, 32767, 0u));
    EXPECT_STREQ(back.szName, "kept");
    // 48 bytes (no rectangle) is a header some writers use; 47 is not a header.
    EXPECT_TRUE(ParseStreamHeader(bytes.data(), 48, back));
    EXPECT_FALSE(ParseStreamHeader(bytes.data(), 47, back));
}

TEST(AviFormat, BitmapInfoHeaderRoundTripAndShortInput) {
    const BitmapInfoHeader h{
        .biWidth = -3, .biHeight = 7, .biBitCount = 24, .biSizeImage = 84, .biClrUsed = 16};
    std::vector<uint8_t> bytes;
    AppendBitmapInfoHeader(bytes, h);
    ASSERT_EQ(bytes.size(), kBitmapInfoHeaderSize);
    ByteCursor in(bytes.data(), bytes.size());
    const BitmapInfoHeader back = ReadBitmapInfoHeader(in);
    EXPECT_FALSE(in.failed());
    EXPECT_EQ(std::tie(back.biSize, back.biWidth, back.biHeight, back.biBitCount, back.biSizeImage,
                       back.biClrUsed),
              std::make_tuple(40u, -3, 7, uint16_t(24), 84u, 16u));
    ByteCursor shortIn(bytes.data(), 39);
    ReadBitmapInfoHeader(shortIn);
    EXPECT_TRUE(shortIn.failed());
}

}  // namespace
}  // namespace kestrel
