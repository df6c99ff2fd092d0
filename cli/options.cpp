#include "cli/options.h"

#include <cstdint>
#include <optional>

namespace kestrel {

namespace {

struct Switch {
    const char* name;
    uint8_t Settings::*field;
};
const Switch kSwitches[] = {
    {"--subtract-dark", &Settings::SubDark}, {"--hot-pixels", &Settings::Hot},
    {"--vertical", &Settings::Vert},         {"--horizontal", &Settings::Horiz},
    {"--stretch", &Settings::Stretch},       {"--colour", &Settings::Colour},
    {"--color", &Settings::Colour},
};

// The same ranges the Advanced Setup dialog keeps.
struct Value {
    const char* name;
    int32_t Settings::*field;
    int32_t min, max;
};
const Value kValues[] = {
    {"--hot-threshold", &Settings::HotThreshold, 0, 255},
    {"--stretch-low", &Settings::StretchLow, 0, 100},
    {"--stretch-high", &Settings::StretchHigh, 0, 100},
    {"--border", &Settings::Border, 0, 100},
    {"--grad-smooth", &Settings::GradSmooth, 0, 50},
    {"--noise-level", &Settings::NoiseLevel, 0, 100},
};

// Plain decimal digits only; anything else, or a number past the range, is refused.
std::optional<int32_t> ParseValue(const std::string& text, int32_t min, int32_t max) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v < min || v > max) return std::nullopt;
    return v;
}

bool NameFits(const std::string& name, const char* what, std::string& error) {
    if (name.size() <= kMaxNameChars) return true;
    error = std::string(what) + " name is longer than " + std::to_string(kMaxNameChars) +
            " characters";
    return false;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, SettingsLoader loadSettings,
                      CommandLine& out, std::string& error) {
    out = CommandLine{};
    std::vector<std::string> positional;
    // Flags are applied after the settings file, whatever their order on the line.
    std::vector<std::pair<std::string, std::string>> flags;

    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "--") {
            positional.insert(positional.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        bool hasInlineValue = false;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInlineValue = true;
        }
        if (arg == "-d") arg = "--dark";
        if (arg == "-y") arg = "--yes";
        if (arg == "-q") arg = "--quiet";

        bool takesValue = arg == "--dark" || arg == "--settings" || arg == "--save-settings";
        for (const Value& v : kValues) takesValue = takesValue || arg == v.name;
        if (takesValue && !hasInlineValue) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!takesValue && hasInlineValue) {
            error = arg + " takes no value";
            return false;
        }

        if (arg == "--help") {
            out.action = CommandLine::Action::Help;
            return true;
        }
        if (arg == "--version") {
            out.action = CommandLine::Action::Version;
            return true;
        }
        if (arg == "--yes") {
            out.assumeYes = true;
        } else if (arg == "--quiet") {
            out.quiet = true;
        } else if (arg == "--settings") {
            out.settingsFile = value;
        } else if (arg == "--save-settings") {
            out.saveSettingsFile = value;
        } else {
            bool known = arg == "--dark";
            for (const Switch& s : kSwitches) known = known || arg == s.name;
            for (const Value& v : kValues) known = known || arg == v.name;
            if (!known) {
                error = "unknown option " + arg;
                return false;
            }
            flags.emplace_back(arg, value);
        }
    }

    if (!out.settingsFile.empty() && !loadSettings(out.settingsFile, out.settings)) {
        error = "can't read settings file " + out.settingsFile;
        return false;
    }

    for (const auto& [name, value] : flags) {
        if (name == "--dark") {
            if (!NameFits(value, "dark frame", error)) return false;
            out.settings.DarkFrame = value;
            continue;
        }
        for (const Switch& s : kSwitches)
            if (name == s.name) out.settings.*s.field = 1;
        for (const Value& v : kValues) {
            if (name != v.name) continue;
            std::optional<int32_t> n = ParseValue(value, v.min, v.max);
            if (!n) {
                error = name + " takes a whole number from " + std::to_string(v.min) + " to " +
                        std::to_string(v.max) + ", not '" + value + "'";
                return false;
            }
            out.settings.*v.field = *n;
        }
    }

    // The names can come from the settings file; on the line they take both places.
    if (positional.size() == 2) {
        if (!NameFits(positional[0], "input", error) || !NameFits(positional[1], "output", error))
            return false;
        out.settings.InputFile = positional[0];
        out.settings.OutputFile = positional[1];
    } else if (!(positional.empty() && !out.settingsFile.empty())) {
        error = positional.size() < 2 ? "missing INPUT and OUTPUT file names"
                                      : "too many file names";
        return false;
    }
    return true;
}

std::string UsageText() {
    return "Usage: kestrel-batch [options] INPUT OUTPUT\n"
           "Corrects every frame of the AVI video INPUT and writes it to OUTPUT as an\n"
           "uncompressed 24-bit AVI file.\n"
           "\n"
           "  -d, --dark FILE        dark frame (a BMP file)\n"
           "      --subtract-dark    subtract the dark frame\n"
           "      --hot-pixels       repair hot pixels found in the dark frame\n"
           "      --vertical         flatten the vertical gradient\n"
           "      --horizontal       flatten the horizontal gradient\n"
           "      --stretch          stretch the histogram of the output\n"
           "      --colour, --color  process colour instead of grey\n"
           "      --hot-threshold N  hot pixel threshold, 0..255 (200)\n"
           "      --stretch-low N    histogram stretch low %, 0..100 (0)\n"
           "      --stretch-high N   histogram stretch high %, 0..100 (100)\n"
           "      --border N         border for analysis, 0..100 (15)\n"
           "      --grad-smooth N    gradient smoothing, 0..50 (5)\n"
           "      --noise-level N    background noise, 0..100 (10)\n"
           "      --settings FILE    start from this settings file instead of the defaults;\n"
           "                         INPUT and OUTPUT may then be left out\n"
           "      --save-settings FILE  write the settings this run used to FILE\n"
           "  -y, --yes              overwrite OUTPUT without asking\n"
           "  -q, --quiet            no progress display and no summary\n"
           "      --help             show this help\n"
           "      --version          show the version\n"
           "\n"
           "Ctrl-C stops at the next frame and completes the output.\n"
           "Exit status: 0 done, 1 an error was reported or overwriting was refused,\n"
           "2 usage error, 130 stopped by Ctrl-C (128 + the signal for a kill or hang-up).\n";
}

}  // namespace kestrel
