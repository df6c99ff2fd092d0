// Cuts and a few thousand seeded damaged copies of small valid AVI files and bitmaps (the
// fuzz targets' seeds, from FFmpeg, ImageMagick and our own writers, and a few built here), read
// as the run reads them: each must end in one of the system's own messages or a clean end, every
// frame of the size its header gives. Under the sanitizers this finds reads outside a buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <tuple>

#include "corrections/dark.h"
#include "io/avi_reader.h"
#include "io/bitmap.h"
#include "support/files.h"
#include "support/riff_builder.h"
#include "support/samples.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using namespace test;

const std::string kCorpus = KESTREL_FUZZ_CORPUS;

// Removed first: ext4 flushes a file that is truncated and written again when it is closed.
void Put(const std::string& path, const Bytes& bytes) {
    std::filesystem::remove(path);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
}

// Calls `check` with cuts of `good` (each within a kilobyte of either end, where the headers and
// indexes are, and every fifth between) and then `damaged` copies of it, each with its number: a
// byte set at random, or a 32-bit field (anywhere, or at a multiple of 4 where most header fields
// are) set to a boundary value of sizes and counts; now and then two.
template <class Check>
void ForEachBadCopy(const std::string& name, const Bytes& good, size_t damaged, Check check) {
    const uint32_t size = uint32_t(good.size());
    const uint32_t boundary[] = {0,          1,          2,        0x7FFFFFFF, 0x80000000,
                                 0xFFFFFFFF, 0xFFFFFFF0, size - 8, size - 1,   size,
                                 size + 1,   size * 2,   0x10000,  0x40000000};
    std::mt19937 rng(size);
    for (size_t k = 0; k < size + damaged; k += k >= 1024 && k + 1024 < size ? 5 : 1) {
        SCOPED_TRACE(testing::Message() << name << (k < size ? " cut at " : " damaged copy ")
                                        << (k < size ? k : k - size));
        Bytes b(good.begin(), good.begin() + std::ptrdiff_t(std::min<size_t>(k, size)));
        for (int n = k < size ? 0 : rng() % 4 ? 1 : 2; n > 0; --n) {
            const uint32_t value = boundary[rng() % std::size(boundary)];
            switch (rng() % 3) {
                case 0: b[rng() % size] = uint8_t(rng()); break;
                case 1: PatchU32(b, rng() % (size - 3), value); break;
                default: PatchU32(b, rng() % (size / 4) * 4, value); break;
            }
        }
        check(b, k);
    }
}

class BadInputTest : public ::testing::Test {
protected:
    void TearDown() override { DarkImage() = Image{}; }

    // Every message must be one the system has for bad inputs; anything else is a fault.
    void Note(const std::string& message) {
        ++seen[message];
        EXPECT_TRUE(message.empty() || message == "Can't open AVI input file" ||
                    message == "Can't open dark frame" || message == kDarkSizeMismatch)
            << message;
    }

    TempDir dir;
    std::map<std::string, size_t> seen;  // messages, "" for a clean end or a load
};

