#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>
#include <numeric>
#include <optional>

#include "settings/fields.h"

namespace kestrel {

namespace {

// The field that `arg` names by its option or the other spelling of it.
const Field* FieldOfOption(const std::string& arg) {
    for (const Field& f : kFields)
        if (f.option && (arg == f.option || (f.alias && arg == f.alias))) return &f;
    return nullptr;
}

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

bool NameFits(const std::string& name, const std::string& what, std::string& error) {
    if (name.size() <= kMaxNameChars) return true;
    error = what + " name is longer than " + std::to_string(kMaxNameChars) +
            " characters";
    return false;
}

// "25", "29.97" or "30000/1001" as AVI's rate and scale, at most 10000 frames a second.
bool ParseFrameRate(const std::string& text, uint32_t& rate, uint32_t& scale) {
    uint64_t num = 0, den = 1;
    size_t i = 0, digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 9; ++i, ++digits)
        num = num * 10 + uint64_t(text[i] - '0');
    if (digits == 0) return false;
    if (i < text.size() && text[i] == '.') {
        for (++i, digits = 0; i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3;
             ++i, ++digits) {
            num = num * 10 + uint64_t(text[i] - '0');
            den *= 10;
        }
        if (digits == 0) return false;
    } else if (i < text.size() && text[i] == '/') {
        std::optional<int32_t> d = ParseValue(text.substr(i + 1), 1, 999999999);
        if (!d) return false;
        den = uint64_t(*d);
        i = text.size();
    }
    if (i != text.size() || num == 0 || num > 10000 * den) return false;
    const uint64_t g = std::gcd(num, den);
    rate = uint32_t(num / g);
    scale = uint32_t(den / g);
    return true;
}

// The options about inputs whose headers do not tell; false with `error` for a bad value.
bool ParseInputOption(const std::string& arg, const std::string& value, InputOptions& in,
                      std::string& error) {
    bool ok = true;
    if (arg == "--bayer") {
        Bayer b = Bayer::None;
        ok = ParseBayer(value, b);
        in.bayer = b;
    } else if (arg == "--byte-order") {
        ok = value == "le" || value == "be";
        in.byteOrder = value == "be" ? ByteOrder::Big : ByteOrder::Little;
    } else if (arg == "--bit-depth") {
        std::optional<int32_t> n = ParseValue(value, 1, 16);
        ok = n.has_value();
        in.bitDepth = n.value_or(0);
    } else {
        ok = ParseFrameRate(value, in.fpsRate, in.fpsScale);
    }
    if (!ok)
        error = arg + " takes " +
                (arg == "--bayer"        ? "RGGB, GRBG, GBRG, BGGR or none"
                 : arg == "--byte-order" ? "le or be"
                 : arg == "--bit-depth"  ? "a whole number from 1 to 16"
                                         : "a frame rate such as 25, 29.97 or 30000/1001") +
                ", not '" + value + "'";
    return ok;
}

constexpr const char* kInputOptions[] = {"--bayer", "--byte-order", "--bit-depth", "--fps"};

// "  -d, --dark FILE        dark frame (a BMP file)": the description from column 25 on.
std::string HelpLine(const Field& f) {
    const bool shortAlias = f.alias && f.alias[1] != '-';
    std::string line = shortAlias ? "  " + std::string(f.alias) + ", " : std::string(6, ' ');
    line += f.option;
    if (f.alias && !shortAlias) line += std::string(", ") + f.alias;
    line += f.name ? " FILE" : f.value ? " N" : "";
    line.resize(std::max(line.size(), size_t(23)), ' ');
    line += std::string("  ") + f.help;
    if (f.value)
        line += ", " + std::to_string(f.minimum) + ".." + std::to_string(f.maximum) + " (" +
                std::to_string(f.start) + ")";
    return line + '\n';
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, SettingsLoader loadSettings,
                      CommandLine& out, std::string& error) {
    out = CommandLine{};
    std::vector<std::string> positional;
    // Flags are applied after the settings file, whatever their order on the line.
    struct Flag {
        const Field* field;
        std::string arg, value;
    };
    std::vector<Flag> flags;

    std::vector<std::string> line = args;
    for (size_t i = 0; i < line.size(); ++i) {
        // Grouped short flags ("-qy") are taken one by one; a short option that takes a value
        // takes the rest of the group ("-dfile.bmp").
        if (line[i].size() > 2 && line[i][0] == '-' && line[i][1] != '-') {
            const std::string group = line[i];
            std::vector<std::string> pieces;
            for (size_t k = 1; k < group.size(); ++k) {
                pieces.push_back({'-', group[k]});
                const Field* field = FieldOfOption(pieces.back());
                if (field && !field->flag) {
                    if (k + 1 < group.size()) pieces.push_back(group.substr(k + 1));
                    break;
                }
            }
            line.erase(line.begin() + long(i));
            line.insert(line.begin() + long(i), pieces.begin(), pieces.end());
        }
        std::string arg = line[i];
        if (arg == "--") {
            positional.insert(positional.end(), line.begin() + long(i) + 1, line.end());
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
        // A short form is its long one, in messages too.
        const Field* field = FieldOfOption(arg);
        if (field && arg[1] != '-') arg = field->option;
        if (arg == "-y") arg = "--yes";
        if (arg == "-q") arg = "--quiet";
        if (arg == "-h") arg = "--help";

        const bool inputOption = std::find(std::begin(kInputOptions), std::end(kInputOptions),
                                           arg) != std::end(kInputOptions);
        bool takesValue = arg == "--settings" || arg == "--save-settings" || arg == "--save-dark" ||
                          inputOption || (field && !field->flag);
        if (takesValue && !hasInlineValue) {
            if (i + 1 >= line.size()) {
                error = arg + " needs a value";
                return false;
            }
            value = line[++i];
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
        } else if (arg == "--save-dark") {
            out.saveDarkFile = value;
        } else if (inputOption) {
            if (!ParseInputOption(arg, value, out.input, error)) return false;
        } else if (field) {
            flags.push_back({field, arg, value});
            if (field->name == &Settings::DarkFrame) out.darkNamed = true;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }

    if (std::string why;
        !out.settingsFile.empty() && !loadSettings(out.settingsFile, out.settings, why)) {
        error = "can't read settings file " + out.settingsFile + ": " + why;
        return false;
    }

    for (const auto& [f, name, value] : flags) {
        if (f->name) {
            // "Dark frame" names itself "dark frame" in the middle of a message.
            std::string what = f->label;
            what[0] = char(std::tolower(uint8_t(what[0])));
            if (!NameFits(value, what, error)) return false;
            out.settings.*f->name = value;
        } else if (f->flag) {
            out.settings.*f->flag = 1;
        } else {
            std::optional<int32_t> n = ParseValue(value, f->minimum, f->maximum);
            if (!n) {
                error = name + " takes a whole number from " + std::to_string(f->minimum) +
                        " to " + std::to_string(f->maximum) + ", not '" + value + "'";
                return false;
            }
            out.settings.*f->value = *n;
        }
    }

    // The names can come from the settings file; on the line they take both places.
    if (positional.size() == 2) {
        if (!NameFits(positional[0], "input", error) || !NameFits(positional[1], "output", error))
            return false;
        out.settings.InputFile = positional[0];
        out.settings.OutputFile = positional[1];
    } else if (!(positional.empty() && !out.settingsFile.empty())) {
        error = positional.empty()       ? "missing INPUT and OUTPUT file names"
                : positional.size() == 1 ? "missing OUTPUT file name after " + positional[0]
                                         : "too many file names";
        return false;
    }
    return true;
}

std::string UsageText() {
    std::string text =
        "Usage: kestrel-batch [options] INPUT OUTPUT\n"
        "Corrects every frame of the AVI or SER video INPUT and writes it to OUTPUT as an\n"
        "uncompressed 24-bit AVI file, or as an 8-bit SER file when OUTPUT ends in .ser.\n"
        "\n";
    for (int line = 1;; ++line) {
        auto f = std::find_if(std::begin(kFields), std::end(kFields),
                              [line](const Field& f) { return f.helpLine == line; });
        if (f == std::end(kFields)) break;
        text += HelpLine(*f);
    }
    return text +
           "      --bayer PATTERN    the input is a raw colour mosaic: RGGB, GRBG, GBRG or\n"
           "                         BGGR; none keeps a mosaic as grey samples (found from\n"
           "                         the SER header or the AVI FourCC when left out)\n"
           "      --byte-order le|be  of 16-bit SER samples (found from the data when left out)\n"
           "      --bit-depth N      bits a SER sample really uses, 1..16 (the header's)\n"
           "      --fps RATE         frame rate of OUTPUT, such as 25, 29.97 or 30000/1001\n"
           "                         (the input's; for SER its timestamps', else 25)\n"
           "      --save-dark FILE   write the dark frame the run used to FILE as a bitmap\n"
           "                         (the average of a dark video's frames)\n"
           "      --settings FILE    start from this settings file instead of the defaults;\n"
           "                         INPUT and OUTPUT may then be left out\n"
           "      --save-settings FILE  write the settings this run used to FILE\n"
           "  -y, --yes              overwrite OUTPUT without asking\n"
           "  -q, --quiet            no progress display and no summary\n"
           "  -h, --help             show this help\n"
           "      --version          show the version\n"
           "\n"
           "Ctrl-C stops at the next frame and completes the output; a third Ctrl-C ends\n"
           "at once, leaving OUTPUT as it was.\n"
           "Exit status: 0 done; 1 an error was reported, no frame was written or\n"
           "overwriting was refused; 2 usage error; 3 the input ended before the length\n"
           "its header announces; 130 stopped by Ctrl-C (128 + the signal for a kill or\n"
           "hang-up).\n";
}

}  // namespace kestrel
