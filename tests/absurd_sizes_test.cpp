// Headers that announce absurd sizes: pictures of 2^31 pixels and more, colour tables and
// indexes of 2^32 entries, lengths of 2^32 frames, buffers of 4 GiB. Each is refused before
// anything is allocated for it or, where the file's own chunks tell the truth, read as what the
// file holds. Every run happens in a child process with little address space to spare, so that a
// reader which believed such a header would fail there rather than pass on a machine with
// memory to lend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "run/batch.h"
#include "io/bitmap.h"
#include "base/byte_cursor.h"
#include "io/frame_source.h"
#include "settings/settings.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/scripted_windowing.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;
using test::TestAvi;
using test::VideoFormat;
using test::VideoStream;

// Far below any absurd size, far above what reading these small files needs.
constexpr uint64_t kHeadroom = 256u << 20;
constexpr uint32_t kAll = 0xFFFFFFFFu;

// A child's outcome as its exit code: frames read (the test files hold at most a handful) and
// which message the user was given.
const char* const kMessages[] = {"", "Can't open AVI input file", "Can't open dark frame"};
constexpr int kOtherMessage = 3;
constexpr int kMismatch = 255;

int Outcome(size_t frames, const std::string& message) {
    int m = kOtherMessage;
    for (int i = 0; i < int(std::size(kMessages)); ++i)
        if (message == kMessages[i]) m = i;
    return int(std::min<size_t>(frames, 60)) * 4 + m;
}

std::string Describe(int code) {
    if (code < 0) return "the child did not exit (it aborted or was killed)";
    if (code == kMismatch) return "grey and colour reads differ";
    const std::string m = code % 4 == kOtherMessage ? "another message" : kMessages[code % 4];
    return std::to_string(code / 4) + " frames, message \"" + m + "\"";
}

// Where the body of the first chunk named `fourcc` starts.
size_t Body(const Bytes& b, const char* fourcc) {
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (std::memcmp(&b[i], fourcc, 4) == 0) return i + 8;
    ADD_FAILURE() << fourcc << " not in the file";
    return 0;
}

struct Patch {
    size_t at;
    uint32_t value;
};

Bytes Patched(Bytes b, const std::vector<Patch>& patches) {
    for (const Patch& p : patches) PatchU32(b, p.at, p.value);
    return b;
}

class AbsurdSizesTest : public ::testing::Test {
protected:
    // Reads every frame of `path` in colour, then in grey, as the run does.
    static int ReadAll(const std::string& path) {
        int first = -1;
        for (int colour : {1, 0}) {
            Settings s;
            s.InputFile = path;
            s.Colour = colour;
            Failure failure;
            size_t frames = 0;
            while (ReadNextFrame(s, failure) && frames < 1000) ++frames;
            CloseInputVideo();
            const int outcome = Outcome(frames, failure.message);
            if (first >= 0 && outcome != first) return kMismatch;
            first = outcome;
        }
        return first;
    }

    // The whole run: what it wrote, and the first error it showed. Only ever called in a child,
    // so the process-wide settings it sets never reach the other tests.
    int RunWhole(const std::string& input, const std::string& dark) {
        Settings& app = AppSettings();
        app = Settings{};
        app.InputFile = input;
        app.OutputFile = dir_.file("out.avi");
        app.DarkFrame = dark;
        app.SubDark = !dark.empty();
        app.Colour = 1;
        test::ScriptedWindowing w;
        RunBatch(w);
        std::string error;
        const std::string prefix = "box Error: ", suffix = " [none]";
        for (const std::string& line : w.log)
            if (error.empty() && line.starts_with(prefix) && line.ends_with(suffix))
                error = line.substr(prefix.size(), line.size() - prefix.size() - suffix.size());
        return Outcome(size_t(LastRun().framesWritten), error);
    }

