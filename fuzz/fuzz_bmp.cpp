// The dark frame: the bitmap loaded as grey and as colour, then subtracted and its hot pixels
// repaired on a frame of its size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "corrections/dark.h"
#include "fuzz/fuzz_support.h"
#include "io/bitmap.h"
#include "io/dark_frame.h"
#include "settings/settings.h"

using namespace kestrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz::MemoryFile file;
    file.assign(data, size);
    Settings s;
    s.DarkFrame = file.path();
    s.SubDark = s.Hot = 1;
    for (uint8_t colour : {0, 1}) {
        s.Colour = colour;
        Failure failure;
        Image& dark = DarkImage() = Image{-1, -1, 1, {}};
        // A failed load says why and leaves the previous dark frame as it was.
        if (!LoadDarkFrame(s, failure)) {
            if (failure.reason.empty() || dark.width != -1 || !dark.pixels.empty()) fuzz::Fail();
            continue;
        }
        // At least one bit of every pixel is in the file.
        if (!dark.consistent() || dark.width <= 0 || dark.height <= 0 ||
            dark.channels != (colour ? 3 : 1) || uint64_t(dark.width) * dark.height > 8 * size)
            fuzz::Fail();
        Image frame{dark.width, dark.height, dark.channels,
                    std::vector<uint8_t>(dark.pixels.size(), 128)};
        ApplyDarkFrame(frame, dark, s, failure);
        if (failure || !frame.consistent()) fuzz::Fail();
    }
    return 0;
}
