// The one way a file on disk is replaced: the new contents go to a hidden temporary file beside
// the target, are put on the disk, and are renamed over the target only when complete. A crash,
// a full disk or a killed process leaves the old file whole, never a part of the new one.
//
// A target that is a symbolic link is followed: the file it names is replaced and the link
// stays. The new file keeps the old one's permission bits (a private file stays private) and,
// where the process may, its owner.
#pragma once

#include <string>

#include "base/file.h"

namespace kestrel {

class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile() { abandon(); }  // an uncommitted temporary file is removed
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the temporary file, open for writing, beside the file `target` names. False with
    // reason() set when it cannot be made (folder missing or not writable, the name a folder).
    // A file still open from an earlier call is abandoned first.
    bool open(const std::string& target);

    // What the new contents are written to.
    File& file() { return file_; }
    // After a refused write: cuts the file back to its first `length` bytes through a fresh
    // handle (the old one's buffer and position are unknown) and writes on from there. False,
    // with reason() set, when the file cannot be brought back.
    bool cutBack(uint64_t length);
    // True from open() until commit() or abandon().
    bool isOpen() const { return !temp_.empty(); }

    // Puts the contents on the disk, renames them over the target and makes the rename last.
    // Closed afterwards whatever the result; false with reason() set (the temporary file
    // removed, the target as it was) when the contents could not be stored.
    bool commit();

    // Closes and removes the temporary file; the target is left as it was.
    void abandon();

    // Why the last open() or commit() failed, in the system's words where it gave some.
    const std::string& reason() const { return reason_; }

private:
    bool fail(const std::string& why);

    File file_;
    std::string target_;  // the link followed
    std::string temp_;
    std::string reason_;
};

}  // namespace kestrel