    void ExpectRead(const char* what, const Bytes& bytes, size_t frames, const char* message) {
        SCOPED_TRACE(what);
        const std::string path = dir_.file("in.avi");
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        const int want = Outcome(frames, message);
        const int read = test::ExitCodeUnderMemoryLimit(kHeadroom, [&] { return ReadAll(path); });
        EXPECT_EQ(read, want) << Describe(read) << ", not " << Describe(want);
        const int run = test::ExitCodeUnderMemoryLimit(kHeadroom, [&] { return RunWhole(path, ""); });
        EXPECT_EQ(run, want) << "whole run: " << Describe(run) << ", not " << Describe(want);
    }

    test::TempDir dir_;
};

TestAvi ThreeFrames(const Bytes& format, size_t chunkBytes) {
    TestAvi avi;
    avi.streams = {VideoStream(format)};
    for (uint8_t n = 0; n < 3; ++n) avi.chunks.push_back({FourCC("00db"), Bytes(chunkBytes, n)});
    return avi;
}

TEST_F(AbsurdSizesTest, PicturesTooLargeToHoldAreRefusedAtTheStart) {
    const test::BuiltAvi plain = test::BuildAvi(ThreeFrames(VideoFormat(4, 2, 24), 24));
    const size_t strf = Body(plain.bytes, "strf");
    const struct {
        const char* what;
        std::vector<Patch> patches;
    } cases[] = {
        {"2^31 pixels of 24 bits", {{strf + 4, 1u << 16}, {strf + 8, 1u << 15}}},
        {"2^31 pixels stored top row first", {{strf + 4, 1u << 16}, {strf + 8, 0xFFFF8000u}}},
        {"2^62 pixels", {{strf + 4, 0x7FFFFFFF}, {strf + 8, 0x7FFFFFFF}}},
        {"height of -2^31", {{strf + 8, 0x80000000u}}},
        {"2^31 pixels of 8-bit grey",
         {{strf + 4, 1u << 16}, {strf + 8, 1u << 15}, {strf + 12, 1 | 8u << 16},
          {strf + 16, FourCC("Y800")}}},
        {"2^31 pixels of 32 bits", {{strf + 4, 1u << 16}, {strf + 8, 1u << 15}, {strf + 12, 1 | 32u << 16}}},
        // Compressed: a few bytes of a chunk could decode to the whole announced picture.
        {"2^31 pixels of MJPG",
         {{strf + 4, 1u << 16}, {strf + 8, 1u << 15}, {strf + 16, FourCC("MJPG")}}},
        {"2^31 pixels of YUY2",
         {{strf + 4, 1u << 16}, {strf + 8, 1u << 15}, {strf + 12, 1 | 16u << 16},
          {strf + 16, FourCC("YUY2")}}},
    };
    for (const auto& c : cases)
        ExpectRead(c.what, Patched(plain.bytes, c.patches), 0, "Can't open AVI input file");
}

