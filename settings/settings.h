// The user's parameters: one process-wide record, read by the batch run and the corrections,
// edited by the dialogs and the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

// File names are kept to what a 260-character buffer with its terminator holds.
constexpr size_t kMaxNameChars = 259;

struct Settings {
    std::string InputFile;
    std::string OutputFile;
    std::string DarkFrame;
    // Switches hold 0 or 1.
    uint8_t SubDark = 0;
    uint8_t Hot = 0;
    uint8_t Horiz = 0;
    uint8_t Vert = 0;
    uint8_t Stretch = 0;
    uint8_t Colour = 0;
    // Ranges are enforced only by the Advanced Setup dialog and the command line; a value read
    // from a settings file is used as it stands, so every user of these must stay safe with any.
    int32_t HotThreshold = 200;
    int32_t StretchLow = 0;
    int32_t StretchHigh = 100;
    int32_t Border = 15;
    int32_t GradSmooth = 5;
    int32_t NoiseLevel = 10;

    bool operator==(const Settings&) const = default;
};

// The process-wide record, at its start values until something loads it.
Settings& AppSettings();

}  // namespace kestrel
