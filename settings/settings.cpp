#include "settings/settings.h"

#include "settings/fields.h"

namespace kestrel {

std::string CutName(std::string_view text) {
    if (text.size() <= kMaxNameChars) return std::string(text);
    auto continuation = [&text](size_t i) { return (uint8_t(text[i]) & 0xC0) == 0x80; };
    size_t n = kMaxNameChars;
    for (int back = 0; back < 3 && n > 0 && continuation(n); ++back) --n;
    if (uint8_t(text[n]) < 0xC0) n = kMaxNameChars;  // no sequence's first byte: nothing split
    return std::string(text.substr(0, n));
}

Settings::Settings() {
    for (const Field& f : kFields) {
        if (f.flag) this->*f.flag = uint8_t(f.start);
        if (f.value) this->*f.value = f.start;
    }
}

Settings& AppSettings() {
    static Settings record;
    return record;
}

}  // namespace kestrel