TEST_F(AbsurdSizesTest, CountsThatTheChunksBelieAreNotTrusted) {
    const test::BuiltAvi plain = test::BuildAvi(ThreeFrames(VideoFormat(4, 2, 24), 24));
    const size_t avih = Body(plain.bytes, "avih"), strh = Body(plain.bytes, "strh");

    TestAvi palette = ThreeFrames(VideoFormat(4, 2, 8, kBiRgb, 2, Bytes(8, 0x80)), 8);
    const test::BuiltAvi pal = test::BuildAvi(palette);
    const size_t palStrf = Body(pal.bytes, "strf");

    TestAvi odml = ThreeFrames(VideoFormat(4, 2, 24), 24);
    odml.stdIndexId = FourCC("ix00");
    odml.extensions = {{{FourCC("00db"), Bytes(24, 7)}}};
    const test::BuiltAvi dml = test::BuildAvi(odml);
    const size_t indx = dml.superIndexOffset + 8, ix00 = dml.stdIndexOffsets.at(0) + 8;
    // Our own writer's output, which has a dmlh.
    const std::string own = dir_.file("own.avi");
    ASSERT_TRUE(test::WriteTestVideo(own, 4, 2, 3));
    const Bytes written = test::ReadFileBytes(own);
    const size_t dmlh = Body(written, "dmlh");

    const struct {
        const char* what;
        const Bytes& file;
        std::vector<Patch> patches;
        size_t frames;
    } cases[] = {
        {"2^32-1 frames in the main and stream headers", plain.bytes,
         {{avih + 16, kAll}, {strh + 32, kAll}}, 3},
        {"buffers of 4 GiB suggested", plain.bytes, {{avih + 28, kAll}, {strh + 36, kAll}}, 3},
        {"idx1 of 2^28 entries", plain.bytes, {{plain.idx1Offset + 4, 0xFFFFFFF0u}}, 3},
        {"colour table of 2^32-1 entries", pal.bytes, {{palStrf + 32, kAll}}, 3},
        {"super index of 2^32-1 entries", dml.bytes, {{indx + 4, kAll}}, 4},
        {"standard index of 2^32-1 entries", dml.bytes, {{ix00 + 4, kAll}}, 4},
        {"dmlh of 2^32-1 frames", written, {{dmlh, kAll}}, 3},
    };
    for (const auto& c : cases) ExpectRead(c.what, Patched(c.file, c.patches), c.frames, "");
}

TEST_F(AbsurdSizesTest, DarkFramesTooLargeToHoldAreRefused) {
    const Bytes rgb = test::BuildBmp(test::Bmp(2, 2, 24).Fill(0x102030));
    const Bytes indexed = test::BuildBmp(test::Bmp(2, 2, 8).Table({0, 0xFFFFFF}).Fill(1));
    const Bytes mono = test::BuildBmp(test::Bmp(2, 2, 1).Table({0, 0xFFFFFF}).Fill(1));
    const struct {
        const char* what;
        const Bytes& file;
        std::vector<Patch> patches;
    } cases[] = {
        {"2^31 pixels of 24 bits", rgb, {{18, 1u << 16}, {22, 1u << 15}}},
        {"2^62 pixels", rgb, {{18, 0x7FFFFFFF}, {22, 0x80000001u}}},
        {"2^31 pixels of 1 bit", mono, {{18, 1u << 16}, {22, 1u << 15}}},
        {"colour table of 2^32-1 entries", indexed, {{46, kAll}}},
    };
    const std::string input = dir_.file("in.avi");
    ASSERT_TRUE(test::WriteTestVideo(input, 2, 2, 2));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir_.file("dark.bmp");
        ASSERT_TRUE(test::WriteFileBytes(path, Patched(c.file, c.patches)));
        const int want = Outcome(0, "Can't open dark frame");
        const int loaded = test::ExitCodeUnderMemoryLimit(kHeadroom, [&] {
            int first = -1;
            for (int colour : {1, 0}) {
                Settings s;
                s.DarkFrame = path;
                s.SubDark = 1;
                s.Colour = colour;
                Failure failure;
                const int outcome = Outcome(LoadDarkFrame(s, failure) ? 1 : 0, failure.message);
                if (first >= 0 && outcome != first) return kMismatch;
                first = outcome;
            }
            return first;
        });
        EXPECT_EQ(loaded, want) << Describe(loaded);
        const int run = test::ExitCodeUnderMemoryLimit(kHeadroom, [&] { return RunWhole(input, path); });
        EXPECT_EQ(run, want) << "whole run: " << Describe(run);
    }
}

// The limit itself works: a reader that did reserve what such a header asks would fail here.
TEST_F(AbsurdSizesTest, TheChildsLimitStopsALargeAllocation) {
    if (test::UnderAddressSanitizer()) GTEST_SKIP() << "no address-space limit under ASan";
    const int code = test::ExitCodeUnderMemoryLimit(kHeadroom, [] {
        try {
            std::vector<uint8_t> picture;
            picture.reserve(size_t(3) << 31);  // reserved, never touched
            return 1;
        } catch (const std::bad_alloc&) {
            return 0;
        }
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace kestrel
