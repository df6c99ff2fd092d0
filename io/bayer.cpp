#include "io/bayer.h"

#include <cctype>
#include <cstring>
#include <iterator>

namespace kestrel {

namespace {

// In the order of the enum.
constexpr const char* kNames[] = {"none", "RGGB", "GRBG", "GBRG", "BGGR"};

}  // namespace

const char* BayerName(Bayer bayer) { return kNames[int(bayer)]; }

bool ParseBayer(std::string_view text, Bayer& bayer) {
    for (int b = 0; b < int(std::size(kNames)); ++b) {
        const char* name = kNames[b];
        if (text.size() != std::strlen(name)) continue;
        bool same = true;
        for (size_t i = 0; i < text.size(); ++i)
            same = same && std::tolower(uint8_t(text[i])) == std::tolower(uint8_t(name[i]));
        if (same) {
            bayer = Bayer(b);
            return true;
        }
    }
    return false;
}

}  // namespace kestrel
