// The user's parameters: one process-wide record, read by the batch run and the corrections,
// edited by the dialogs and the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// What a 260-character buffer with its terminator holds: the longest file name kept, and the
// longest value the settings file gives.
constexpr size_t kMaxNameChars = 259;

// `text` cut to kMaxNameChars bytes, one to three fewer when the cut would split a UTF-8
// sequence.
std::string CutName(std::string_view text);

struct Settings {
    // Every field at its start value from the field table (settings/fields.h).
    Settings();

    std::string InputFile;
    std::string OutputFile;
    std::string DarkFrame;
    // Switches hold 0 or 1.
    uint8_t SubDark;
    uint8_t Hot;
    uint8_t Horiz;
    uint8_t Vert;
    uint8_t Stretch;
    uint8_t Colour;
    // Ranges are enforced only by the Advanced Setup dialog and the command line; a value read
    // from a settings file is used as it stands, so every user of these must stay safe with any.
    int32_t HotThreshold;
    int32_t StretchLow;
    int32_t StretchHigh;
    int32_t Border;
    int32_t GradSmooth;
    int32_t NoiseLevel;

    bool operator==(const Settings&) const = default;
};

// The process-wide record, at its start values until something loads it.
Settings& AppSettings();

}  // namespace kestrel