TEST_F(BadInputTest, AviFilesEndInTheMessageOrACleanEnd) {
    TestAvi palette, masks, odml;
    // 8 bits, a palette change and a dropped frame, an audio stream before the video, idx1.
    palette.streams = {AudioStream(), VideoStream(VideoFormat(4, 3, 8, kBiRgb, 6, Ramp(24, 40)))};
    palette.chunks = {{FourCC("01db"), Ramp(12, 1)}, {FourCC("01pc"), {1, 2, 0, 0, 9, 8, 7, 0}},
                      {FourCC("00wb"), {1, 2, 3}}, {FourCC("01db"), Ramp(12, 2)},
                      {FourCC("01db"), {}}};
    masks.streams = {VideoStream(
        VideoFormat(3, 2, 16, kBiBitfields, 0, {0, 0xF8, 0, 0, 0xE0, 7, 0, 0, 0x1F, 0, 0, 0}))};
    masks.chunks.assign(2, {FourCC("00db"), Ramp(16, 5)});
    // OpenDML: a standard index in each movi list, their super index, an AVIX segment.
    odml.streams = {VideoStream(VideoFormat(2, 2, 24))};
    odml.chunks = {{FourCC("00db"), Ramp(16, 1)}, {FourCC("00db"), Ramp(16, 2)}};
    odml.extensions = {
        {{FourCC("00db"), Ramp(16, 3)}, {kFccJunk, Bytes(3, 0)}, {FourCC("00db"), {}}}};
    odml.stdIndexId = FourCC("ix00");
    std::vector<std::pair<std::string, Bytes>> samples = {{"BI_RGB 8", BuildAvi(palette).bytes},
                                                          {"BI_BITFIELDS", BuildAvi(masks).bytes},
                                                          {"OpenDML", BuildAvi(odml).bytes}};
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus + "/fuzz_avi"))
        samples.push_back({entry.path().filename(), ReadFileBytes(entry.path())});

    const std::string path = dir.file("in.avi");
    for (const auto& [name, good] : samples) {
        Put(path, good);
        ASSERT_FALSE(ReadSource(path).frames.empty()) << name << " itself is not read";
        ForEachBadCopy(name, good, 1000, [&](const Bytes& bad, size_t k) {
            Put(path, bad);
            int64_t width = -1, height = -1;  // 64 bits: a height of -2^31 has no 32-bit size
            AviReader reader;
            if (reader.open(path) == AviReadStatus::Ok) {
                width = int32_t(Le32(reader.format(), 4));
                height = std::llabs(int64_t(int32_t(Le32(reader.format(), 8))));
            }
            reader.close();
            const bool colour = k % 2;
            // Each picture takes a chunk of at least its 8-byte header, or an index entry.
            const SourceRead r = ReadSource(path, colour, bad.size() / 8 + 1);
            EXPECT_LE(r.frames.size(), bad.size() / 8);
            for (const Image& f : r.frames)
                ASSERT_EQ(std::tuple(int64_t(f.width), int64_t(f.height), f.channels),
                          std::tuple(width, height, colour ? 3 : 1));
            EXPECT_TRUE(!r.failure || r.frames.empty()) << r.failure.message;
            Note(r.failure.message);
        });
    }
    EXPECT_GT(seen[""], 0u);
    EXPECT_GT(seen["Can't open AVI input file"], 0u);
}

// Each bitmap is loaded as the dark frame in grey and in colour and, when it loads, subtracted
// from a frame of the sample's size with its hot pixels repaired.
TEST_F(BadInputTest, DarkFramesEndInTheMessageOrLoad) {
    const std::string path = dir.file("dark.bmp");
    for (const auto& entry : std::filesystem::directory_iterator(kCorpus + "/fuzz_bmp")) {
        const Bytes good = ReadFileBytes(entry.path());
        Settings s;
        std::tie(s.DarkFrame, s.SubDark, s.Hot) = std::tuple(path, 1, 1);
        Failure failure;
        Put(path, good);
        if (!LoadDarkFrame(s, failure)) continue;  // the seeds hold some that are refused
        const int32_t width = DarkImage().width, height = DarkImage().height;
        ForEachBadCopy(entry.path().filename(), good, 1000, [&](const Bytes& bad, size_t) {
            Put(path, bad);
            for (uint8_t colour : {0, 1}) {
                s.Colour = colour;
                DarkImage() = Image{-1, -1, 1, {}};
                failure.clear();
                if (LoadDarkFrame(s, failure)) {
                    Image& dark = DarkImage();
                    EXPECT_TRUE(dark.consistent() && dark.width > 0 && dark.height > 0);
                    EXPECT_EQ(dark.channels, colour ? 3 : 1);
                    // At least one bit of every pixel is in the file.
                    EXPECT_LE(uint64_t(dark.width) * uint64_t(dark.height), 8 * bad.size());
                    Image frame = Filled(width, height, dark.channels, 120);
                    ApplyDarkFrame(frame, dark, s, failure);
                    EXPECT_TRUE(frame.consistent());
                }
                Note(failure.message);
            }
        });
    }
    EXPECT_GT(seen[""], 0u);
    EXPECT_GT(seen["Can't open dark frame"], 0u);
    EXPECT_GT(seen[kDarkSizeMismatch], 0u);
}

}  // namespace
}  // namespace kestrel
