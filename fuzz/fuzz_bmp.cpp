// The dark frame: the bitmap loaded as grey and as colour, then subtracted and its hot pixels
// repaired on a frame of its size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "corrections/dark.h"
#include "fuzz/fuzz_support.h"
#include "io/bitmap.h"
#include "settings/settings.h"

using namespace kestrel;

namespace {

void LoadAndApply(const std::string& path, uint8_t colour) {
    Settings s;
    s.DarkFrame = path;
    s.Colour = colour;
    s.SubDark = s.Hot = 1;
    Failure failure;
    const Image before = DarkImage();
    if (!LoadDarkFrame(s, failure)) {
        // A failed load says why and leaves the previous dark frame exactly as it was.
        if (failure.message.empty() || failure.reason.empty() ||
            DarkImage().width != before.width || DarkImage().pixels != before.pixels)
            fuzz::Fail();
        return;
    }
    Image& dark = DarkImage();
    if (!failure.message.empty() || !dark.consistent() || dark.width <= 0 || dark.height <= 0 ||
        dark.channels != (colour ? 3 : 1))
        fuzz::Fail();
    Image frame{dark.width, dark.height, dark.channels, {}};
    frame.pixels.assign(dark.pixels.size(), 128);
    ApplyDarkFrame(frame, dark, s, failure);
    if (!failure.message.empty() || !frame.consistent()) fuzz::Fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::ScratchFile("dark.bmp");
    fuzz::WriteScratch(path, data, size);
    LoadAndApply(path, 0);
    LoadAndApply(path, 1);
    DarkImage() = Image{-1, -1, 1, {}};
    return 0;
}
