// The fields of the Settings record, each once: where Kestrel.ini keeps it, what it starts as,
// and what the dialogs and kestrel-batch call it. Everything that handles the fields one by one
// loops over this table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings/settings.h"

namespace kestrel {

// A row points at exactly one member; which one makes it a name, a switch or a value.
struct Field {
    const char* key = nullptr;  // in the section of its kind, see SectionOf
    std::string Settings::*name = nullptr;
    uint8_t Settings::*flag = nullptr;
    int32_t Settings::*value = nullptr;
    // Switches and values: the start value, also taken for a missing key and by Reset.
    int32_t start = 0;
    // Values: the range that the Advanced Setup dialog and the command line keep.
    int32_t minimum = 0;
    int32_t maximum = 0;
    // Names: a missing key names this file in the home folder.
    const char* defaultFile = nullptr;
    // In the Setup dialog (names, switches) or the Advanced Setup dialog (values).
    const char* label = nullptr;
    // kestrel-batch: the option, another spelling of it ("-x" is shown before it in --help,
    // "--y" after it), the text of its --help line (a value's range and start follow it) and
    // that line's place among the settings' lines. The input and output names are positional.
    const char* option = nullptr;
    const char* alias = nullptr;
    const char* help = nullptr;
    int helpLine = 0;
};

// In the order of the keys in a new Kestrel.ini.
inline constexpr Field kFields[] = {
    {.key = "InputFile", .name = &Settings::InputFile, .defaultFile = "Input.AVI",
     .label = "Input file"},
    {.key = "OutputFile", .name = &Settings::OutputFile, .defaultFile = "Output.AVI",
     .label = "Output file"},
    {.key = "DarkFrame", .name = &Settings::DarkFrame, .defaultFile = "Dark.BMP",
     .label = "Dark frame", .option = "--dark", .alias = "-d",
     .help = "dark frame: a BMP file, or a dark AVI or SER video",
     .helpLine = 1},

    {.key = "SubDark", .flag = &Settings::SubDark, .label = "Subtract Darkframe",
     .option = "--subtract-dark", .help = "subtract the dark frame", .helpLine = 2},
    {.key = "Hot", .flag = &Settings::Hot, .label = "Correct Hot Pixels",
     .option = "--hot-pixels", .help = "repair hot pixels found in the dark frame", .helpLine = 3},
    {.key = "Horiz", .flag = &Settings::Horiz, .label = "Horizontal Gradient",
     .option = "--horizontal", .help = "flatten the horizontal gradient", .helpLine = 5},
    {.key = "Vert", .flag = &Settings::Vert, .label = "Vertical Gradient",
     .option = "--vertical", .help = "flatten the vertical gradient", .helpLine = 4},
    {.key = "Stretch", .flag = &Settings::Stretch, .label = "Stretch Output",
     .option = "--stretch", .help = "stretch the histogram of the output", .helpLine = 6},
    {.key = "Colour", .flag = &Settings::Colour, .label = "Colour", .option = "--colour",
     .alias = "--color", .help = "process colour instead of grey", .helpLine = 7},

    {.key = "HotThreshold", .value = &Settings::HotThreshold, .start = 200, .maximum = 255,
     .label = "Hot pixel threshold:", .option = "--hot-threshold",
     .help = "hot pixel threshold", .helpLine = 8},
    {.key = "StretchLow", .value = &Settings::StretchLow, .start = 0, .maximum = 100,
     .label = "Histog. stretch low %", .option = "--stretch-low",
     .help = "histogram stretch low %", .helpLine = 9},
    {.key = "StretchHigh", .value = &Settings::StretchHigh, .start = 100, .maximum = 100,
     .label = "Histog. stretch high %", .option = "--stretch-high",
     .help = "histogram stretch high %", .helpLine = 10},
    {.key = "Border", .value = &Settings::Border, .start = 15, .maximum = 100,
     .label = "Border for analysis:", .option = "--border", .help = "border for analysis",
     .helpLine = 11},
    {.key = "GradSmooth", .value = &Settings::GradSmooth, .start = 5, .maximum = 50,
     .label = "Gradient smoothing:", .option = "--grad-smooth", .help = "gradient smoothing",
     .helpLine = 12},
    {.key = "NoiseLevel", .value = &Settings::NoiseLevel, .start = 10, .maximum = 100,
     .label = "Background noise:", .option = "--noise-level", .help = "background noise",
     .helpLine = 13},
};

constexpr const char* SectionOf(const Field& f) {
    return f.name ? "Filenames" : f.flag ? "Flags" : "Values";
}

// Mistakes in a row that nothing else would notice until a user did: a row copied from
// another and not wholly changed, a start outside its range, a gap in the --help lines.
constexpr bool RowsAreWellFormed() {
    auto Same = [](const char* a, const char* b) {
        return a && b && std::string_view(a) == std::string_view(b);
    };
    int options = 0;
    for (const Field& f : kFields) {
        if ((f.name != nullptr) + (f.flag != nullptr) + (f.value != nullptr) != 1) return false;
        if (f.value && (f.start < f.minimum || f.start > f.maximum)) return false;
        if (f.flag && f.start != 0 && f.start != 1) return false;
        if (!f.label || !f.name != !f.defaultFile || !f.option != !f.help) return false;
        if (!f.option != (f.helpLine == 0)) return false;
        for (const Field& g : kFields) {
            if (&g == &f) continue;
            if ((f.name && f.name == g.name) || (f.flag && f.flag == g.flag) ||
                (f.value && f.value == g.value) || Same(f.key, g.key) || Same(f.label, g.label) ||
                Same(f.option, g.option) || Same(f.alias, g.alias) || Same(f.option, g.alias) ||
                Same(f.help, g.help) || (f.helpLine && f.helpLine == g.helpLine))
                return false;
        }
        options += f.option != nullptr;
    }
    for (const Field& f : kFields)
        if (f.helpLine > options) return false;  // with no line twice: 1, 2, ... each once
    return true;
}
static_assert(RowsAreWellFormed());

}  // namespace kestrel
