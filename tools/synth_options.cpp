#include "tools/synth_options.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace kestrel::synth {
namespace {

// Decimal digits only: no sign, no spaces, no trailing text.
bool ParseNumber(std::string_view text, uint64_t lo, uint64_t hi, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && value >= lo && value <= hi;
}

}  // namespace

const char* SynthUsage() {
    return "Usage: kestrel-synth [options]\n"
           "Writes a synthetic long-exposure sky video and its dark frame.\n"
           "\n"
           "  --width N          frame width in pixels (default 320)\n"
           "  --height N         frame height in pixels (default 240)\n"
           "  --frames N         number of frames (default 50)\n"
           "  --fps N            frames per second (default 25)\n"
           "  --colour, --color  coloured stars and a tinted sky (bgr24 only)\n"
           "  --format F         bgr24 (default), pal8 (8-bit grey palette) or y800\n"
           "  --seed N           seed of stars, noise and hot pixels (default 1)\n"
           "  --hot-pixels N     number of hot pixels (default width x height / 2000, at least 1)\n"
           "  --output FILE      video file (default sky.avi)\n"
           "  --dark FILE        dark frame, a 24-bit bitmap (default dark.bmp)\n"
           "  --no-dark          write no dark frame\n"
           "  --help             show this text\n";
}

ParseResult ParseSynthOptions(int argc, char** argv, SynthOptions& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view name = arg;
        std::string_view value;
        bool hasValue = false;
        if (size_t eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        auto flag = [&](std::string_view n) {
            if (name != n) return false;
            if (hasValue) error = std::string(n) + " takes no value";
            return true;
        };
        auto takeValue = [&](std::string_view n) {
            if (name != n) return false;
            if (!hasValue) {
                if (i + 1 >= argc) {
                    error = std::string(n) + " needs a value";
                    return true;
                }
                value = argv[++i];
            }
            return true;
        };
        auto number = [&](uint64_t lo, uint64_t hi, uint64_t& out) {
            if (!error.empty()) return;
            if (!ParseNumber(value, lo, hi, out))
                error = "bad value for " + std::string(name) + ": '" + std::string(value) +
                        "' (a whole number from " + std::to_string(lo) + " to " +
                        std::to_string(hi) + ")";
        };
        uint64_t n = 0;
        if (flag("--help")) {
            if (error.empty()) return ParseResult::Help;
        } else if (flag("--colour") || flag("--color")) {
            o.colour = true;
        } else if (flag("--no-dark")) {
            o.writeDark = false;
        } else if (takeValue("--width")) {
            number(1, kMaxSide, n);
            o.width = int32_t(n);
        } else if (takeValue("--height")) {
            number(1, kMaxSide, n);
            o.height = int32_t(n);
        } else if (takeValue("--frames")) {
            number(0, kMaxFrames, n);
            o.frames = uint32_t(n);
        } else if (takeValue("--fps")) {
            number(1, kMaxFps, n);
            o.fps = uint32_t(n);
        } else if (takeValue("--seed")) {
            number(0, UINT64_MAX, n);
            o.seed = n;
        } else if (takeValue("--hot-pixels")) {
            number(0, uint64_t(kMaxSide) * kMaxSide, n);
            o.hotPixels = int64_t(n);
        } else if (takeValue("--format")) {
            if (!error.empty()) {
            } else if (value == "bgr24") {
                o.layout = StoredLayout::Bgr24;
            } else if (value == "pal8") {
                o.layout = StoredLayout::Pal8;
            } else if (value == "y800") {
                o.layout = StoredLayout::Y800;
            } else {
                error = "unknown format '" + std::string(value) + "' (bgr24, pal8 or y800)";
            }
        } else if (takeValue("--output")) {
            if (error.empty() && value.empty()) error = "--output needs a file name";
            o.output = value;
        } else if (takeValue("--dark")) {
            if (error.empty() && value.empty()) error = "--dark needs a file name";
            o.dark = value;
        } else if (arg.starts_with("-")) {
            error = "unknown option '" + std::string(arg) + "'";
        } else {
            error = "unexpected argument '" + std::string(arg) + "'";
        }
        if (!error.empty()) return ParseResult::Error;
    }
    if (o.colour && o.layout != StoredLayout::Bgr24) {
        error = std::string("--colour needs --format bgr24; ") + LayoutName(o.layout) +
                " frames are grey";
        return ParseResult::Error;
    }
    if (o.hotPixels > int64_t(o.width) * o.height) {
        error = "--hot-pixels " + std::to_string(o.hotPixels) + " is more than the " +
                std::to_string(int64_t(o.width) * o.height) + " pixels of a frame";
        return ParseResult::Error;
    }
    if (o.writeDark && o.dark == o.output) {
        error = "--dark and --output name the same file";
        return ParseResult::Error;
    }
    return ParseResult::Run;
}

int64_t HotPixelCount(const SynthOptions& o) {
    if (o.hotPixels >= 0) return o.hotPixels;
    return std::max<int64_t>(1, int64_t(o.width) * o.height / 2000);
}

}  // namespace kestrel::synth
