// Headers that announce absurd sizes: pictures of 2^31 pixels, colour tables and indexes of 2^32
// entries, lengths of 2^32 frames, buffers of 4 GiB. Each is refused, for the reason of the check
// that should refuse it, before anything is allocated for it; or, where the file's own chunks tell
// the truth, read as what the file holds. Every read happens in a child process with little
// address space to spare, so that a reader which believed such a header would fail there rather
// than pass on a machine with memory to lend.
#include <gtest/gtest.h>

#include <cstring>

#include "io/bitmap.h"
#include "io/frame_source.h"
#include "run/batch.h"
#include "support/bmp_builder.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/samples.h"
#include "support/scripted_windowing.h"
#include "support/test_video.h"

namespace kestrel {
namespace {

using test::Bytes;
using test::VideoFormat;

// Far below any absurd size, far above what reading these small files needs.
constexpr uint64_t kHeadroom = 256u << 20;
constexpr uint32_t kAll = 0xFFFFFFFFu;

// Where the body of the first chunk named `fourcc` starts.
size_t Body(const Bytes& b, const char* fourcc) {
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (std::memcmp(&b[i], fourcc, 4) == 0) return i + 8;
    ADD_FAILURE() << fourcc << " not in the file";
    return 0;
}

// Runs in the child: the frames read in colour (a dark frame: 1 when it loads) x 4, plus 1 when
// the file is refused for `reason`, 2 when otherwise; then the whole run, on the file or with it
// as the dark frame of `video`, which must show the message alone and write what was read.
int ReadAsTheRunDoes(const std::string& path, bool dark, const char* reason,
                     const std::string& video) {
    Settings s;
    s.InputFile = s.DarkFrame = path;
    s.Colour = 1;
    Failure failure;
    size_t frames = dark && LoadDarkFrame(s, failure) ? 1 : 0;
    while (!dark && frames < 60 && ReadNextFrame(s, failure)) ++frames;
    CloseInputVideo();
    const int read = int(frames) * 4 + (!failure ? 0 : reason && failure.reason == reason ? 1 : 2);
    Settings& app = AppSettings();  // only ever set in a child
    app = s;
    app.InputFile = dark ? video : path;
    app.OutputFile = path + ".out.avi";
    app.SubDark = dark;
    test::ScriptedWindowing w;
    RunBatch(w);
    std::vector<std::string> boxes, want;
    for (const std::string& line : w.log)
        if (line.starts_with("box Error")) boxes.push_back(line);
    if (reason) want = {"box Error: " + failure.message + " [none]"};
    return boxes == want && size_t(LastRun().framesWritten) == (dark ? 0 : frames) ? read : 254;
}

TEST(AbsurdSizes, AreRefusedForTheirReasonOrReadAsWhatTheFileHolds) {
    // The limit itself works: a reader that did reserve what such a header asks fails.
    if (!test::UnderAddressSanitizer()) {
        ASSERT_EQ(test::ExitCodeUnderMemoryLimit(kHeadroom, [] {
            std::vector<uint8_t>().reserve(size_t(3) << 31);  // reserved, never touched
            return 0;
        }), -1);
    }
    test::TempDir dir;
    auto threeFrames = [](const Bytes& format, size_t bytes) {
        test::TestAvi avi;
        avi.streams = {test::VideoStream(format)};
        for (uint8_t n = 0; n < 3; ++n) avi.chunks.push_back({FourCC("00db"), Bytes(bytes, n)});
        return avi;
    };
    const test::BuiltAvi plain = test::BuildAvi(threeFrames(VideoFormat(4, 2, 24), 24));
    const Bytes pal =
        test::BuildAvi(threeFrames(VideoFormat(4, 2, 8, kBiRgb, 2, Bytes(8, 1)), 8)).bytes;
    test::TestAvi odml = threeFrames(VideoFormat(4, 2, 24), 24);
    odml.stdIndexId = FourCC("ix00");
    odml.extensions = {{{FourCC("00db"), Bytes(24, 7)}}};
    const test::BuiltAvi dml = test::BuildAvi(odml);
    test::TestAvi dropped = threeFrames(VideoFormat(16384, 21845, 24), 0);
    dropped.chunks.resize(20, dropped.chunks[0]);
    const Bytes onlyDropped = test::BuildAvi(dropped).bytes;
    // Our own writer's output, which has a dmlh; also the video the dark frames are used on.
    const std::string own = dir.file("own.avi");
    ASSERT_TRUE(test::WriteTestVideo(own, 4, 2, 3));
    const Bytes written = test::ReadFileBytes(own);
    const Bytes mono = test::BuildBmp(test::Bmp(2, 2, 1).Table({0, 0xFFFFFF}).Fill(1));

    const size_t strf = Body(plain.bytes, "strf"), avih = Body(plain.bytes, "avih");
    const size_t strh = Body(plain.bytes, "strh");
    const uint32_t wide = 1u << 16, high = 1u << 15;
    const char* const large = "the picture is larger than 1 GiB";
    const struct {
        const char* what;
        const Bytes& file;
        std::vector<std::pair<size_t, uint32_t>> patches;
        size_t frames;       // read, or 1 for a dark frame loaded
        const char* reason = nullptr;  // null: not refused
    } cases[] = {
        {"2^31 pixels", plain.bytes, {{strf + 4, wide}, {strf + 8, high}}, 0, large},
        {"height of -2^31", plain.bytes, {{strf + 8, 0x80000000u}}, 0, large},
        {"2^31 pixels of MJPG", plain.bytes,
         {{strf + 4, wide}, {strf + 8, high}, {strf + 16, FourCC("MJPG")}}, 0,
         "the picture is larger than 256 MiB"},
        // A few hundred bytes must not make pictures of any size out of nothing.
        {"2^28 pixels in dropped frames only", onlyDropped, {}, 0},
        {"2^32-1 frames in avih and strh", plain.bytes, {{avih + 16, kAll}, {strh + 32, kAll}}, 3},
        {"buffers of 4 GiB", plain.bytes, {{avih + 28, kAll}, {strh + 36, kAll}}, 3},
        {"idx1 of 2^28 entries", plain.bytes, {{plain.idx1Offset + 4, 0xFFFFFFF0u}}, 3},
        {"colour table of 2^32-1 entries", pal, {{Body(pal, "strf") + 32, kAll}}, 3},
        {"super index of 2^32-1 entries", dml.bytes, {{dml.superIndexOffset + 12, kAll}}, 4},
        {"standard index of 2^32-1 entries", dml.bytes, {{dml.stdIndexOffsets[0] + 12, kAll}}, 4},
        {"dmlh of 2^32-1 frames", written, {{Body(written, "dmlh"), kAll}}, 3},
        {"dark frame of 2^31 pixels", mono, {{18, wide}, {22, high}}, 0, large},
        {"dark frame's table of 2^32-1 entries", mono, {{46, kAll}}, 0,
         "the file ends inside the colour table"},
    };
    for (const auto& c : cases) {
        const bool dark = c.file[0] == 'B';
        Bytes bytes = c.file;
        for (auto [at, value] : c.patches) PatchU32(bytes, at, value);
        const std::string path = dir.file(dark ? "dark.bmp" : "in.avi");
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        const int got = test::ExitCodeUnderMemoryLimit(
            kHeadroom, [&] { return ReadAsTheRunDoes(path, dark, c.reason, own); });
        EXPECT_EQ(got, int(c.frames) * 4 + (c.reason ? 1 : 0))
            << c.what << ": frames x 4 + (1: refused for the reason, 2: otherwise); 254: the "
            << "whole run differs; -1: the child aborted";
    }
}

}  // namespace
}  // namespace kestrel
