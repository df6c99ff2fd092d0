// The input video: every frame of the file read as grey, then the whole batch run in colour
// with the corrections on, its output written to a scratch file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "io/frame_source.h"
#include "run/batch.h"
#include "settings/settings.h"

using namespace kestrel;

// A chunk of a few bytes can make a compressed picture of the largest size, and a small file
// many of them: each takes seconds under the sanitizers. An input is read no further than this
// many pixels, and then not run, to stay within -timeout.
constexpr uint64_t kPixelBudget = uint64_t(1) << 25;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = fuzz::ScratchFile("input.avi");
    fuzz::WriteScratch(input, data, size);
    Settings& s = AppSettings();
    s.InputFile = input;
    s.OutputFile = fuzz::ScratchFile("output.avi");
    s.Colour = 0;
    Failure failure;
    uint64_t pixels = 0;
    int32_t frames = 0;
    while (pixels < kPixelBudget && ReadNextFrame(s, failure)) {
        // Each picture takes a chunk header or an index entry of 8 bytes or more: a reader that
        // gives more pictures than the input has bytes does not end.
        const Image& f = ImageBuffer();
        if (!f.consistent() || f.channels != 1 || size_t(++frames) > size) fuzz::Fail();
        pixels += uint64_t(f.width) * uint64_t(f.height);
    }
    if (!failure.message.empty() && failure.reason.empty()) fuzz::Fail();  // a refusal says why
    CloseInputVideo();
    if (pixels >= kPixelBudget) return 0;
    // The same frames in colour, each corrected, shown and written.
    s.Colour = s.Vert = s.Horiz = s.Stretch = 1;
    fuzz::SilentWindowing w;
    RunBatch(w);
    if (w.frames != frames || LastRun().framesWritten != frames) fuzz::Fail();
    return 0;
}
