// The rules behind the Setup and Advanced Setup dialogs, kept free of any GUI so that they can
// be tested on their own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings/settings.h"

namespace kestrel {

// Directory separators of the platform: a "." before one of these is not an extension.
#ifdef _WIN32
inline constexpr std::string_view kDirSeparators = "\\/";
#else
inline constexpr std::string_view kDirSeparators = "/";
#endif

// Replaces the extension of `name` (from its last "." with no separator after it) by
// `extension`, or appends `extension` when the name has none. The result may be longer than a
// stored name; it is cut only when stored.
std::string ForceExtension(const std::string& name, std::string_view extension,
                           std::string_view separators = kDirSeparators);

// A name as the settings keep it: at most kMaxNameChars bytes, cut between characters.
std::string StoredName(std::string_view text);

// Reads `text` as an unsigned decimal number of at most 4294967295, leading blanks allowed,
// nothing else around it. False when it is no such number.
bool ReadUnsigned(std::string_view text, uint32_t& number);

// The clamped read of one number field: a number's 32 bits taken as signed and clamped into
// [minimum, maximum]; text that is no number leaves `value` as it is.
void ClampedRead(std::string_view text, int32_t minimum, int32_t maximum, int32_t& value);

// A value as its field shows it: its 32 bits read as unsigned.
std::string UnsignedText(int32_t value);

// The six numeric values in the order of their fields, with their ranges and the defaults
// that Reset puts into the fields.
struct ValueField {
    int32_t Settings::*value;
    int32_t minimum;
    int32_t maximum;
    int32_t reset;
};
inline constexpr std::array<ValueField, 6> kValueFields{{
    {&Settings::HotThreshold, 0, 255, 200},
    {&Settings::StretchLow, 0, 100, 0},
    {&Settings::StretchHigh, 0, 100, 100},
    {&Settings::Border, 0, 100, 15},
    {&Settings::GradSmooth, 0, 50, 5},
    {&Settings::NoiseLevel, 0, 100, 10},
}};

// The text of the Advanced Setup dialog's Help box.
const std::string& AdvancedHelpText();

}  // namespace kestrel
