// The one way a file on disk is replaced: the new contents go to a hidden temporary file beside
// the target, are put on the disk, and are renamed over the target only when complete. A crash,
// a full disk or a killed process leaves the old file whole, never a part of the new one.
//
// A target that is a symbolic link is followed: the file it names is replaced and the link
// stays. Only a regular file that the user may read and write is ever replaced; the new file
// keeps the old one's permission bits (a private file stays private) and, where the process
// may, its owner.
#pragma once

#include <string>

#include "base/file.h"

namespace kestrel {

// What is at a name a new file is to take, looked at without opening it (a FIFO would block).
enum class TargetState {
    Absent,   // nothing: a new file may take the name
    File,     // a regular file the user may read and write, which a new one may replace
    Refused,  // anything else: the reason says what
};
// Links are followed; `reason` is set for Refused ("it is a directory", "File name too long").
TargetState InspectTarget(const std::string& target, std::string& reason);

// True when both names lead to one file (another spelling, a hard link, a symbolic link).
bool IsSameFile(const std::string& a, const std::string& b);

// Whether open() may find a file at the target and replace it at commit().
enum class IfExists { Replace, Keep };

class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile() { abandon(); }  // an uncommitted temporary file is removed
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates the temporary file, open for writing, beside the file `target` names. False with
    // reason() set when the target is refused (see InspectTarget, and with Keep any file at
    // all) or the temporary file cannot be made. With Keep, a file that appears at the name
    // before commit() is not replaced either. An open file from an earlier call is abandoned.
    bool open(const std::string& target, IfExists ifExists = IfExists::Replace);

    // What the new contents are written to.
    File& file() { return file_; }
    // After a refused write: cuts the file back to its first `length` bytes through a fresh
    // handle (the old one's buffer and position are unknown) and writes on from there. False,
    // with reason() set, when the file cannot be brought back.
    bool cutBack(uint64_t length);
    // True from open() until commit() or abandon().
    bool isOpen() const { return !temp_.empty(); }
    // True when a file was at the target when it was opened: the new one replaces it.
    bool replacesAFile() const { return replaces_; }

    // Puts the contents on the disk, renames them over the target and makes the rename last.
    // Closed afterwards whatever the result; false with reason() set when the contents could
    // not be stored (the temporary file removed, the target as it was) or when, with Keep, a
    // file appeared at the name (the new contents then stay under the temporary name, which
    // the reason gives).
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
    bool replaces_ = false;
};

// Removes the temporary file of the ReplacingFile open at this moment, if any. Safe in a signal
// handler that is about to end the process.
void RemoveTemporaryFileAtExit();

}  // namespace kestrel
