// Raw Bayer mosaics: which colour each sample of a 2 x 2 block is, and the tags that say so.
#pragma once

#include <cstdint>
#include <string_view>

#include "io/avi_format.h"

namespace kestrel {

// The colours of the top-left 2 x 2 samples, row by row. None: grey samples, not a mosaic.
enum class Bayer { None, Rggb, Grbg, Gbrg, Bggr };

// FourCCs of raw 8-bit mosaics, stored as grey samples, top row first: the V4L2 codes (of which
// BA81 is BGGR), FFmpeg's own raw tags (0xBA, the first two colours, 8 bits), and The Imaging
// Source's BY8, which names no pattern.
struct BayerTag {
    uint32_t fourcc;
    Bayer pattern;
};
constexpr BayerTag kBayerTags[] = {
    {FourCC("RGGB"), Bayer::Rggb},
    {FourCC("GRBG"), Bayer::Grbg},
    {FourCC("GBRG"), Bayer::Gbrg},
    {FourCC("BGGR"), Bayer::Bggr},
    {FourCC("BA81"), Bayer::Bggr},
    {FourCC(char(0xBA), 'R', 'G', char(8)), Bayer::Rggb},
    {FourCC(char(0xBA), 'G', 'R', char(8)), Bayer::Grbg},
    {FourCC(char(0xBA), 'G', 'B', char(8)), Bayer::Gbrg},
    {FourCC(char(0xBA), 'B', 'G', char(8)), Bayer::Bggr},
    {FourCC("BY8 "), Bayer::None},
};

constexpr const BayerTag* FindBayerTag(uint32_t fourcc) {
    for (const BayerTag& t : kBayerTags)
        if (t.fourcc == fourcc) return &t;
    return nullptr;
}
// The pattern a FourCC or a SER ColorID (8 to 11) names; None when it names none.
constexpr Bayer BayerOfFourCC(uint32_t fourcc) {
    const BayerTag* t = FindBayerTag(fourcc);
    return t ? t->pattern : Bayer::None;
}
constexpr Bayer BayerOfSerColour(int32_t colorId) {
    return colorId >= 8 && colorId <= 11 ? Bayer(colorId - 7) : Bayer::None;
}
// And back, for writers: the SER ColorID and the FourCC that name a pattern.
constexpr int32_t SerColourOfBayer(Bayer bayer) { return int32_t(bayer) + 7; }
constexpr uint32_t BayerFourCC(Bayer bayer) {
    for (const BayerTag& t : kBayerTags)
        if (t.pattern == bayer) return t.fourcc;
    return 0;
}

// "RGGB" and the like, "none" for None.
const char* BayerName(Bayer bayer);
// "RGGB" and the like, any case, and "none"; false for any other text.
bool ParseBayer(std::string_view text, Bayer& bayer);

}  // namespace kestrel
