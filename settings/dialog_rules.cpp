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

// Where the extension of `name` starts: its last "." with no "/" after it; npos when it has none.
size_t ExtensionStart(std::string_view name) {
    size_t dot = name.rfind('.');
    size_t separator = name.rfind('/');
    return separator == std::string_view::npos || dot > separator ? dot : std::string_view::npos;
}

// The extension of a filter's first "*.ext" pattern, or "" when it has none, as "All Files (*)".
std::string_view FilterExtension(std::string_view filter) {
    size_t open = filter.rfind('(');
    size_t star = open == std::string_view::npos ? open : filter.find("*.", open);
    if (star == std::string_view::npos) return {};
    size_t end = filter.find_first_of(" ;)", star);
    return filter.substr(star + 1, end == std::string_view::npos ? end : end - star - 1);
}

bool SameLetters(std::string_view a, std::string_view b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

std::string ForceExtension(const std::string& name, std::string_view extension) {
    std::string result = name.substr(0, ExtensionStart(name));
    result += extension;
    return result;
}

std::string ChosenName(const std::string& name, std::string_view filters, std::string_view selected,
                       std::string_view extension) {
    if (std::string_view forced = FilterExtension(selected); !forced.empty())
        return ForceExtension(name, forced);
    size_t dot = ExtensionStart(name);
    std::string_view own = dot == std::string::npos ? "" : std::string_view(name).substr(dot);
    while (!own.empty() && !filters.empty()) {
        size_t end = filters.find(";;");
        if (SameLetters(own, FilterExtension(filters.substr(0, end)))) return name;
        filters.remove_prefix(end == std::string_view::npos ? filters.size() : end + 2);
    }
    return ForceExtension(name, extension);
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
