// Reads the frames of a SER file. Real files lie: the frame count may be 0 or larger than what
// the file holds, the last frame may be cut, and the trailer of timestamps may be missing or
// cut; only whole frames are read, and the trailer only when it is whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/file.h"
#include "io/ser_format.h"

namespace kestrel {

class SerReader {
public:
    // Opens and checks the header; `depth` 1..16 replaces the header's sample depth (0 keeps
    // it). False, with `reason`, when the file cannot be read or describes no picture read here.
    bool open(const std::string& path, int32_t depth, std::string& reason);
    void close();

    const SerHeader& header() const { return header_; }
    uint64_t frameBytes() const { return frameBytes_; }
    size_t frameCount() const { return frames_; }
    // One per frame, 100 ns ticks, when the file ends with a whole trailer; else empty.
    const std::vector<int64_t>& timestamps() const { return timestamps_; }
    // Reads frame `index` (frameBytes() bytes) into `out`; false when it cannot be read.
    bool readFrame(size_t index, uint8_t* out);

private:
    File file_;
    SerHeader header_;
    uint64_t frameBytes_ = 0;
    size_t frames_ = 0;
    std::vector<int64_t> timestamps_;
};

// The frame rate the trailer's timestamps give, as AVI's rate and scale: their median interval
// (a dropped frame or two does not move it); false without timestamps that tell one.
bool FrameRateOfTimestamps(const std::vector<int64_t>& timestamps, uint32_t& rate, uint32_t& scale);

}  // namespace kestrel
