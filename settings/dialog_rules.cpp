#include "settings/dialog_rules.h"

namespace kestrel {

namespace {

bool ReadUnsigned(std::string_view text, uint32_t& number) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) return false;
    uint64_t n = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        n = n * 10 + uint64_t(c - '0');
        if (n > 0xFFFFFFFFu) return false;
    }
    number = uint32_t(n);
    return true;
}

}  // namespace

std::string ForceExtension(const std::string& name, std::string_view extension) {
    size_t dot = name.rfind('.');
    size_t separator = name.rfind('/');
    bool hasExtension = dot != std::string::npos &&
                        (separator == std::string::npos || separator < dot);
    std::string result = hasExtension ? name.substr(0, dot) : name;
    result += extension;
    return result;
}

void ClampedRead(std::string_view text, int32_t minimum, int32_t maximum, int32_t& value) {
    uint32_t number = 0;
    if (!ReadUnsigned(text, number)) return;
    int32_t v = int32_t(number);  // 2147483648 and above come out negative
    if (v < minimum) v = minimum;
    if (v > maximum) v = maximum;
    value = v;
}

std::string UnsignedText(int32_t value) { return std::to_string(uint32_t(value)); }

const std::string& AdvancedHelpText() {
    static const std::string text =
        "Hot pixel threshold: Pixels brighter than this value in the dark frame will be assumed "
        "to be hot pixels. Corresponding pixels in the image will be replaced with a local "
        "average value.\n\n"
        "Histog. stretch: Brightness levels will be stretched so that <low>% of the pixels "
        "become black and <high>% become saturated.\n\n"
        "Border: Pixels within the border are ignored when analysing image for gradients and "
        "stretching.\n\n"
        "Gradient Smoothing: Sets how smooth the gradients are assumed to be.\n\n"
        "Background Noise: Values more than this level higher than the background will be "
        "ignored when calculating gradients.";
    return text;
}

}  // namespace kestrel
