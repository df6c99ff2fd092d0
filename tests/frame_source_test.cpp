// ReadNextFrame over whole files: positions, the ImageBuffer in grey or colour, inputs refused and
// why, dropped frames, short chunks and palette changes. The DIB layouts are decode_test's.
#include "io/frame_source.h"

#include <gtest/gtest.h>

#include "io/decode.h"
#include "support/files.h"
#include "support/riff_builder.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;
using test::VideoFormat;

const uint32_t k00db = FourCC("00db"), k00pc = FourCC("00pc");

std::string Write(const Bytes& strf, const std::vector<test::TestChunk>& chunks,
                  test::TestIndex index = test::TestIndex::Relative) {
    static const test::TempDir dir;
    static int files = 0;
    test::TestAvi avi;
    avi.streams = {test::VideoStream(strf)};
    avi.chunks = chunks;
    avi.index = index;
    const std::string path = dir.file(std::to_string(files++) + ".avi");
    EXPECT_TRUE(test::WriteFileBytes(path, test::BuildAvi(avi).bytes));
    return path;
}

// Every picture of the file, grey or in colour; the input must end without a message.
std::vector<Bytes> Pixels(const std::string& path, bool colour = true) {
    const test::SourceRead read = test::ReadSource(path, colour);
    EXPECT_EQ(read.failure.message, "");
    std::vector<Bytes> out;
    for (const Image& i : read.frames)
        out.push_back(i.channels == (colour ? 3 : 1) ? i.pixels : Bytes{});
    return out;
}

TEST(FrameSource, PositionsRunFromZeroToTheFirstMissingPictureGreyOrColour) {
    const test::TempDir dir;
    Settings s;
    s.InputFile = dir.file("in.avi");
    ASSERT_TRUE(test::WriteTestVideo(s.InputFile, 5, 3, 2));  // rows of 15 bytes and 1 fill byte
    Failure failure{"stale", "stale"};
    for (uint8_t colour : {1, 0, 1}) {  // closing starts the input afresh at position 0
        s.Colour = colour;
        EXPECT_EQ(ReadPosition(), -1);
        for (int32_t i = 0; i < 2; ++i) {
            ASSERT_NE(ReadNextFrame(s, failure), 0);
            EXPECT_EQ(failure.message + failure.reason, "");
            EXPECT_EQ(ReadPosition(), i);
            EXPECT_EQ(ImageBuffer().pixels, test::ExpectedFrame(5, 3, i, colour).pixels);
        }
        EXPECT_EQ(InputStreamInfo().dwRate, 30000u);
        EXPECT_STREQ(InputStreamInfo().szName, "sky");
        EXPECT_EQ(ReadNextFrame(s, failure), 0);
        EXPECT_TRUE(failure.message.empty());
        EXPECT_EQ(ReadPosition(), 2);
        EXPECT_EQ(ImageBuffer().pixels, test::ExpectedFrame(5, 3, 1, colour).pixels);  // kept
        CloseInputVideo();
    }
    // A stream without chunks ends at once, without a message, indexed or not.
    for (test::TestIndex index : {test::TestIndex::None, test::TestIndex::Relative})
        EXPECT_EQ(Pixels(Write(VideoFormat(4, 4, 24), {}, index)), std::vector<Bytes>{});
}

