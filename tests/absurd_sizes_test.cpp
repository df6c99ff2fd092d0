// Headers that announce absurd sizes where the file's own chunks tell the truth (2^32 frames,
// buffers of 4 GiB, tables and indexes of 2^32 entries, dropped frames of 2^28 pixels alone) are
// read, and run, as what the file holds, in a child process with little address space to spare,
// where a reader that believed one would fail. Sizes that are refused: decode_test.
#include <gtest/gtest.h>

#include <cstring>

#include "io/frame_source.h"
#include "run/batch.h"
#include "support/files.h"
#include "support/process.h"
#include "support/riff_builder.h"
#include "support/scripted_windowing.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

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

// Runs in the child: the frames read in colour; then the whole run, which must write as many and
// show no message (254 when it does not, or the read ends in one).
int ReadAsTheRunDoes(const std::string& path) {
    Settings& s = AppSettings();  // only ever set in a child
    s.InputFile = path;
    s.OutputFile = path + ".out.avi";
    s.Colour = 1;
    Failure failure;
    int frames = 0;
    while (frames < 60 && ReadNextFrame(s, failure)) ++frames;
    CloseInputVideo();
    test::ScriptedWindowing w;
    RunBatch(w);
    for (const std::string& line : w.log)
        if (line.starts_with("box Error")) return 254;
    return !failure && LastRun().framesWritten == frames ? frames : 254;
}

TEST(AbsurdSizes, AreReadAsWhatTheFileHolds) {
    // Seeds of the fuzz corpus: FFmpeg's of 3 frames with idx1 alone, Kestrel's of 4 frames with
    // a dmlh and OpenDML indexes, and one of 3 palette pictures.
    const std::string corpus = KESTREL_FUZZ_CORPUS "/fuzz_avi/";
    const Bytes plain = test::ReadFileBytes(corpus + "ffmpeg-bgr24.avi");
    const Bytes own = test::ReadFileBytes(corpus + "kestrel-output.avi");
    const Bytes pal = test::ReadFileBytes(corpus + "synth-pal8.avi");
    test::TestAvi dropped;
    dropped.streams = {test::VideoStream(test::VideoFormat(16384, 21845, 24))};
    dropped.chunks.assign(20, {FourCC("00db"), {}});
    const Bytes onlyDropped = test::BuildAvi(dropped).bytes;

    const size_t avih = Body(plain, "avih"), strh = Body(plain, "strh");
    const struct {
        const char* what;
        const Bytes& file;
        std::vector<std::pair<size_t, uint32_t>> patches;
        int frames;
    } cases[] = {
        // A few hundred bytes must not make pictures of any size out of nothing.
        {"2^28 pixels in dropped frames only", onlyDropped, {}, 0},
        {"2^32-1 frames in avih and strh", plain, {{avih + 16, kAll}, {strh + 32, kAll}}, 3},
        {"buffers of 4 GiB", plain, {{avih + 28, kAll}, {strh + 36, kAll}}, 3},
        {"idx1 of 2^28 entries", plain, {{Body(plain, "idx1") - 4, 0xFFFFFFF0u}}, 3},
        {"colour table of 2^32-1 entries", pal, {{Body(pal, "strf") + 32, kAll}}, 3},
        {"super index of 2^32-1 entries", own, {{Body(own, "indx") + 4, kAll}}, 4},
        {"standard index of 2^32-1 entries", own, {{Body(own, "ix00") + 4, kAll}}, 4},
        {"dmlh of 2^32-1 frames", own, {{Body(own, "dmlh"), kAll}}, 4},
    };
    const test::TempDir dir;
    const std::string path = dir.file("in.avi");
    for (const auto& c : cases) {
        Bytes bytes = c.file;
        for (auto [at, value] : c.patches) PatchU32(bytes, at, value);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        EXPECT_EQ(test::ExitCodeUnderMemoryLimit(kHeadroom, [&] { return ReadAsTheRunDoes(path); }),
                  c.frames)
            << c.what << ": the frames read; 254: a message, or the run differs; -1: the child "
            << "aborted";
    }
}

}  // namespace
}  // namespace kestrel
