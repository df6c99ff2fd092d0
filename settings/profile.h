// A private-profile store: INI text read and written the way the Windows profile functions do,
// so that a Kestrel.ini written there reads back the same here and the other way round.
//
// Reading: section and key names match without regard to ASCII letter case and to the white
// space around them and around "="; the first of duplicate sections, and the first of duplicate
// keys in it, wins; a value in matching double or single quotes loses them; backslashes and
// every other byte are plain text. Lines starting with ";" or "#" are comments. A line's text
// ends at a NUL or a lone carriage return, where a value written back ends as well.
// Writing: only the line of the key changes; every other line (foreign keys and sections,
// comments, blank lines) and the file's line endings stay as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// A settings file is a few hundred bytes: past this the file is not ours, and the rest of it is
// treated as absent (it is not written back either).
constexpr size_t kMaxProfileBytes = 1 << 20;

struct ProfileDocument {
    // The file's lines, each with its own line break (none on an unterminated last line).
    std::vector<std::string> lines;
    // Line break for lines that we add: the file's first one, else the platform's.
    std::string eol;
    // Set when the file was larger than what is read of it: such a document is never saved,
    // since the part that was not read would be lost.
    bool partial = false;

    ProfileDocument();

    // Replaces `doc` by the file's text. An absent file is an empty document and counts as read;
    // false (with `doc` empty) when the file exists but cannot be read, so that a caller does
    // not write over what it could not see.
    static bool Load(const std::string& path, ProfileDocument& doc);

    // The key's value, cut by CutName (settings.h); `fallback` (cut the same way) when the key
    // or its section is missing. A key present with an empty value gives "".
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view fallback) const;
    // The key's value read as a decimal integer: optional sign, then the leading digits
    // ("12abc" is 12, "abc" is 0); saturates at the int32_t limits. `fallback` when the key is
    // missing or its value empty.
    int32_t GetInt(std::string_view section, std::string_view key, int32_t fallback) const;

    // Sets the first such key of the first such section, adding the key at the end of the
    // section, or the section at the end of the document, when missing. The value ends at its
    // first line break or NUL; it is quoted only when reading would otherwise change it
    // (surrounding white space, or matching quotes of its own).
    void SetString(std::string_view section, std::string_view key, std::string_view value);
    // The integer writer: "%d".
    void SetInt(std::string_view section, std::string_view key, int32_t value);

    // Writes the document to a new file beside the file `path` names (through a symlink, its
    // target, the link kept), puts it on the disk and renames it over that file: the old file
    // stays whole until the new one is complete. False when the file could not be written, or
    // the document is partial; the old file is then unchanged.
    bool Save(const std::string& path) const;
};

}  // namespace kestrel
