// SER files through the frame source and the dark-frame loader: every frame read under options
// taken from the input's last byte (colour, Bayer pattern, byte order, depth), then the file
// averaged as a dark video. In memory, like fuzz_avi.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "io/dark_frame.h"
#include "io/frame_sink.h"
#include "io/frame_source.h"
#include "settings/settings.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile input;
    static std::vector<uint8_t> packed;
    input.assign(data, size);
    const uint8_t last = size > 0 ? data[size - 1] : 0;
    InputOptions options;
    constexpr Bayer kPatterns[] = {Bayer::None, Bayer::Rggb, Bayer::Bggr};
    if (last & 6) options.bayer = kPatterns[(last >> 1 & 3) % 3];
    options.byteOrder = ByteOrder((last >> 3 & 3) % 3);
    options.bitDepth = last >> 5 ? 9 + (last >> 5) : 0;
    SetInputOptions(options);
    Settings s;
    s.InputFile = s.DarkFrame = input.path();
    s.Colour = last & 1;
    Failure failure;
    size_t frames = 0;
    while (ReadNextFrame(s, failure)) {
        // Every SER frame is at least a byte of the file.
        const Image& f = ImageBuffer();
        if (!f.consistent() || f.channels != (s.Colour ? 3 : 1) || ++frames > size) fuzz::Fail();
        if (!PackFrameData(f, packed)) fuzz::Fail();
    }
    if (failure && failure.reason.empty()) fuzz::Fail();  // a refusal says why
    CloseInputVideo();
    if (LoadDarkFrame(s, failure)) {
        const Image& d = DarkImage();
        if (!d.consistent() || d.channels != (s.Colour ? 3 : 1)) fuzz::Fail();
    } else if (failure.reason.empty()) {
        fuzz::Fail();
    }
    return 0;
}
