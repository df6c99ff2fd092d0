// The input video: every frame of the file read as grey, then the whole batch run in colour
// with the corrections on, its output written to a scratch file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/batch.h"
#include "fuzz/fuzz_support.h"
#include "io/frame_source.h"
#include "settings/settings.h"

using namespace kestrel;

namespace {

// Far more than any input within -max_len holds; reaching it means the reader does not end.
constexpr int kMaxFrames = 1 << 20;

void ReadEveryFrameGrey(const std::string& path) {
    Settings s;
    s.InputFile = path;
    std::string message;
    int frames = 0;
    while (ReadNextFrame(s, message)) {
        if (!ImageBuffer().consistent() || ImageBuffer().channels != 1) fuzz::Fail();
        if (++frames > kMaxFrames) fuzz::Fail();
    }
    CloseInputVideo();
}

void RunInColour(const std::string& path, const std::string& output) {
    Settings& s = AppSettings();
    s = Settings{};
    s.InputFile = path;
    s.OutputFile = output;
    s.Colour = 1;
    s.Vert = s.Horiz = s.Stretch = 1;
    fuzz::SilentWindowing w;
    RunBatch(w);
    if (LastRun().framesWritten != w.frames) fuzz::Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = fuzz::ScratchFile("input.avi");
    static const std::string output = fuzz::ScratchFile("output.avi");
    fuzz::WriteScratch(input, data, size);
    ReadEveryFrameGrey(input);
    RunInColour(input, output);
    return 0;
}
