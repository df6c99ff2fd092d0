// The input video: every frame of the file read, in grey or in colour as the input's last byte
// says, and packed as the output stores it. All in memory: the input is a memory file and
// nothing is written, so that a run takes microseconds.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "settings/settings.h"

using namespace kestrel;

// A chunk of a few bytes can make a compressed picture of the largest size, and a small file
// many of them: each takes seconds under the sanitizers. An input is read no further than this
// many pixels, to stay within -timeout.
constexpr uint64_t kPixelBudget = uint64_t(1) << 25;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile input;
    static std::vector<uint8_t> packed;
    input.assign(data, size);
    Settings s;
    s.InputFile = input.path();
    s.Colour = size > 0 && (data[size - 1] & 1);
    Failure failure;
    uint64_t pixels = 0;
    size_t frames = 0;
    while (pixels < kPixelBudget && ReadNextFrame(s, failure)) {
        // Each picture takes a chunk header or an index entry of 8 bytes or more: a reader that
        // gives more pictures than the input has bytes does not end.
        const Image& f = ImageBuffer();
        if (!f.consistent() || f.channels != (s.Colour ? 3 : 1) || ++frames > size) fuzz::Fail();
        if (!PackFrameData(f, packed) || packed.size() % 4) fuzz::Fail();
        pixels += uint64_t(f.width) * uint64_t(f.height);
    }
    if (failure && failure.reason.empty()) fuzz::Fail();  // a refusal says why
    CloseInputVideo();
    return 0;
}