TEST(FrameSource, InputsThatCannotBeOpenedGiveTheMessageAndReasonAndKeepTheBlock) {
    test::TestAvi audio;
    audio.streams.push_back(test::AudioStream());
    const test::TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir.file("empty"), {}));
    ASSERT_TRUE(test::WriteFileBytes(dir.file("audio"), test::BuildAvi(audio).bytes));
    const std::pair<std::string, const char*> cases[] = {
        {dir.file("missing"), "the file cannot be opened"},
        {dir.file("empty"), "not an AVI file"},
        {dir.file("audio"), "no video stream"},
        {Write(VideoFormat(4, 4, 24, FourCC("ZZZZ")), {}), "FFmpeg has no decoder for 'ZZZZ'"},
        {Write(VideoFormat(1 << 14, 1 << 13, 24, FourCC("MJPG")), {}),
         "the picture is larger than 256 MiB"},
        {Write(VideoFormat(4, 4, 12), {}), "pixels of this depth are not read"},
    };
    Settings s;
    s.InputFile = Write(VideoFormat(4, 2, 24), {{k00db, Bytes(24, 5)}});
    Failure failure;
    ASSERT_NE(ReadNextFrame(s, failure), 0);
    const Image before = ImageBuffer();
    const uint8_t* block = ImageBuffer().pixels.data();
    for (const auto& [path, reason] : cases) {
        CloseInputVideo();
        s.InputFile = path;
        EXPECT_EQ(ReadNextFrame(s, failure), 0);
        EXPECT_EQ(failure.message, "Can't open AVI input file");
        EXPECT_EQ(failure.reason, reason);
        EXPECT_EQ(ImageBuffer().width + ImageBuffer().height, 0);
        EXPECT_EQ(ImageBuffer().pixels.data(), block);
        EXPECT_EQ(ImageBuffer().pixels, before.pixels);
        EXPECT_EQ(ReadPosition(), -1);
    }
    CloseInputVideo();
}

TEST(FrameSource, DroppedFramesShortChunksAndPaletteChanges) {
    Bytes late = {250, 10, 0, 0}, longer = {1, 1, 0, 0, 1, 2, 3, 0};
    late.resize(4 + 4 * 10, 0x33);  // runs past the 256th entry
    longer.resize(2000, 0);         // more than a palette change can say
    const Bytes redGreen = {0, 0, 255, 0, 255, 0}, redAnd654 = {0, 0, 255, 6, 5, 4};
    const std::vector<test::TestChunk> chunks = {
        {k00db, {0, 1, 0, 0}},
        {k00db, {}},
        {k00pc, {1, 1, 0, 0, 4, 5, 6, 0}},  // entries are red first
        {k00db, {}},                        // repeats the picture as decoded, before the change
        {k00db, {0, 1, 0, 0}},
        {k00pc, {0, 0, 0, 0, 9, 9, 9, 0, 7}},  // a count of 0 is 256; one entry is there
        {k00pc, late},
        {k00pc, {1, 1}},  // shorter than its own header: nothing
        {k00db, {0, 1, 0, 0}},
        {k00pc, longer},
        {k00db, {1, 0, 0, 0}},
        {k00db, {1}},  // short of a picture: the input ends
        {k00db, {0, 0, 0, 0}}};
    const Bytes redGreenTable = {0, 0, 255, 0, 0, 255, 0, 0};
    for (test::TestIndex index : {test::TestIndex::Relative, test::TestIndex::None})
        EXPECT_EQ(
            Pixels(Write(VideoFormat(2, 1, 8, kBiRgb, 2, redGreenTable), chunks, index)),
            (std::vector<Bytes>{
                redGreen, redGreen, redGreen, redAnd654, {9, 9, 9, 6, 5, 4}, {3, 2, 1, 9, 9, 9}}));
    // Pictures of fewer bits take changes too; grey ones have no palette to change.
    const test::TestChunk toBlue = {k00pc, {1, 1, 0, 0, 0, 0, 255, 0}};
    EXPECT_EQ(Pixels(Write(VideoFormat(3, 1, 1, kBiRgb, 2, redGreenTable),
                           {toBlue, {k00db, {0b10100000, 0, 0, 0}}})),
              (std::vector<Bytes>{{255, 0, 0, 0, 0, 255, 255, 0, 0}}));
    EXPECT_EQ(Pixels(Write(VideoFormat(1, 1, 8, kFccY800), {toBlue, {k00db, {1, 0, 0, 0}}})),
              (std::vector<Bytes>{{1, 1, 1}}));
    // A dropped first frame is black (absurd_sizes_test: unless no chunk holds a picture).
    EXPECT_EQ(Pixels(Write(VideoFormat(1, 2, 8, kFccY800), {{k00db, {}}, {k00db, {7, 9}}})),
              (std::vector<Bytes>{Bytes(6, 0), {7, 7, 7, 9, 9, 9}}));
}

}  // namespace
}  // namespace kestrel
