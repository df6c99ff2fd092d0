// The rules behind the Setup and Advanced Setup dialogs, kept free of any GUI so that they can
// be tested on their own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// Replaces the extension of `name` (from its last "." with no "/" after it) by `extension`, or
// appends `extension` when the name has none. The result may be longer than a stored name; it
// is cut only when stored.
std::string ForceExtension(const std::string& name, std::string_view extension);

// The name that a Browse button stores for `name`, chosen under `selected`, one of the button's
// `filters` ("description (*.ext)" entries joined by ";;"). A filter with a "*.ext" pattern
// forces its extension. Under any other ("All Files (*)", or none reported) a name that has one
// of the filters' extensions, in any letter case, is kept as chosen: the field reads it. Any
// other name is given `extension`.
std::string ChosenName(const std::string& name, std::string_view filters, std::string_view selected,
                       std::string_view extension);

// The clamped read of one number field: `text` read as an unsigned decimal number of at most
// 4294967295 (leading blanks allowed, nothing else around it), its 32 bits taken as signed and
// clamped into [minimum, maximum]; text that is no such number leaves `value` as it is.
void ClampedRead(std::string_view text, int32_t minimum, int32_t maximum, int32_t& value);

// A value as its field shows it: its 32 bits read as unsigned.
std::string UnsignedText(int32_t value);

// The text of the Advanced Setup dialog's Help box.
const std::string& AdvancedHelpText();

}  // namespace kestrel
