// Writes a SER file under the same guarantees as the AVI writer: the frames go to a temporary
// file beside the target that replaces it only when complete (base/replace_file.h), and a
// refused write leaves the file cut back to its whole frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/replace_file.h"
#include "io/ser_format.h"

namespace kestrel {

class SerWriter {
public:
    // Starts the file with `header` (its frame count is set by finish()). Until then the header
    // says 0 frames, which readers take as "every whole frame in the file": the temporary file
    // of a run that never ended is still a readable capture. False, with reason(), when the
    // header describes no picture or the file cannot be made; nothing is then left on disk.
    bool create(const std::string& path, const SerHeader& header,
                IfExists ifExists = IfExists::Replace);
    // Appends one frame of exactly SerFrameBytes(header) bytes. False on a refused write: the
    // frame is then not part of the file, and finish() can still complete it.
    bool writeFrame(const uint8_t* data, size_t size);
    // Writes the frame count and, when `timestamps` has one for every frame written and the
    // disk takes it, the trailer; then syncs and renames over the target. Closed afterwards
    // whatever the result.
    bool finish(const std::vector<int64_t>& timestamps);
    void abandon() { out_.abandon(); }

    const std::string& reason() const { return reason_; }
    bool isOpen() const { return out_.isOpen(); }
    bool replacesAFile() const { return out_.replacesAFile(); }
    uint32_t framesWritten() const { return frames_; }
    const SerHeader& header() const { return header_; }

private:
    bool fail(const std::string& why);

    ReplacingFile out_;
    SerHeader header_;
    std::string reason_;
    uint64_t frameBytes_ = 0;
    uint32_t frames_ = 0;
    bool broken_ = false;  // a refused write could not be cut back
};

}  // namespace kestrel
