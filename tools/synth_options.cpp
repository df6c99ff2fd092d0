#include "tools/synth_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <string_view>

#include "io/frame_sink.h"

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

bool EndsWithNoCase(const std::string& s, std::string_view ending) {
    return s.size() >= ending.size() &&
           std::equal(ending.begin(), ending.end(), s.end() - ptrdiff_t(ending.size()),
                      [](char a, char b) { return a == std::tolower(uint8_t(b)); });
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
           "  --colour, --color  coloured stars and a tinted sky (bgr24, rgb; bayer always)\n"
           "  --format F         bgr24 (default), pal8 (8-bit grey palette; AVI only), y800\n"
           "                     (grey), rgb (SER only) or bayer (a mosaic of the colour sky)\n"
           "  --pattern P        the bayer mosaic: RGGB (default), GRBG, GBRG or BGGR; an AVI\n"
           "                     names it as its FourCC\n"
           "  --seed N           seed of stars, noise and hot pixels (default 1)\n"
           "  --hot-pixels N     number of hot pixels (default width x height / 2000, at least 1)\n"
           "  --output FILE      video file (default sky.avi); a SER file when it ends in .ser\n"
           "  --dark FILE        dark frame, a 24-bit bitmap (default dark.bmp); a dark video in\n"
           "                     the output's format when it ends in .avi or .ser\n"
           "  --dark-frames N    frames of a dark video (default 16)\n"
           "  --no-dark          write no dark frame\n"
           "SER files only:\n"
           "  --bits N           bits per sample, 8 to 16 (default 8); above 8 in two bytes\n"
           "  --byte-order O     of two-byte samples: le (default) or be\n"
           "  --le-flag N        the header's LittleEndian value, 0 (default) or 1, whatever the\n"
           "                     byte order\n"
           "  --no-timestamps    no frame times after the frames\n"
           "  --help             show this text\n";
}

bool IsVideoName(const std::string& path) {
    return WritesSer(path) || EndsWithNoCase(path, ".avi");
}

ParseResult ParseSynthOptions(int argc, char** argv, SynthOptions& o, std::string& error) {
    // Options given that only some files or formats take.
    std::string serOption, darkFramesOption, patternOption;
    StoredLayout pattern = StoredLayout::BayerRggb;
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
        } else if (flag("--no-timestamps")) {
            o.timestamps = false;
            serOption = name;
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
        } else if (takeValue("--dark-frames")) {
            number(1, kMaxFrames, n);
            o.darkFrames = uint32_t(n);
            darkFramesOption = name;
        } else if (takeValue("--bits")) {
            number(8, 16, n);
            o.ser.bits = int32_t(n);
            serOption = name;
        } else if (takeValue("--le-flag")) {
            number(0, 1, n);
            o.ser.leFlag = int32_t(n);
            serOption = name;
        } else if (takeValue("--byte-order")) {
            if (error.empty() && value != "le" && value != "be")
                error = "unknown byte order '" + std::string(value) + "' (le or be)";
            o.ser.bigEndian = value == "be";
            serOption = name;
        } else if (takeValue("--pattern")) {
            Bayer named = Bayer::None;
            for (Bayer b : {Bayer::Rggb, Bayer::Grbg, Bayer::Gbrg, Bayer::Bggr})
                if (value == BayerName(b)) named = b;
            if (error.empty() && named == Bayer::None)
                error = "unknown pattern '" + std::string(value) + "' (RGGB, GRBG, GBRG or BGGR)";
            pattern = LayoutOf(named == Bayer::None ? Bayer::Rggb : named);
            patternOption = name;
        } else if (takeValue("--format")) {
            // In layout order.
            const char* const names[] = {"bgr24", "pal8", "y800", "rgb", "bayer"};
            auto at = std::ranges::find(names, value);
            if (error.empty() && at == std::end(names))
                error =
                    "unknown format '" + std::string(value) + "' (bgr24, pal8, y800, rgb or bayer)";
            o.layout = StoredLayout(at - std::begin(names));
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
    if (IsBayer(o.layout)) {
        o.layout = pattern;
        o.colour = true;
    }
    const bool darkVideo = o.writeDark && IsVideoName(o.dark);
    const bool anySer = WritesSer(o.output) || (darkVideo && WritesSer(o.dark));
    if (o.colour && (o.layout == StoredLayout::Pal8 || o.layout == StoredLayout::Y800))
        error = std::string("--colour needs --format bgr24, rgb or bayer; ") +
                LayoutName(o.layout) + " frames are grey";
    for (const std::string& video : {o.output, darkVideo ? o.dark : o.output}) {
        if (o.layout == StoredLayout::Pal8 && WritesSer(video))
            error = "--format pal8 is for AVI files: " + video;
        if (o.layout == StoredLayout::Rgb24 && !WritesSer(video))
            error = "--format rgb is for SER files (.ser): " + video;
    }
    if (!serOption.empty() && !anySer) error = serOption + " is for SER files (.ser)";
    if (!patternOption.empty() && !IsBayer(o.layout)) error = "--pattern needs --format bayer";
    if (!darkFramesOption.empty() && !darkVideo)
        error = "--dark-frames needs a dark video (--dark ending in .avi or .ser)";
    if (!error.empty()) return ParseResult::Error;
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
