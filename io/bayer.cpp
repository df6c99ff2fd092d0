#include "io/bayer.h"

#include <cctype>
#include <cstring>

namespace kestrel {

namespace {

struct Named {
    const char* name;
    Bayer bayer;
};
constexpr Named kNames[] = {{"none", Bayer::None}, {"rggb", Bayer::Rggb}, {"grbg", Bayer::Grbg},
                            {"gbrg", Bayer::Gbrg}, {"bggr", Bayer::Bggr}};

}  // namespace

bool ParseBayer(std::string_view text, Bayer& bayer) {
    for (const Named& n : kNames) {
        if (text.size() != std::strlen(n.name)) continue;
        bool same = true;
        for (size_t i = 0; i < text.size(); ++i)
            same = same && std::tolower(uint8_t(text[i])) == n.name[i];
        if (same) {
            bayer = n.bayer;
            return true;
        }
    }
    return false;
}

}  // namespace kestrel
